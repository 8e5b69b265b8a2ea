// Joining an existing study or series: kuvra_ppmtodicom --study-from and
// --series-from, read through kuvra_dicom_synthesizer --study-of and
// --series-of, checked on the DICOM files written.
#include "dicom_helpers.h"

#include <filesystem>
#include <gtest/gtest.h>

using dicomtest::attr;
using dicomtest::dump;

namespace {

namespace fs = std::filesystem;

// A reference image of another writer's habits: Latin-1 names, every
// attribute to join given.
const std::string reference_list =
    "(0008,0005) CS ISO_IR 100\n"
    "(0008,0016) UI 1.2.840.10008.5.1.4.1.1.7\n"
    "(0008,0018) UI 1.2.3.4.5.6\n"
    "(0008,0020) DA 20200102\n(0008,0030) TM 030405\n"
    "(0008,0021) DA 20200102\n(0008,0031) TM 030500\n"
    "(0008,0050) SH ACC-9\n(0008,0060) CS MR\n(0008,0090) PN Dr^Who\n"
    "(0008,1030) LO Head\n(0008,103E) LO Axial T1\n"
    "(0010,0010) PN M\xfcller^J\xf6rg\n(0010,0020) LO PID-42\n(0010,0030) DA 19700101\n"
    "(0010,0040) CS F\n"
    "(0020,000D) UI 1.2.3.4.1\n(0020,000E) UI 1.2.3.4.2\n(0020,0010) SH S-7\n"
    "(0020,0011) IS 5\n(0020,0013) IS 12\n"
    "(0028,0002) US 1\n(0028,0004) CS MONOCHROME2\n(0028,0010) US 1\n(0028,0011) US 2\n"
    "(0028,0100) US 8\n(0028,0101) US 8\n(0028,0102) US 7\n(0028,0103) US 0\n"
    "(7FE0,0010) OB 2\nab\n";

const std::vector<std::string> study_tags = {
    "(0010,0010)", "(0010,0020)", "(0010,0030)", "(0010,0040)", "(0020,000d)", "(0020,0010)",
    "(0008,0020)", "(0008,0030)", "(0008,0050)", "(0008,0090)", "(0008,1030)"};
const std::vector<std::string> series_tags = {"(0020,000e)", "(0020,0011)", "(0008,0060)",
                                              "(0008,103e)", "(0008,0021)", "(0008,0031)"};

std::string make_reference(const kvtest::TempDir &d) {
    std::string path = (d / "ref.dcm").string();
    kvtest::write_file(d / "ref.list", reference_list);
    auto r = kvtest::run({kvtest::bin("kuvra_dicom_synthesizer"), (d / "ref.list").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    kvtest::write_file(path, r.out);
    return path;
}

struct Export {
    kvtest::RunResult run;
    std::string dump;
};

Export export_with(const kvtest::TempDir &d, const std::vector<std::string> &args,
                   const std::string &name, kvtest::RunOptions opt = {}) {
    std::string image = (d / "image.pgm").string();
    kvtest::write_file(image, dicomtest::pnm("P5", 2, 2, 255, "abcd"));
    std::vector<std::string> argv{kvtest::bin("kuvra_ppmtodicom"), "-d", "secondary_capture"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out = (d / name).string();
    for (const std::string &a : {std::string("-o"), out, image})
        argv.push_back(a);
    Export e;
    e.run = kvtest::run(argv, opt);
    if (e.run.status == 0) e.dump = dump(out);
    return e;
}

} // namespace

TEST(Join, StudyFromCopiesPatientAndStudyWithNewSeriesAndInstance) {
    kvtest::TempDir d;
    std::string ref = make_reference(d);
    auto refdump = dump(ref);
    // The input's own comments lose to the study's.
    auto e = export_with(d, {"--study-from", ref}, "new.dcm");
    ASSERT_EQ(e.run.status, 0) << e.run.err;
    EXPECT_EQ(e.run.err, "");
    for (const auto &tag : study_tags)
        if (tag != "(0010,0010)") {
            EXPECT_EQ(attr(e.dump, tag), attr(refdump, tag)) << tag;
        }
    // Names arrive in UTF-8, whatever the study's character set.
    EXPECT_EQ(attr(e.dump, "(0010,0010)"), "M\xc3\xbcller^J\xc3\xb6rg");
    EXPECT_EQ(attr(e.dump, "(0008,0005)"), "ISO_IR 192");
    // Not the series, nor the instance.
    EXPECT_NE(attr(e.dump, "(0020,000e)"), "1.2.3.4.2");
    EXPECT_NE(attr(e.dump, "(0008,0018)"), "1.2.3.4.5.6");
    EXPECT_EQ(attr(e.dump, "(0008,0060)"), "OT");
    EXPECT_EQ(attr(e.dump, "(0008,103e)"), "<absent>");
    EXPECT_TRUE(dicomtest::dciodvfy_errors((d / "new.dcm").string()).empty());
    // -k wins over the study: the caller's word is the last.
    auto k = export_with(d, {"-k", "AccessionNumber=ACC-10", "--study-from", ref}, "k.dcm");
    ASSERT_EQ(k.run.status, 0) << k.run.err;
    EXPECT_EQ(attr(k.dump, "(0008,0050)"), "ACC-10");
    EXPECT_EQ(attr(k.dump, "(0020,000d)"), "1.2.3.4.1");
}

TEST(Join, SeriesFromCopiesTheSeriesTooAndNumbersAbove) {
    kvtest::TempDir d;
    std::string ref = make_reference(d);
    auto refdump = dump(ref);
    auto e = export_with(d, {"--series-from", ref}, "new.dcm");
    ASSERT_EQ(e.run.status, 0) << e.run.err;
    for (const auto &tags : {study_tags, series_tags})
        for (const auto &tag : tags)
            if (tag != "(0010,0010)") {
                EXPECT_EQ(attr(e.dump, tag), attr(refdump, tag)) << tag;
            }
    EXPECT_EQ(attr(e.dump, "(0020,0013)"), "13");
    EXPECT_NE(attr(e.dump, "(0008,0018)"), "1.2.3.4.5.6");
    // The last of --study-from and --series-from counts.
    auto s = export_with(d, {"--series-from", ref, "--study-from", ref}, "s.dcm");
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    EXPECT_NE(attr(s.dump, "(0020,000e)"), "1.2.3.4.2");
    EXPECT_EQ(attr(s.dump, "(0020,0013)"), "1");
    // --instance-inc as img2dcm has it: the number above the file's for a
    // study alone too (a series of its own), and never the file's own;
    // -k wins over it.
    auto inc = export_with(d, {"--study-from", ref, "--instance-inc"}, "inc.dcm");
    ASSERT_EQ(inc.run.status, 0) << inc.run.err;
    EXPECT_EQ(attr(inc.dump, "(0020,0013)"), "13");
    EXPECT_NE(attr(inc.dump, "(0020,000e)"), "1.2.3.4.2");
    auto both = export_with(d, {"--instance-inc", "--series-from", ref}, "both.dcm");
    EXPECT_EQ(attr(both.dump, "(0020,0013)"), "13");
    auto k = export_with(d, {"--series-from", ref, "--instance-inc", "-k", "InstanceNumber=40"},
                         "k.dcm");
    EXPECT_EQ(attr(k.dump, "(0020,0013)"), "40");
    // A file without an InstanceNumber has none to increase.
    std::string list = reference_list;
    list.erase(list.find("(0020,0013) IS 12\n"), 18);
    kvtest::write_file(d / "noinst.list", list);
    auto r = kvtest::run({kvtest::bin("kuvra_dicom_synthesizer"), (d / "noinst.list").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    kvtest::write_file(d / "noinst.dcm", r.out);
    auto none =
        export_with(d, {"--study-from", (d / "noinst.dcm").string(), "--instance-inc"}, "none.dcm");
    EXPECT_EQ(none.run.status, 1);
    EXPECT_NE(none.run.err.find("kuvra_dicom_synthesizer: " + (d / "noinst.dcm").string() +
                                ": it has no InstanceNumber (0020,0013) to increase\n"),
              std::string::npos)
        << none.run.err;
    EXPECT_FALSE(fs::exists(d / "none.dcm"));
}

TEST(Join, ReferenceThatCannotBeJoinedWritesNothing) {
    kvtest::TempDir d;
    std::string ref = make_reference(d);
    // Not DICOM at all: named by the reader, then by the converter.
    kvtest::write_file(d / "photo.pgm", dicomtest::pnm("P5", 1, 1, 255, "a"));
    auto bad = export_with(d, {"--series-from", (d / "photo.pgm").string()}, "bad.dcm");
    EXPECT_EQ(bad.run.status, 1);
    EXPECT_NE(bad.run.err.find("kuvra_dicom_synthesizer: " + (d / "photo.pgm").string() +
                               ": cannot read it as DICOM"),
              std::string::npos)
        << bad.run.err;
    EXPECT_NE(bad.run.err.find("Cannot join the series of " + (d / "photo.pgm").string() + "."),
              std::string::npos)
        << bad.run.err;
    EXPECT_FALSE(fs::exists(d / "bad.dcm"));
    auto missing = export_with(d, {"--study-from", (d / "none.dcm").string()}, "bad.dcm");
    EXPECT_EQ(missing.run.status, 1);
    EXPECT_NE(missing.run.err.find("No such file"), std::string::npos) << missing.run.err;
    // With a PATH that only has the system's programs, the converter
    // started by its path finds the synthesizer next to itself; a lone copy
    // of it does not.
    kvtest::RunOptions sys;
    sys.env = {"PATH=/usr/bin:/bin"};
    auto nopath = export_with(d, {"--study-from", ref, "-k", "PatientID=P"}, "joined.dcm", sys);
    EXPECT_EQ(nopath.run.status, 0) << nopath.run.err;
    EXPECT_EQ(nopath.run.err, "");
    EXPECT_EQ(attr(nopath.dump, "(0020,000d)"), "1.2.3.4.1");
    // So does compressed input from a pipe (kuvra_pipeprefix puts the
    // sniffed bytes back).
    auto piped = kvtest::run({"/bin/sh", "-c",
                              "gzip -c \"$2\" | \"$1\" -d secondary_capture -k PatientID=P -o "
                              "\"$3\"",
                              "sh", kvtest::bin("kuvra_ppmtodicom"), (d / "image.pgm").string(),
                              (d / "piped.dcm").string()},
                             sys);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(attr(dump((d / "piped.dcm").string()), "(0028,0010)"), "2");
    fs::create_directory(d / "lone");
    fs::copy_file(kvtest::bin("kuvra_ppmtodicom"), d / "lone/kuvra_ppmtodicom");
    auto lone = kvtest::run({(d / "lone/kuvra_ppmtodicom").string(), "-m", "--study-from", ref,
                             (d / "image.pgm").string()},
                            sys);
    EXPECT_EQ(lone.status, 1);
    EXPECT_NE(lone.err.find("Cannot find kuvra_dicom_synthesizer in " + (d / "lone").string() +
                            " nor on PATH: it reads the file of --study-from."),
              std::string::npos)
        << lone.err;
    EXPECT_EQ(lone.out, "");
    auto only = kvtest::run({kvtest::bin("kuvra_dicom_synthesizer"), "--study-of"});
    EXPECT_EQ(only.status, 1);
}

TEST(Join, EmptyPatientIdIsWarnedAboutNotRefused) {
    kvtest::TempDir d;
    const std::string warning =
        "kuvra_dicom_synthesizer: warning: (0010,0020) PatientID is empty: a PACS files all such "
        "images under one patient (kuvra_ppmtodicom -k PatientID=...)\n";
    auto none = export_with(d, {}, "none.dcm");
    EXPECT_EQ(none.run.status, 0);
    EXPECT_EQ(none.run.err, warning);
    EXPECT_EQ(attr(none.dump, "(0010,0020)"), "");
    auto given = export_with(d, {"-k", "PatientID=KV-1"}, "given.dcm");
    EXPECT_EQ(given.run.status, 0);
    EXPECT_EQ(given.run.err, "");
}
