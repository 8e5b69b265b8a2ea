// The EXAMPLES of every manual page, and the shell blocks of the template
// guide, run as written: each by "/bin/sh -e" in a directory of its own that
// holds the input files they name, with the build tree's programs first on
// PATH and HOME in that directory, as a user of the build tree runs them.
// An example passes when it ends with status 0, writes no message but
// warnings, writes every file it names as an output (after ">" or -o), every
// file it wrote is what its name says, and the spool files of every macro
// stream it saved are gone.
#include "kvtest.h"
#include "manpage.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

namespace {

namespace fs = std::filesystem;

struct Example {
    std::string where; // page or guide, and the number of the block there
    std::string script;
};

// The ```sh blocks of a Markdown file, indented ones (in list items) too;
// with a section ("## Heading"), only those under that heading.
std::vector<std::string> markdown_shell_blocks(const std::string &rel,
                                               const std::string &section = "") {
    std::vector<std::string> blocks;
    std::string block;
    std::size_t indent = std::string::npos;
    bool inside = section.empty();
    for (const auto &line : kvtest::split_lines(kvtest::read_file(kvtest::source(rel)))) {
        std::size_t at = line.find_first_not_of(' ');
        std::string text = at == std::string::npos ? std::string() : line.substr(at);
        if (indent == std::string::npos) {
            if (!section.empty() && line.rfind("## ", 0) == 0) inside = line == section;
            if (text == "```sh" && inside) indent = at;
        } else if (text == "```") {
            blocks.push_back(block);
            block.clear();
            indent = std::string::npos;
        } else {
            block += (line.size() > indent ? line.substr(indent) : std::string()) + "\n";
        }
    }
    return blocks;
}

std::vector<Example> all_examples() {
    std::vector<fs::path> pages;
    for (const auto &e : fs::directory_iterator(KUVRA_MAN1_DIR))
        if (e.path().extension() == ".1") pages.push_back(e.path());
    std::sort(pages.begin(), pages.end());
    std::vector<Example> all;
    for (const auto &p : pages) {
        int n = 0;
        for (const auto &script : manpage::examples(p.string()))
            all.push_back({p.filename().string() + " example " + std::to_string(++n), script});
    }
    // The README's other blocks build and install the tree itself.
    for (auto [doc, section] :
         {std::pair{"README.md", "## A one-minute tour"}, std::pair{"docs/templates.md", ""}}) {
        int n = 0;
        for (const auto &script : markdown_shell_blocks(doc, section))
            all.push_back({std::string(doc) + " block " + std::to_string(++n), script});
    }
    return all;
}

// The files that the examples read, made once: the samples of samples/ and
// small files of each kind the pages talk about.
void make_inputs(const fs::path &dir) {
    auto gen = kvtest::run({kvtest::source("samples/generate").string(), dir.string()});
    ASSERT_EQ(gen.status, 0) << gen.err;
    fs::copy_file(dir / "testpattern.ppm", dir / "image.ppm");
    fs::copy_file(dir / "testpattern.ppm", dir / "photo.ppm");
    fs::copy_file(dir / "grey16.pgm", dir / "scan.pgm");
    std::string ramp = "P5\n16 8\n255\n";
    for (int i = 0; i < 16 * 8; ++i)
        ramp += static_cast<char>(i * 2);
    kvtest::write_file(dir / "ramp.pgm", ramp);
    auto dcm = kvtest::run({kvtest::bin("kuvra_ppmtodicom"), "-d", "secondary_capture", "-k",
                            "PatientID=KV-1", "-o", (dir / "image.dcm").string(),
                            (dir / "image.ppm").string()});
    ASSERT_EQ(dcm.status, 0) << dcm.err;
    kvtest::write_file(dir / "notes.txt", "Notes on the export.\n");
    const std::string pdf = "%PDF-1.4\n%%EOF\n";
    const std::string capsule = "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n" +
                                std::to_string(pdf.size()) + "\n" + std::to_string(pdf.size()) +
                                "\n" + pdf + "\nENDFIELD\n";
    kvtest::write_file(dir / "report.fst", capsule);
    for (auto [name, text] : {std::pair<std::string, std::string>{"report.fst.gz", capsule},
                              {"data.gz", std::string(4000, 'k')}}) {
        kvtest::RunOptions o;
        o.input = text;
        auto z = kvtest::run({"gzip", "-c"}, o);
        ASSERT_EQ(z.status, 0);
        kvtest::write_file(dir / name, z.out);
    }
}

// The files a script writes by a plain name: after ">" (not "2>" or ">&")
// and -o.
std::vector<std::string> named_outputs(const std::string &script) {
    static const std::regex out(
        R"((?:(?:^|[^0-9>&])>|(?:^|\s)-o\s)\s*([A-Za-z0-9_.~/+-]+)(?=[\s;|&)]|$))");
    std::vector<std::string> names;
    for (std::sregex_iterator it(script.begin(), script.end(), out), end; it != end; ++it)
        if ((*it)[1].str().rfind("/dev/", 0) != 0) names.push_back((*it)[1]);
    return names;
}

// Why a file is not what its name says, or empty when it is.
std::string invalid_output(const fs::path &file) {
    std::string ext = file.extension().string();
    auto tool = [&](const char *program) {
        auto r = kvtest::run({program, file.string()});
        return r.status == 0 ? std::string() : std::string(program) + " fails on it: " + r.err;
    };
    auto starts = [&](const std::string &head) {
        return kvtest::read_file(file).rfind(head, 0) == 0 ? std::string()
                                                           : "does not start with " + head;
    };
    if (ext == ".dcm") return tool("dcmdump");
    if (ext == ".png") return tool("pngtopnm");
    if (ext == ".pnm" || ext == ".pgm" || ext == ".ppm") return tool("pnmfile");
    if (ext == ".3d32" || ext == ".hdr") return starts("3D32\n");
    if (ext == ".fst") return starts("KUVRA_FST\n");
    if (ext == ".pdf") return starts("%PDF-");
    if (ext == ".m4") return starts("divert(-1)dnl\n");
    return fs::file_size(file) > 0 ? std::string() : "empty";
}

// The spool files that a saved macro stream names: the files its DATA and
// DATA_BS macros insert.
std::vector<std::string> spool_files(const std::string &stream) {
    static const std::regex data(R"(^define\(\[\[XX_FIELD_.*undivert\(\[\[([^\]]*)\]\]\))");
    std::vector<std::string> names;
    for (const auto &line : kvtest::split_lines(stream)) {
        std::smatch m;
        if (std::regex_search(line, m, data)) names.push_back(m[1]);
    }
    return names;
}

} // namespace

TEST(Examples, RunAsWrittenAndWriteWhatTheyPromise) {
    if (!fs::exists(kvtest::bin("kuvra_dicom_synthesizer")))
        GTEST_SKIP() << "kuvra_dicom_synthesizer is not built in this tree: the examples export "
                        "DICOM";
    kvtest::TempDir inputs;
    make_inputs(inputs.path());
    if (HasFatalFailure()) return;
    auto examples = all_examples();
    // 18 blocks of the six pages, 5 of the guide.
    ASSERT_GE(examples.size(), 23u);
    for (const auto &ex : examples) {
        SCOPED_TRACE(ex.where + ":\n" + ex.script);
        kvtest::TempDir d;
        for (const auto &f : fs::directory_iterator(inputs.path()))
            fs::copy_file(f.path(), d / f.path().filename().string());
        kvtest::RunOptions o;
        o.cwd = d.path();
        const char *path = std::getenv("PATH");
        o.env = {"HOME=" + d.path().string(),
                 "PATH=" + std::string(KUVRA_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin"),
                 "KUVRA_DEBUG_FILE", "KUVRA_DEBUG_FLAGS"};
        auto r = kvtest::run({"/bin/sh", "-ec", ex.script}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        // A failure inside a pipeline leaves its status to the last command,
        // but not its message.
        for (const auto &line : kvtest::split_lines(r.err))
            EXPECT_NE(line.find("warning"), std::string::npos) << "message: " << line;
        for (std::string name : named_outputs(ex.script)) {
            if (name.rfind("~/", 0) == 0) name.replace(0, 1, d.path().string());
            EXPECT_TRUE(fs::exists(fs::path(name).is_absolute() ? fs::path(name) : d / name))
                << name << " is not written";
        }
        // What it wrote into its directory (its copies of templates in HOME
        // aside), and the inputs it overwrote.
        for (auto it = fs::recursive_directory_iterator(d.path());
             it != fs::recursive_directory_iterator(); ++it) {
            const fs::path &f = it->path();
            if (it->is_directory()) {
                if (f.filename() == ".kuvra") it.disable_recursion_pending();
                continue;
            }
            if (fs::exists(inputs / f.filename().string()) &&
                kvtest::read_file(inputs / f.filename().string()) == kvtest::read_file(f))
                continue;
            std::string name = fs::relative(f, d.path()).string();
            EXPECT_EQ(invalid_output(f), "") << name;
            if (f.extension() != ".m4") continue;
            auto spooled = spool_files(kvtest::read_file(f));
            EXPECT_FALSE(spooled.empty()) << name << " names no spool file";
            for (const auto &s : spooled) {
                EXPECT_FALSE(fs::exists(s)) << s << " of " << name << " is left behind";
                std::error_code ec;
                fs::remove(s, ec);
            }
        }
    }
}
