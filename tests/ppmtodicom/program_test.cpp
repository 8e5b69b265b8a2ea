// kuvra_ppmtodicom run as a user runs it, writing the macro stream to
// standard output (-m or no option).
#include "progtest.h"

#include <prelude.h>
#include <regex>

using convtest::macro;
using convtest::pattern;
using convtest::spool_names;
using convtest::SpoolCleanup;
using progtest::compress;
using progtest::convert;
using progtest::messages;
using progtest::p5;
using progtest::p6;
using Log = std::vector<std::string>;

namespace {

const std::string &expected_prelude = kvtest::expected_prelude();

// The stream with spool names and clock values replaced, for comparisons
// between runs.
std::string normalised(std::string s) {
    static const std::regex names("/tmp/kuvra_ppmtodicom_[A-Za-z0-9]{6}");
    static const std::regex clock(R"(XX_CURRENT_(DATE|TIME)\]\],\[\[[0-9]+)");
    s = std::regex_replace(s, names, "SPOOL");
    return std::regex_replace(s, clock, "XX_CURRENT_$1]],[[N");
}

struct Sample {
    const char *name;
    std::string input;
    std::vector<std::string> payloads; // spooled, in order
};

std::vector<Sample> samples() {
    std::string rgb = pattern(5 * 4 * 3, 11);
    std::string grey = pattern(3 * 2 * 2, 12);
    std::string f1 = pattern(70000, 13), f2 = pattern(7, 14);
    return {
        {"P6", p6(5, 4, rgb, "#Study Note:\tDoe\n#Dicom/(10,20):\tID7\n"), {rgb}},
        {"P5", p5(3, 2, 1000, grey, "#Modality:\tMR\n"), {grey}},
        {"KUVRA_FST",
         "KUVRA_FST\n#Series:\t1\n" + convtest::field("a", "U8 1", "1", "70000", f1) +
             convtest::field("b", "S8 1", "1", "7", f2),
         {f1, f2}},
    };
}

} // namespace

TEST(Program, PreludeIsTheExact590Bytes) {
    SpoolCleanup clean;
    auto r = convert({"-m"}, p6(1, 1, "abc"));
    clean.add(r.out);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(expected_prelude.size(), 590u);
    EXPECT_EQ(r.out.substr(0, 590), expected_prelude);
    EXPECT_TRUE(std::regex_search(
        r.out.substr(590, 200),
        std::regex(R"(^define\(\[\[XX_CURRENT_DATE\]\],\[\[20[0-9]{2}(0[1-9]|1[0-2])[0-3][0-9]\]\]\)
define\(\[\[XX_CURRENT_TIME\]\],\[\[([01][0-9]|2[0-3])[0-5][0-9][0-6][0-9]\]\]\)
define\(\[\[XX_DATA_FORMAT\]\],\[\[P6\]\]\)
)")));
    EXPECT_TRUE(r.out.ends_with("]])\n" KV_M4_CLOSING));
    EXPECT_EQ(r.err, "");
}

TEST(Program, EachFormatPlainCompressedNestedOnPipeAndFromFile) {
    const std::vector<std::vector<std::string>> stacks = {
        {}, {"gzip"}, {"bzip2"}, {"lzma"}, {"lzma", "bzip2", "gzip"}};
    kvtest::TempDir dir;
    for (const auto &sample : samples()) {
        std::string reference;
        for (const auto &stack : stacks) {
            std::string bytes = sample.input;
            std::string label = sample.name;
            for (const auto &program : stack) {
                bytes = compress(program, bytes);
                label += "+" + program;
            }
            auto file = dir / "input";
            kvtest::write_file(file, bytes);
            for (bool from_file : {false, true}) {
                kvtest::RunOptions opt;
                if (from_file)
                    opt.stdin_file = file;
                else
                    opt.input = bytes;
                SpoolCleanup clean;
                auto r = convert({}, opt);
                clean.add(r.out);
                std::string where = label + (from_file ? " from a file" : " on a pipe");
                ASSERT_EQ(r.status, 0) << where << "\n" << r.err;
                EXPECT_EQ(messages(r.err), Log{}) << where;
                auto names = spool_names(r.out);
                ASSERT_EQ(names.size(), sample.payloads.size()) << where;
                for (size_t i = 0; i < names.size(); i++)
                    EXPECT_TRUE(kvtest::read_file(names[i]) == sample.payloads[i]) << where;
                if (reference.empty())
                    reference = normalised(r.out);
                else
                    EXPECT_EQ(normalised(r.out), reference) << where;
            }
        }
    }
}

TEST(Program, HeaderMacrosOfEachFormat) {
    SpoolCleanup clean;
    auto r = convert({}, samples()[0].input);
    clean.add(r.out);
    EXPECT_EQ(macro(r.out, "XX_Study_Note"), "Doe");
    EXPECT_EQ(macro(r.out, "XX_DICOM_0010_0020"), "ID7");
    auto g = convert({}, samples()[1].input);
    clean.add(g.out);
    EXPECT_EQ(macro(g.out, "XX_DATA_FORMAT"), "P5");
    EXPECT_EQ(macro(g.out, "XX_Modality"), "MR");
    EXPECT_EQ(macro(g.out, "XX_FIELD_GREY_ITEM_TYPE"), "U16");
    auto f = convert({}, samples()[2].input);
    clean.add(f.out);
    EXPECT_EQ(macro(f.out, "XX_DATA_FORMAT"), "KUVRA_FIELDSET");
    EXPECT_EQ(macro(f.out, "XX_Series"), "1");
    EXPECT_EQ(macro(f.out, "XX_FIELD_b_ITEM_TYPE"), "S8");
}

TEST(Program, OptionsAndUsage) {
    const std::string usage_of =
        "Usage: " + kvtest::bin("kuvra_ppmtodicom") + " [-m|-d m4module]\n";
    auto h = convert({"-h"}, "");
    EXPECT_EQ(h.status, 1);
    EXPECT_EQ(messages(h.err), Log{usage_of});
    EXPECT_EQ(h.out, "");
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"-x"}, {"-d"}, {"-m", "-q"}}) {
        auto r = convert(bad, p6(1, 1, "abc"));
        EXPECT_EQ(r.status, 1) << bad.back();
        EXPECT_EQ(messages(r.err), (Log{"Unknown option.\n", usage_of})) << bad.back();
        EXPECT_EQ(r.out, "");
    }
    // -h stops at once, even after a valid option.
    EXPECT_EQ(convert({"-m", "-h"}, "").status, 1);
    // The operand is the input, "-" standard input.
    SpoolCleanup clean;
    auto missing = convert({"/nonexistent/file.ppm", "-m"}, p6(1, 1, "xyz"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(messages(missing.err),
              Log{"Cannot open input file /nonexistent/file.ppm: No such file or directory\n"});
    EXPECT_EQ(missing.out, "");
    auto named = convert({"-", "-m"}, p6(1, 1, "xyz"));
    clean.add(named.out);
    EXPECT_EQ(named.status, 0);
    ASSERT_EQ(spool_names(named.out).size(), 1u);
    EXPECT_EQ(kvtest::read_file(spool_names(named.out)[0]), "xyz");
    // The last of -m and -d wins: -d first, then -m writes to standard output
    // (the module is never looked up).
    auto dm = convert({"-d", "no such module", "-m"}, p6(1, 1, "xyz"));
    clean.add(dm.out);
    EXPECT_EQ(dm.status, 0);
    EXPECT_EQ(dm.out.substr(0, 590), expected_prelude);
}

TEST(Program, InputsThatAreNotTaken) {
    const std::string must = "Input file must be P5, P6 or KUVRA_FIELDSET\n";
    const struct {
        std::string input, hint;
    } cases[] = {
        {"", "The input is empty.\n"},
        {"hello\n", "The input is of no type the converter knows; netpbm converts most images: "
                    "anytopnm INPUT > image.pnm\n"},
        {"%PDF-1.4\n", "The input is of type application/pdf; netpbm converts most images: "
                       "anytopnm INPUT > image.pnm\n"},
        {"P4\n1 1\n\x80", "The input is a PBM bitmap (P1 or P4); convert it first: pamdepth 255 "
                          "INPUT > image.pgm\n"},
        {"P2\n1 1\n255\n7\n", "The input is a plain (text) PGM or PPM (P2 or P3); convert it "
                              "first: pnmtopnm INPUT > image.pnm\n"},
        {"P7\nWIDTH 1\n", "The input is a PAM image (P7); convert it first: pamtopnm INPUT > "
                          "image.pnm\n"},
        {"P5 2 2 255\nabcd", "The input is a PGM or PPM whose magic number does not stand on a "
                             "line of its own; convert it first: pnmtopnm INPUT > image.pnm\n"},
        {std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16),
         "The input is a PNG image; convert it first: pngtopnm INPUT > image.pnm\n"},
        {"\xFF\xD8\xFF\xE0", "The input is a JPEG image; convert it first: jpegtopnm INPUT > "
                             "image.pnm\n"},
        {"KUVRA_FST\r\nFIELD\n", "The input is of no type the converter knows; netpbm converts "
                                 "most images: anytopnm INPUT > image.pnm\n"},
        // Compressed, the content is named.
        {compress("gzip", "just text\n"), "The input is of no type the converter knows; netpbm "
                                          "converts most images: anytopnm INPUT > image.pnm\n"},
    };
    for (const auto &c : cases) {
        auto r = convert({"-m"}, c.input);
        EXPECT_EQ(r.status, 1) << c.input;
        EXPECT_EQ(messages(r.err), (Log{must, c.hint})) << c.input;
        EXPECT_EQ(r.out, "") << c.input;
    }
    // The command names the input operand, and what it says is so: netpbm's
    // conversion is taken.
    kvtest::TempDir d;
    kvtest::write_file(d / "plain.pgm", "P2\n2 1\n255\n7 9\n");
    auto named = convert({"-m", (d / "plain.pgm").string()}, "");
    EXPECT_EQ(messages(named.err)[1], "The input is a plain (text) PGM or PPM (P2 or P3); convert "
                                      "it first: pnmtopnm " +
                                          (d / "plain.pgm").string() + " > image.pnm\n");
    auto fixed = kvtest::sh("cd '" + d.path().string() + "' && pnmtopnm plain.pgm > image.pnm");
    ASSERT_EQ(fixed.status, 0) << fixed.err;
    SpoolCleanup clean;
    auto ok = convert({"-m", (d / "image.pnm").string()}, "");
    clean.add(ok.out);
    EXPECT_EQ(ok.status, 0) << ok.err;
}

TEST(Program, EveryFatalMessageEndsWithStatus1) {
    const std::string fst = "KUVRA_FST\n";
    struct Case {
        std::string input;
        Log log;
    } cases[] = {
        {"P6\n2\n255\n", {"P6 failure reading size.\n"}},
        {"P6\n2 2\n#255\n", {"P6 failure reading depth.\n"}},
        {"P6\n2 2\n254\n", {"P6 depth is not 255.\n"}},
        {"P5\nx\n", {"P5 failure reading size.\n"}},
        {"P5\n2 2\n", {"P5 failure reading depth.\n"}},
        {"P5\n2 2\n70000\n", {"P5 depth is not 1 to 65535.\n"}},
        {"P6\n-1 2\n255\n", {"Image size not supported.\n"}},
        {"P6\n2 2\n255\nabc", {"Ouch - rlen failure?\n", "Field copy failure.\n"}},
        {fst + "FIELD\nf\nU8 1\n1\n1\nlots\n", {"Field size not supported.\n"}},
        {fst + "FIELD\nf\nU8 1\n20\n", {"Dimensions bad!\n"}},
        {fst + "FIELD\nf\nU8 1\n1\n1\n1\nx\nEND\n", {"ENDFIELD not found.\n"}},
        {fst + "FIELD\nf\nU8 1\n1\n", {"ENDFIELD not found.\n"}},
    };
    for (const auto &k : cases) {
        SpoolCleanup clean;
        auto r = convert({"-m"}, k.input);
        clean.add(r.out);
        EXPECT_EQ(r.status, 1) << k.input;
        EXPECT_EQ(messages(r.err), k.log) << k.input;
        // The stream so far reaches standard output, without its closing line.
        EXPECT_EQ(r.out.substr(0, 590), expected_prelude) << k.input;
        EXPECT_FALSE(r.out.ends_with(KV_M4_CLOSING)) << k.input;
    }
}

TEST(Program, MessagesThatLetTheRunGoOn) {
    SpoolCleanup clean;
    std::string longline(15000, 'w');
    auto r = convert({}, "KUVRA_FST\nnot a keyword\n" + longline + "\nFIELD\nf\nU8\n#x:\tv\n");
    clean.add(r.out);
    EXPECT_EQ(r.status, 0);
    // The long line is one line, however long.
    EXPECT_EQ(messages(r.err), (Log{"Non-field keyword in fieldset file: not a keyword\n",
                                    "Non-field keyword in fieldset file: " + longline + "\n",
                                    "Cannot parse type descriptor\n"}));
    EXPECT_EQ(macro(r.out, "XX_x"), "v");
    auto q = convert({}, "P6\n#Bad:\t]]x\n#Good:\t[[y]]\n1 1\n255\nabc");
    clean.add(q.out);
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(messages(q.err), Log{"Header comment with unbalanced m4 quotes dropped: Bad\n"});
    EXPECT_EQ(macro(q.out, "XX_Bad"), "<undefined>");
    EXPECT_EQ(macro(q.out, "XX_Good"), "[[y]]");
    // Keys meant for an attribute that miss it are named with what to write;
    // other keys (a PNM's own comments) are the input's business.
    auto k = convert({}, "P6\n#PatienName:\tDoe^Jane\n#Patient Name:\tDoe\n#PatientName: Doe\n"
                         "#Dicom/(0010,0020): X1\n# CREATOR: GIMP PNM Filter Version 1.1\n"
                         "#Comment:\tx\n#ExportField:\tV\n#PatientID:\tP1\n1 1\n255\nabc");
    clean.add(k.out);
    EXPECT_EQ(k.status, 0);
    EXPECT_EQ(messages(k.err),
              (Log{"Header comment PatienName is not a DICOM keyword and sets no attribute; did "
                   "you mean PatientName?\n",
                   "Header comment Patient Name is not a DICOM keyword and sets no attribute; did "
                   "you mean PatientName?\n",
                   "Header comment PatientName dropped: a blank follows the colon where a TAB "
                   "must; write #PatientName:<TAB>value\n",
                   "Header comment Dicom/(0010,0020) dropped: a blank follows the colon where a "
                   "TAB must; write #Dicom/(0010,0020):<TAB>value\n"}));
    EXPECT_EQ(macro(k.out, "XX_PatienName"), "Doe^Jane");
    EXPECT_EQ(macro(k.out, "XX_PatientName"), "<undefined>");
}

TEST(Program, LogFollowsTheEnvironment) {
    kvtest::TempDir dir;
    kvtest::RunOptions opt;
    opt.input = "";
    opt.env = {"KUVRA_DEBUG_FILE=" + (dir / "log").string()};
    auto r = convert({}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(messages(kvtest::read_file(dir / "log")),
              (Log{"Input file must be P5, P6 or KUVRA_FIELDSET\n", "The input is empty.\n"}));
    opt.env = {"KUVRA_DEBUG_FLAGS=3,0"};
    auto quiet = convert({}, opt);
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.err, "");
}

TEST(Program, StreamToAFullDeviceFails) {
    if (!progtest::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    auto r = kvtest::sh("printf 'KUVRA_FST\\n#a:\\tb\\n' | '" + kvtest::bin("kuvra_ppmtodicom") +
                        "' >/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(messages(r.err), Log{"Cannot write macro stream.\n"});
}
