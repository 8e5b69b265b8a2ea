// The built programs say only what their manual pages explain: each is run
// on inputs that provoke its messages, and every line it writes to standard
// error must match a tag under DIAGNOSTICS (italic words standing for any
// text), and the exit status must be one the page lists.
#include "documented.h"
#include "kvtest.h"
#include "manpage.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

namespace {

namespace fs = std::filesystem;

struct Case {
    Case(std::string w, std::vector<std::string> a, std::string in, std::string e, int st = 1,
         std::string sh = {})
        : what(std::move(w)), args(std::move(a)), input(std::move(in)), expect(std::move(e)),
          status(st), shell(std::move(sh)) {}
    std::string what;
    std::vector<std::string> args; // after the program's path
    std::string input;
    std::string expect; // a message format the run must print
    int status = 1;
    std::string shell; // when set, run "/bin/sh -c" with $P the program
};

// The log facility of the converter puts "seconds.micro: cat mask:" in
// front of each message.
std::string strip_log_prefix(const std::string &line) {
    static const std::regex prefix(R"(^-?[0-9]+\.[0-9]{6}: ?[0-9]+ [0-9a-f]{8}:)");
    return std::regex_replace(line, prefix, "", std::regex_constants::format_first_only);
}

// The DICOM tools start their messages with their name and, for a failure
// of one input line, "line N: "; the pages explain what follows.
std::string strip_prefixes(const std::string &program, std::string line) {
    line = strip_log_prefix(line);
    if (line.rfind(program + ": ", 0) == 0) {
        line.erase(0, program.size() + 2);
        static const std::regex input_line(R"(^line [0-9]+: )");
        line = std::regex_replace(line, input_line, "", std::regex_constants::format_first_only);
    }
    return line;
}

// Spool files named by a macro stream; the converter leaves them for the
// reader of the stream, so the test removes exactly those it caused.
void remove_spool_files(const std::string &stream) {
    static const std::regex name(R"(/tmp/kuvra_ppmtodicom_[A-Za-z0-9]{6}(\.bs)?)");
    for (std::sregex_iterator it(stream.begin(), stream.end(), name), end; it != end; ++it) {
        std::error_code ec;
        fs::remove(it->str(), ec);
    }
}

void check_documented(const std::string &program, const std::vector<Case> &cases) {
    std::string exe = kvtest::bin(program);
    if (!fs::exists(exe)) GTEST_SKIP() << program << " is not built in this tree";
    auto page = manpage::render(manpage::page_path(program));
    auto diag = manpage::tags(page.section("DIAGNOSTICS"));
    auto status_tags = manpage::tags(page.section("EXIT STATUS"));
    ASSERT_FALSE(diag.empty());
    kvtest::TempDir home;
    for (const auto &c : cases) {
        SCOPED_TRACE(program + ": " + c.what);
        // Cases through a shipped template need it and the synthesizer built,
        // and joining a study needs the synthesizer to read the file.
        const bool synth = fs::exists(kvtest::bin("kuvra_dicom_synthesizer"));
        if (c.args.size() == 2 && c.args[0] == "-d" && c.args[1] != "no_such_module" &&
            (!fs::exists(std::string(KUVRA_BUILD_DIR) + "/share/kuvra/config/dicom/modules/" +
                         c.args[1]) ||
             !synth))
            continue;
        if (!synth && !c.args.empty() && c.args[0].ends_with("-from")) continue;
        kvtest::RunOptions opt;
        opt.input = c.input;
        opt.cwd = home.path();
        opt.env = {"HOME=" + home.path().string(), "KUVRA_DEBUG_FILE", "KUVRA_DEBUG_FLAGS",
                   "P=" + exe};
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = c.shell.empty() ? kvtest::run(argv, opt) : kvtest::sh(c.shell, opt);
        remove_spool_files(r.out);
        EXPECT_EQ(r.status, c.status) << r.err;
        bool status_listed = false;
        for (const auto &t : status_tags)
            status_listed |= manpage::squeeze(t.line.text) == std::to_string(r.status);
        EXPECT_TRUE(status_listed) << "exit status " << r.status << " is not under EXIT STATUS";
        bool expected_seen = false;
        auto lines = kvtest::split_lines(r.err);
        EXPECT_FALSE(lines.empty()) << "the case provokes no message at all";
        for (auto line : lines) {
            line = strip_prefixes(program, line);
            bool found = false;
            for (const auto &t : diag)
                found |= manpage::tag_matches(t.line, line);
            EXPECT_TRUE(found) << "message not explained in the page: '" << line << "'";
            // The expected format, with its conversions as placeholders.
            std::string key = manpage::format_key(c.expect);
            std::string pattern;
            for (char ch : key)
                pattern += ch == manpage::kPlaceholder ? std::string(".+")
                           : std::string_view(R"(\^$.|?*+()[]{})").find(ch) != std::string::npos
                               ? std::string("\\") + ch
                               : std::string(1, ch);
            expected_seen |= std::regex_match(manpage::squeeze(line), std::regex(pattern));
        }
        EXPECT_TRUE(expected_seen) << "expected '" << c.expect << "' in:\n" << r.err;
    }
}

const std::string kCapsuleHead = "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n";

TEST(DocumentedMessages, KuvraFSTExtract) {
    check_documented(
        "kuvra_FST_extract",
        {
            {"bad option", {"-Z"}, "", "Unknown option.\n"},
            {"usage", {"-h"}, "", "Usage: %s\n"},
            {"missing file", {"no-such-file.fst"}, "", "Cannot open input.\n"},
            {"empty input", {}, "", "Cannot read magic.\n"},
            {"wrong magic", {}, "KUVRA_FSX\n", "Unsupported magic.\n"},
            {"empty line for FIELD", {}, "KUVRA_FST\n\nFIELD\n", "Expected 'FIELD' keyword.\n"},
            {"other field", {}, "KUVRA_FST\nFIELD\nVolume\n", "Expected 'FileCapsule' keyword.\n"},
            {"type", {}, "KUVRA_FST\nFIELD\nFileCapsule\nU8  1\n", "Expected 'U8 1' type.\n"},
            {"dimensions",
             {},
             "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n2\n",
             "Expected 1-dimensional capsule.\n"},
            {"no size", {}, kCapsuleHead, "Cannot read filesize.\n"},
            {"size not a number", {}, kCapsuleHead + "many\n4\n", "Cannot parse filesize.\n"},
            {"negative size", {}, kCapsuleHead + "-5\n8\n", "Cannot parse filesize.\n"},
            {"no padded size", {}, kCapsuleHead + "4\n", "Cannot read padded filesize.\n"},
            {"short data", {}, kCapsuleHead + "10\n10\nabc", "Capsule data ends early.\n"},
            {"full disk",
             {},
             kCapsuleHead + "3\n3\nabc",
             "Cannot write output.\n",
             1,
             "\"$P\" > /dev/full"},
        });
}

TEST(DocumentedMessages, KuvraPnmto3d32) {
    check_documented(
        "kuvra_pnmto3d32",
        {
            {"bad option", {"-Z"}, "", "Unknown option.\n"},
            {"usage", {"-h"}, "", "Usage: %s [-H] [-D]\n"},
            {"missing file", {"no-such-file.pgm"}, "", "Cannot open input.\n"},
            {"empty input", {}, "", "Cannot read magic.\n"},
            {"one-line header", {}, "P5 2 2 255\n", "Unsupported magic.\n"},
            {"no size line", {}, "P5\n", "Cannot read width/height.\n"},
            {"size not numbers", {}, "P5\nwide high\n255\n", "Cannot parse width/height.\n"},
            {"negative width", {}, "P5\n-2 2\n255\n", "Cannot parse width/height.\n"},
            {"no depth line", {}, "P5\n2 2\n", "Cannot read depth.\n"},
            {"depth not a number", {}, "P5\n2 2\ndeep\n", "Cannot parse depth.\n"},
            {"depth above 65535", {}, "P5\n2 2\n65536\n", "Depth too high, not supported.\n"},
            {"16-bit colour", {}, "P6\n2 2\n256\n", "Depth too high for non-P5, not supported.\n"},
            {"width too large", {}, "P6\n1000000000 1\n255\n", "Cannot allocate line memory.\n"},
            {"short row", {}, "P5\n2 3\n255\nabc", "Cannot read line %d.\n"},
            // A row wider than any output buffer, so the row write itself fails.
            {"full disk, in a row",
             {},
             "P5\n100000 1\n255\n" + std::string(100000, 'x'),
             "Cannot write line %d.\n",
             1,
             "\"$P\" -D > /dev/full"},
            {"full disk, at the end",
             {},
             "P5\n2 1\n255\nab",
             "Cannot write output.\n",
             1,
             "\"$P\" > /dev/full"},
        });
}

const std::string kField = "KUVRA_FST\nFIELD\nA\nU8 1\n";

TEST(DocumentedMessages, KuvraPpmtodicom) {
    check_documented(
        "kuvra_ppmtodicom",
        {
            {"bad option", {"-Z"}, "", "Unknown option.\n"},
            {"usage", {"-h"}, "", "Usage: %s [-m|-d m4module]\n"},
            {"misspelt -k key",
             {"-k", "PatienName=Doe"},
             "",
             "Unknown key for -k: %s (a DICOM keyword such as PatientName, or (gggg,eeee))\n"},
            {"-k without =", {"-k", "PatientName"}, "", "Option -k takes KEY=VALUE, not %s\n"},
            {"missing input", {"no_such.ppm"}, "", "Cannot open input file %s: %s\n"},
            {"two inputs",
             {"a.ppm", "b.ppm"},
             "",
             "Only one input file is taken; give each its own run.\n"},
            {"output directory missing",
             {"-o", "no/such/out.m4"},
             "P6\n1 1\n255\nabc",
             "Cannot create output file %s: %s\n"},
            {"join a file that is no DICOM",
             {"--study-from", "/dev/null"},
             "P6\n1 1\n255\nabc",
             "Cannot join the %s of %s.\n",
             1,
             "\"$P\" --study-from /dev/null"},
            {"unknown module",
             {"-d", "no_such_module"},
             "P6\n1 1\n255\nabc",
             "Cannot find requested DICOM module.\n"},
            {"empty input", {"-m"}, "", "Input file must be P5, P6 or KUVRA_FIELDSET\n"},
            // Through m4 and the shipped templates, where they are built.
            {"image for multiframe",
             {"-d", "multiframe"},
             "P6\n1 1\n255\nabc",
             "kuvra DICOM module: the multiframe module takes a fieldset (KUVRA_FST) input\n"},
            {"no such field",
             {"-d", "multiframe"},
             kField.substr(0, 16) + "Other\nU8 1\n2\n1 1\n1\nx\nENDFIELD\n",
             "kuvra DICOM module: the input has no field %s (name it with the header comment "
             "ExportField)\n"},
            {"too wide for secondary_capture",
             {"-d", "secondary_capture"},
             "P6\n70000 1\n255\n" + std::string(210000, 'x'),
             "kuvra DICOM module: image of %d x %d pixels: DICOM takes 1 to 65535 rows and "
             "columns\n"},
            {"P6 size", {"-m"}, "P6\nbig\n", "P6 failure reading size.\n"},
            {"P6 depth", {"-m"}, "P6\n2 2\n", "P6 failure reading depth.\n"},
            {"P6 16-bit", {"-m"}, "P6\n2 2\n65535\n", "P6 depth is not 255.\n"},
            {"P6 short", {"-m"}, "P6\n2 2\n255\nabc", "Field copy failure.\n"},
            {"P6 short, first message", {"-m"}, "P6\n2 2\n255\nabc", "Ouch - rlen failure?\n"},
            {"P6 negative", {"-m"}, "P6\n-2 2\n255\n", "Image size not supported.\n"},
            {"P6 huge", {"-m"}, "P6\n50000 50000\n255\n", "Image size not supported.\n"},
            {"P5 size", {"-m"}, "P5\nbig\n", "P5 failure reading size.\n"},
            {"P5 depth", {"-m"}, "P5\n2 2\nx\n", "P5 failure reading depth.\n"},
            {"P5 depth 0", {"-m"}, "P5\n2 2\n0\n", "P5 depth is not 1 to 65535.\n"},
            {"dimensions", {"-m"}, kField + "17\n", "Dimensions bad!\n"},
            {"total size", {"-m"}, kField + "1\n2\nlots\n", "Field size not supported.\n"},
            {"no ENDFIELD", {"-m"}, kField + "1\n2\n2\nabX\n", "ENDFIELD not found.\n"},
            {"ends in block", {"-m"}, kField + "1\n", "ENDFIELD not found.\n"},
            {"stray line",
             {"-m"},
             "KUVRA_FST\nhello\n",
             "Non-field keyword in fieldset file: %s\n",
             0},
            {"type descriptor",
             {"-m"},
             kField.substr(0, kField.size() - 5) + "U8\n1\n",
             "Cannot parse type descriptor\n",
             0},
            {"header comments over the bound",
             {"-m"},
             [] {
                 std::string in = "P6\n#Key:\t" + std::string(10000, 'a') + "\n";
                 for (int i = 0; i < 105; i++)
                     in += "#+Key:\t" + std::string(10000, 'a') + "\n";
                 return in + "1 1\n255\nabc";
             }(),
             "More than 4096 header comments or 1 MiB of them; the input is refused.\n",
             1},
            // A stream without fields, so that no spool file is left behind.
            {"full disk",
             {"-m"},
             "KUVRA_FST\n#Key:\tv\n",
             "Cannot write macro stream.\n",
             1,
             "\"$P\" -m > /dev/full"},
            {"unbalanced quotes",
             {"-m"},
             "P6\n#Key:\tx]]syscmd([[true]])dnl\n1 1\n255\nabc",
             "Header comment with unbalanced m4 quotes dropped: %s\n",
             0},
            {"control character",
             {"-m"},
             std::string("P6\n#PatientName:\tDoe\0Jane\n1 1\n255\nabc", 37) /* a NUL inside */,
             "Header comment with control character 0x%02X dropped: %s\n",
             0},
            {"tag number",
             {"-m"},
             "P6\n#Dicom/(100000010,10):\tx\n1 1\n255\nabc",
             "Header comment with a tag number beyond four hex digits dropped: %s\n",
             0},
            {"long field name",
             {"-m"},
             "KUVRA_FST\nFIELD\n" + std::string(200, 'n') + "\n",
             "Field name too long.\n",
             1},
        });
}

const std::string kSop = "(0008,0016) UI 1.2.840.10008.5.1.4.1.1.7\n";

TEST(DocumentedMessages, KuvraDicomSynthesizer) {
    check_documented(
        "kuvra_dicom_synthesizer",
        {
            {"empty input", {}, "", "input holds no elements\n"},
            {"no tag",
             {},
             "PatientName Doe\n",
             "expected an element tag \"(gggg,eeee)\" at the start of the line\n"},
            {"no VR", {}, "(0010,0010)\n", "expected a blank and a VR after the tag %s\n"},
            {"unknown VR", {}, "(0010,0010) XY Doe\n", "unknown VR \"%s\" for %s\n"},
            {"no byte count",
             {},
             "(7FE0,0010) OB lots\n",
             "expected the byte count of %s as a decimal number\n"},
            {"short binary",
             {},
             kSop + "(7FE0,0010) OB 10\nabc",
             "input ends after %d of the %d bytes announced for %s\n"},
            {"wrong count",
             {},
             kSop + "(7FE0,0010) OB 2\nabc\n",
             "the %d bytes of %s are not followed by a line end: wrong byte count?\n"},
            {"no SOP class",
             {},
             "(0010,0010) PN Doe\n",
             "input gives no (0008,0016) SOPClassUID\n"},
            {"twice", {}, kSop + "(0010,0010) PN Doe\n(0010,0010) PN Roe\n", "%s given twice\n"},
            {"meta group",
             {},
             kSop + "(0002,0010) UI 1.2.840.10008.1.2.1\n",
             "%s: file meta elements are generated, not given\n"},
            {"wrong VR", {}, kSop + "(0010,0010) LO Doe\n", "%s has VR %s, not %s\n"},
            {"date with dashes",
             {},
             kSop + "(0010,0030) DA 2024-01-01\n",
             "%s: value %s is not a date of the calendar: DA is YYYYMMDD, such as 20240131\n"},
            {"date of February 30",
             {},
             kSop + "(0010,0030) DA 20240230\n",
             "%s: value %s is not a date of the calendar: DA is YYYYMMDD, such as 20240131\n"},
            {"time of minute 60",
             {},
             kSop + "(0008,0030) TM 1260\n",
             "%s: value %s is not a time of day: TM is HHMMSS, HHMM or HH, with an optional "
             "fraction of a second (HHMMSS.FFFFFF), such as 235959\n"},
            {"code string in lower case",
             {},
             kSop + "(0008,0060) CS ot\n",
             "%s: value %s does not conform to VR %s (%s): %s\n"},
            {"name too long",
             {},
             kSop + "(0010,0010) PN " + std::string(70, 'A') + "\n",
             "%s: value %s is longer than the %d characters that %s allows\n"},
            {"bad number",
             {},
             kSop + "(0028,0010) US many\n",
             "%s: value %s is not a valid %s number list: %s\n"},
            {"open sequence",
             {},
             kSop + "(0008,1140) SQ\n(FFFE,E000)\n",
             "input ends inside a sequence or item\n"},
        });
}

TEST(DocumentedMessages, KuvraDicomToP5) {
    check_documented(
        "kuvra_dicom_to_P5",
        {
            {"option", {"-x"}, "", "Usage: %s [file.dcm] > image.pnm\n"},
            {"two operands", {"a.dcm", "b.dcm"}, "", "Usage: %s [file.dcm] > image.pnm\n"},
            {"missing operand file", {"no_such.dcm"}, "", "cannot open %s: %s\n"},
            {"not DICOM", {}, "P5\n1 1\n255\nx", "%s is not a DICOM stream\n"},
            // (0010,0010) PN declaring 64 bytes, 4 there.
            {"truncated",
             {},
             std::string("\x10\0\x10\0PN\x40\0Doe^", 12),
             "the file is truncated: element %s declares %d bytes, %d are left\n"},
            {"no image",
             {},
             std::string("\x10\0\x10\0PN\x04\0Doe^", 12),
             "the DICOM stream holds no image (Rows, Columns, BitsAllocated, PixelData)\n"},
        });
}

} // namespace

// Every program with --help and --version in its table answers them as the
// GNU tools do: on standard output, status 0, nothing on standard error.
TEST(DocumentedOptions, HelpAndVersionOnStandardOutput) {
    for (const auto &p : documented::programs()) {
        std::string exe = kvtest::bin(std::string(p.name));
        bool has_help = std::find(p.options.begin(), p.options.end(), "--help") != p.options.end();
        if (!has_help || !fs::exists(exe)) continue;
        SCOPED_TRACE(std::string(p.name));
        auto help = kvtest::run({exe, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << help.out;
        auto version = kvtest::run({exe, "--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.err, "");
        EXPECT_EQ(version.out, std::string(p.name) + " (kuvra) " KUVRA_VERSION "\n");
    }
}
