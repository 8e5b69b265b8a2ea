// kuvra_ppmtodicom's command line as a user types it: the input operand,
// -o, -k, --help, --version and --new-uid.  With -m only, so that these
// run without m4's templates or the synthesizer (the 32-bit tree too).
#include "progtest.h"

#include <filesystem>
#include <regex>
#include <set>
#include <sys/stat.h>

using convtest::macro;
using convtest::spool_names;
using convtest::SpoolCleanup;
using progtest::convert;
using progtest::messages;
using progtest::p6;
using Log = std::vector<std::string>;

namespace fs = std::filesystem;

namespace {

// The files of dir, hidden ones (a temporary output) included.
std::set<std::string> entries(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

// What a template read after stream sees in the macros: m4's last
// definitions, "|"-separated.
std::string seen_by_m4(const std::string &stream, const std::vector<std::string> &names) {
    std::string probe;
    for (const auto &n : names) {
        if (!probe.empty()) probe += '|';
        probe.append("defn([[").append(n).append("]])");
    }
    kvtest::RunOptions o;
    // Given before the stream's end, the probe's output comes before the
    // end mark that the closing line has m4 write last.
    o.input = stream + probe + "\n";
    auto r = kvtest::run({"m4", "-"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

} // namespace

TEST(CommandLine, InputOperandAndOutputFile) {
    kvtest::TempDir d;
    SpoolCleanup clean;
    kvtest::write_file(d / "in.ppm", p6(1, 1, "xyz", "#PatientName:\tDoe\n"));
    // The operand instead of standard input, which is not read.
    auto r =
        convert({"-m", (d / "in.ppm").string(), "-o", (d / "out.m4").string()}, "not an image");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string stream = kvtest::read_file(d / "out.m4");
    clean.add(stream);
    EXPECT_EQ(macro(stream, "XX_PatientName"), "Doe");
    ASSERT_EQ(spool_names(stream).size(), 1u);
    EXPECT_EQ(entries(d.path()), (std::set<std::string>{"in.ppm", "out.m4"}));
    // A new file's mode: what the umask leaves of 0666, not the 0600 it is
    // written with.
    struct stat st {};
    ASSERT_EQ(stat((d / "out.m4").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u); // the tests run with umask 022
    // Options after the operand, "-o -" for standard output.
    auto after = convert({(d / "in.ppm").string(), "-m", "-o", "-"}, "");
    clean.add(after.out);
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(macro(after.out, "XX_PatientName"), "Doe");
    // Two operands: one run per input.
    auto two = convert({(d / "in.ppm").string(), (d / "in.ppm").string()}, "");
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(messages(two.err), Log{"Only one input file is taken; give each its own run.\n"});
    EXPECT_EQ(two.out, "");
}

TEST(CommandLine, FailedRunLeavesNoOutputAndKeepsAnOldOne) {
    kvtest::TempDir d;
    kvtest::write_file(d / "old.m4", "earlier result");
    // Refused input: nothing under any name.
    auto bad = convert({"-m", "-o", (d / "new.m4").string()}, "P4\n1 1\n\x80");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(messages(bad.err)[0], "Input file must be P5, P6 or KUVRA_FIELDSET\n");
    // A failure in the middle of the data: the old file stays as it was.
    auto cut = convert({"-m", "-o", (d / "old.m4").string()}, "P6\n2 2\n255\nabc");
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(kvtest::read_file(d / "old.m4"), "earlier result");
    EXPECT_EQ(entries(d.path()), std::set<std::string>{"old.m4"});
    // A directory that cannot take the file: named, before the input is read.
    auto nodir = convert({"-m", "-o", (d / "no" / "such.m4").string()}, p6(1, 1, "abc"));
    EXPECT_EQ(nodir.status, 1);
    EXPECT_EQ(messages(nodir.err),
              Log{"Cannot create output file " + (d / "no" / "such.m4").string() +
                  ": No such file or directory\n"});
    // An output that cannot take the rename (a directory): the temporary
    // file goes too.
    fs::create_directory(d / "dir.m4");
    fs::create_directory(d / "dir.m4" / "inside");
    SpoolCleanup clean;
    auto onto_dir = convert({"-m", "-o", (d / "dir.m4").string()}, "KUVRA_FST\n#Key:\tv\n");
    EXPECT_EQ(onto_dir.status, 1);
    ASSERT_EQ(messages(onto_dir.err).size(), 1u);
    EXPECT_EQ(messages(onto_dir.err)[0].rfind(
                  "Cannot write output file " + (d / "dir.m4").string() + ": ", 0),
              0u)
        << onto_dir.err;
    EXPECT_EQ(entries(d.path()), (std::set<std::string>{"old.m4", "dir.m4"}));
}

TEST(CommandLine, KeyOptionSetsAttributesOverTheInputs) {
    SpoolCleanup clean;
    std::string in = p6(1, 1, "abc",
                        "#PatientName:\tFrom^Input\n#Dicom/(0010,0010):\tAlso^Input\n"
                        "#Dicom/(0010,0020):\tID-IN\n#ExportField:\tA\n");
    auto r = convert({"-m", "-k", "PatientName=Doe^Jane", "-k", "(0010,0020)=KV-1", "-k",
                      "0008,103e=Head\\Neck", "-k", "ExportField=Volume", "-k", "StudyID=", "-k",
                      "PixelSpacing=0.5\\0.5", "-k", "(0009,1001)/LO=Private"},
                     in);
    clean.add(r.out);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // m4 keeps the last definition: -k's come after the whole input, and a
    // keyword is written in the Dicom/ form that templates prefer.
    EXPECT_EQ(seen_by_m4(r.out, {"XX_DICOM_0010_0010", "XX_DICOM_0010_0020", "XX_DICOM_0008_103E",
                                 "XX_ExportField", "XX_DICOM_0020_0010", "XX_PatientName",
                                 "XX_DICOM_0028_0030"}),
              "Doe^Jane|KV-1|Head\\Neck|Volume||From^Input|0.5\\0.5\n" + progtest::end_mark);
    // Last, where each value came from (-k wins over both forms of the
    // input), and the attributes named, for the templates to write those
    // they do not list.
    EXPECT_TRUE(
        r.out.ends_with("define([[XX_DICOM_0028_0030]],[[0.5\\0.5]])\n"
                        "define([[XX_DICOM_0009_1001]],[[Private]])\n"
                        "define([[XX_ORIGIN_0008_103E]],[[-k 0008,103e]])\n"
                        "define([[XX_ORIGIN_0009_1001]],[[-k (0009,1001)/LO]])\n"
                        "define([[XX_ORIGIN_0010_0010]],[[-k PatientName]])\n"
                        "define([[XX_ORIGIN_0010_0020]],[[-k (0010,0020)]])\n"
                        "define([[XX_ORIGIN_0020_0010]],[[-k StudyID]])\n"
                        "define([[XX_ORIGIN_0028_0030]],[[-k PixelSpacing]])\n"
                        "define([[XX_ATTRIBUTES]],[[0008 103E LO SeriesDescription;"
                        "0009 1001 LO ;0010 0010 PN PatientName;0010 0020 LO PatientID;"
                        "0020 0010 SH StudyID;0028 0030 DS PixelSpacing;]])\n" KV_M4_CLOSING))
        << r.out;
    // A value longer than a line is carried whole.
    std::string big(30000, 'x');
    auto b = convert({"-k", "ImageComments=" + big}, p6(1, 1, "abc"));
    clean.add(b.out);
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(macro(b.out, "XX_DICOM_0020_4000"), big);
}

TEST(CommandLine, BadKeyOptionStopsBeforeAnythingIsWritten) {
    kvtest::TempDir d;
    const struct {
        std::string arg;
        Log message;
    } cases[] = {
        {"PatienName=Doe",
         {"Unknown key for -k: PatienName (a DICOM keyword such as PatientName, or (gggg,eeee))\n",
          "Did you mean PatientName?\n"}},
        {"(0010,001)=Doe",
         {"Unknown key for -k: (0010,001) (a DICOM keyword such as "
          "PatientName, or (gggg,eeee))\n"}},
        {"PatientName", {"Option -k takes KEY=VALUE, not PatientName\n"}},
        {"=Doe", {"Option -k takes KEY=VALUE, not =Doe\n"}},
        {"PatientName=Doe\nJane", {"Option -k PatientName: the value holds a line break\n"}},
        {"(0009,1001)=x",
         {"Option -k (0009,1001): the attribute is not in the data dictionary; name its VR, as "
          "in (0009,1001)/LO=VALUE\n"}},
        {"(0009,1001)/OB=x",
         {"Option -k (0009,1001)/OB: OB is no VR a text value can be given in (AE, AS, AT, CS, "
          "DA, DS, DT, FD, FL, IS, LO, LT, PN, SH, SL, SS, ST, SV, TM, UC, UI, UL, UR, US, UT, "
          "UV)\n"}},
        {"--instance-inc",
         {"Option --instance-inc increases the InstanceNumber of the file of --study-from or "
          "--series-from; give one.\n"}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"-d", "secondary_capture", "-o", (d / "x.dcm").string()};
        if (c.arg.starts_with("--"))
            args.push_back(c.arg);
        else
            args.insert(args.end(), {"-k", c.arg});
        auto r = convert(args, p6(1, 1, "abc"));
        EXPECT_EQ(r.status, 1) << c.arg;
        EXPECT_EQ(messages(r.err), c.message) << c.arg;
        EXPECT_EQ(r.out, "") << c.arg;
        EXPECT_TRUE(fs::is_empty(d.path())) << c.arg;
    }
}

TEST(CommandLine, HelpVersionAndNewUid) {
    auto help = convert({"--help"}, "");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: " + kvtest::bin("kuvra_ppmtodicom") +
                                 " [-m | -d MODULE] [-k KEY=VALUE]...",
                             0),
              0u)
        << help.out;
    for (const char *opt : {"-o OUTPUT", "--study-from FILE", "--series-from FILE", "--new-uid"})
        EXPECT_NE(help.out.find(opt), std::string::npos) << opt;
    auto version = convert({"--version"}, "");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(
        version.out, std::regex(R"(kuvra_ppmtodicom \(kuvra\) [0-9]+\.[0-9]+\.[0-9]+\n)")))
        << version.out;
    // Fresh every time, of the synthesizer's root, and valid as a UI value.
    std::set<std::string> uids;
    for (int i = 0; i < 3; ++i) {
        auto u = convert({"--new-uid"}, "");
        EXPECT_EQ(u.status, 0);
        EXPECT_TRUE(std::regex_match(u.out, std::regex(R"(2\.25\.[1-9][0-9]{0,38}\n)"))) << u.out;
        EXPECT_LE(u.out.size(), 65u);
        uids.insert(u.out);
    }
    EXPECT_EQ(uids.size(), 3u);
    // A long option the program does not have is an unknown option.
    auto bad = convert({"--study-form", "x"}, "");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(messages(bad.err).at(0), "Unknown option.\n");
}
