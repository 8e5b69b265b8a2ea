// The Debian package: built from this tree with CPack, unpacked into a
// scratch root with dpkg -x, and used from there.  The installed programs
// must find their templates through $(progpath), i.e. relative to where the
// package put them, with nothing of the build tree in reach.
#include "kvtest.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;

using kvtest::split_lines;

class Package : public ::testing::Test {
  protected:
    // Built once for all tests: cpack takes a few seconds.
    static void SetUpTestSuite() {
        work_ = new kvtest::TempDir;
        auto r = kvtest::run({KUVRA_CPACK, "-G", "DEB", "--config",
                              std::string(KUVRA_BUILD_DIR) + "/CPackConfig.cmake", "-B",
                              (work_->path() / "out").string()});
        build_log_ = r.out + r.err;
        for (const auto &e : fs::directory_iterator(work_->path() / "out"))
            if (e.path().extension() == ".deb") deb_ = e.path().string();
        if (!deb_.empty()) {
            root_ = (work_->path() / "root").string();
            auto x = kvtest::run({"dpkg", "-x", deb_, root_});
            build_log_ += x.err;
            if (x.status != 0) root_.clear();
        }
    }
    static void TearDownTestSuite() {
        delete work_;
        work_ = nullptr;
    }
    void SetUp() override {
        // The install rule of share/ copies share/kuvra, which the module
        // templates bring; a tree without them cannot be installed at all.
        if (!fs::exists(kvtest::source("share/kuvra")))
            GTEST_SKIP() << "no share/kuvra in this tree: nothing to package yet";
        ASSERT_FALSE(deb_.empty()) << "cpack made no package:\n" << build_log_;
        ASSERT_FALSE(root_.empty()) << "dpkg -x failed:\n" << build_log_;
    }

    static std::string installed(const std::string &rel) { return root_ + "/usr/" + rel; }
    static bool built(const std::string &program) {
        return fs::exists(std::string(KUVRA_BUILD_DIR) + "/bin/" + program);
    }
    // Runs an installed program with only the scratch root's programs and the
    // system's on PATH, from a directory of its own, with a HOME of its own.
    kvtest::RunResult run_installed(const std::vector<std::string> &argv,
                                    const std::string &input) {
        kvtest::RunOptions opt;
        opt.input = input;
        opt.cwd = scratch_.path();
        opt.env = {"PATH=" + installed("bin") + ":/usr/bin:/bin",
                   "HOME=" + scratch_.path().string(), "KUVRA_DEBUG_FILE", "KUVRA_DEBUG_FLAGS",
                   "progpath"};
        return kvtest::run(argv, opt);
    }

    static kvtest::TempDir *work_;
    static std::string deb_, root_, build_log_;
    kvtest::TempDir scratch_;
};

kvtest::TempDir *Package::work_ = nullptr;
std::string Package::deb_, Package::root_, Package::build_log_;

TEST_F(Package, HoldsProgramsLibraryHeadersTemplatesAndPages) {
    auto listing = kvtest::run({"dpkg-deb", "-c", deb_});
    ASSERT_EQ(listing.status, 0) << listing.err;
    // Every program of the build tree is installed, and has a manual page.
    std::error_code none; // no programs built yet: no bin/ at all
    for (const auto &e : fs::directory_iterator(std::string(KUVRA_BUILD_DIR) + "/bin", none)) {
        std::string name = e.path().filename().string();
        EXPECT_TRUE(fs::exists(installed("bin/" + name))) << name;
        EXPECT_TRUE(fs::exists(installed("share/man/man1/" + name + ".1.gz")))
            << name << " has no manual page";
    }
    // And nothing is installed there that the build does not make.
    for (const auto &e : fs::directory_iterator(installed("bin"), none))
        EXPECT_TRUE(built(e.path().filename().string())) << e.path();
    EXPECT_TRUE(fs::exists(installed("lib/libkuvra_support.a")));
    // What other programs of the product build with: both package files,
    // and a pkg-config file that names the directories of the package.
    for (const char *f :
         {"lib/cmake/kuvra/kuvraConfig.cmake", "lib/cmake/kuvra/kuvraConfigVersion.cmake",
          "lib/cmake/kuvra/kuvraTargets.cmake", "lib/pkgconfig/kuvra.pc"})
        EXPECT_TRUE(fs::exists(installed(f))) << f;
    kvtest::RunOptions pc;
    pc.env = {"PKG_CONFIG_LIBDIR=" + installed("lib/pkgconfig"), "PKG_CONFIG_PATH"};
    auto flags = kvtest::run({"pkg-config", "--cflags", "--libs", "kuvra"}, pc);
    EXPECT_EQ(flags.status, 0) << flags.err;
    EXPECT_EQ(flags.out.rfind("-I", 0), 0u) << flags.out;
    std::string include = flags.out.substr(2, flags.out.find(' ') - 2);
    EXPECT_EQ(fs::weakly_canonical(include), fs::weakly_canonical(installed("include")))
        << flags.out;
    for (const auto &e : fs::directory_iterator(kvtest::source("support/include/kuvra")))
        EXPECT_TRUE(fs::exists(installed("include/kuvra/" + e.path().filename().string())))
            << e.path();
    for (const auto &e : fs::recursive_directory_iterator(kvtest::source("share/kuvra"))) {
        if (!e.is_regular_file()) continue;
        auto rel = fs::relative(e.path(), kvtest::source("share/kuvra"));
        EXPECT_TRUE(fs::exists(installed("share/kuvra/" + rel.string()))) << rel;
    }
    for (const char *doc : {"copyright", "changelog.gz", "templates.md", "recipes.md"})
        EXPECT_TRUE(fs::exists(installed(std::string("share/doc/kuvra/") + doc))) << doc;
    // Owned by root, as dpkg installs them.
    for (const auto &line : split_lines(listing.out))
        EXPECT_NE(line.find(" root/root "), std::string::npos) << line;
}

TEST_F(Package, ManualPagesAreCompressedAndReadable) {
    int pages = 0;
    for (const auto &e : fs::directory_iterator(installed("share/man/man1"))) {
        pages++;
        auto r = kvtest::run({"man", "--warnings", "-l", "-Tutf8", "-Z", e.path().string()});
        EXPECT_EQ(r.status, 0) << e.path() << r.err;
        EXPECT_EQ(r.err, "") << e.path();
        EXPECT_EQ(e.path().extension(), ".gz");
    }
    EXPECT_GE(pages, 4);
}

TEST_F(Package, DependsOnTheOutsidePrograms) {
    auto r = kvtest::run({"dpkg-deb", "-f", deb_, "Depends"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> names;
    static const std::regex entry(R"(([a-z0-9][a-z0-9+.-]+)(\s*\([^)]*\))?)");
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), entry), end; it != end; ++it)
        names.insert((*it)[1]);
    for (const char *p : {"m4", "gzip", "bzip2", "xz-utils", "mailcap"})
        EXPECT_TRUE(names.count(p)) << p << " missing in: " << r.out;
    // dpkg-shlibdeps adds the C library as soon as there is a program.
    std::error_code none;
    if (fs::exists(installed("bin"), none) && !fs::is_empty(installed("bin"), none)) {
        EXPECT_TRUE(names.count("libc6")) << "no shared-library dependencies in: " << r.out;
    }
    if (built("kuvra_dicom_synthesizer")) {
        bool dcmtk = std::any_of(names.begin(), names.end(),
                                 [](const std::string &n) { return n.rfind("libdcmtk", 0) == 0; });
        EXPECT_TRUE(dcmtk) << "no DCMTK runtime library in: " << r.out;
    }
}

TEST_F(Package, LintianReportsNoErrors) {
    // Lintian leaves files in its TMPDIR (mldbm-elf-*): ours, not /tmp.
    kvtest::RunOptions opt;
    opt.env = {"TMPDIR=" + work_->path().string()};
    auto r = kvtest::run({KUVRA_LINTIAN, "--fail-on", "error", deb_}, opt);
    std::string errors;
    for (const auto &line : split_lines(r.out))
        if (line.rfind("E: ", 0) == 0) errors += line + "\n";
    EXPECT_EQ(errors, "");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

const std::string kP6 = "P6\n#PatientName:\tDoe^John\n2 3\n255\n" + std::string(18, '\x7f');

TEST_F(Package, InstalledConverterWritesTheMacroStream) {
    if (!built("kuvra_ppmtodicom")) GTEST_SKIP() << "kuvra_ppmtodicom is not built in this tree";
    kvtest::RunOptions feed;
    feed.input = kP6;
    auto gz = kvtest::sh("gzip -c", feed);
    ASSERT_EQ(gz.status, 0);
    // Compressed input goes through the installed kuvra_pipeprefix.
    for (const auto &input : {kP6, gz.out}) {
        auto r = run_installed({installed("bin/kuvra_ppmtodicom"), "-m"}, input);
        static const std::regex spool(
            R"(undivert\(\[\[(/tmp/kuvra_ppmtodicom_[A-Za-z0-9]{6})\]\]\))");
        std::smatch m;
        bool named = std::regex_search(r.out, m, spool);
        std::string data = named ? kvtest::read_file(m[1].str()) : "";
        if (named) fs::remove(m[1].str());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("define([[XX_PatientName]],[[Doe^John]])\n"), std::string::npos);
        EXPECT_NE(r.out.find("define([[XX_FIELD_RGB_SIZEY]],[[3]])\n"), std::string::npos);
        ASSERT_TRUE(named) << r.out;
        EXPECT_EQ(data, std::string(18, '\x7f'));
    }
}

TEST_F(Package, InstalledConverterFindsTheInstalledTemplates) {
    std::string module = installed("share/kuvra/config/dicom/modules/secondary_capture");
    if (!built("kuvra_dicom_synthesizer") || !fs::exists(module))
        GTEST_SKIP() << "no synthesizer or secondary_capture template in this tree";
    auto r = run_installed({installed("bin/kuvra_ppmtodicom"), "-d", "secondary_capture"}, kP6);
    ASSERT_EQ(r.status, 0) << r.err;
    kvtest::write_file(scratch_ / "out.dcm", r.out);
    auto ok = kvtest::run({"dcmftest", (scratch_ / "out.dcm").string()});
    EXPECT_EQ(ok.out.rfind("yes:", 0), 0u) << ok.out;
    auto dump = kvtest::run({"dcmdump", "+P", "PatientName", (scratch_ / "out.dcm").string()});
    EXPECT_NE(dump.out.find("[Doe^John]"), std::string::npos) << dump.out;
    // The spool files of a -d run are gone.
    EXPECT_EQ(r.out.find("/tmp/kuvra_ppmtodicom_"), std::string::npos);
}

TEST_F(Package, InstalledFiltersRun) {
    if (!built("kuvra_pnmto3d32") && !built("kuvra_FST_extract") && !built("kuvra_pipeprefix"))
        GTEST_SKIP() << "none of the filters is built in this tree";
    if (built("kuvra_pnmto3d32")) {
        auto r = run_installed({installed("bin/kuvra_pnmto3d32"), "-H"}, "P5\n4 2\n255\n12345678");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "3D32\n4 2 1\n\n");
    }
    if (built("kuvra_FST_extract")) {
        auto r =
            run_installed({installed("bin/kuvra_FST_extract")},
                          "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n5\n8\nhello...\nENDFIELD\n");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "hello");
    }
    if (built("kuvra_pipeprefix")) {
        kvtest::RunOptions opt;
        opt.env = {"P=" + installed("bin/kuvra_pipeprefix")};
        auto r = kvtest::sh("printf rest | \"$P\" 2<<EOF\nfirst\nEOF", opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "first\nrest");
    }
}

} // namespace
