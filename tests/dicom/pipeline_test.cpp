// The whole export: kuvra_ppmtodicom -d MODULE with the real m4, the module
// templates and kuvra_dicom_synthesizer; the files it writes are checked by
// dciodvfy, dcmftest, GDCM and kuvra_dicom_to_P5.
#include "dicom_helpers.h"

#include <filesystem>
#include <gtest/gtest.h>

using dicomtest::attr;
using namespace std::string_literals;

namespace {

bool have_converter() {
    return std::filesystem::exists(kvtest::bin("kuvra_ppmtodicom"));
}

#define REQUIRE_CONVERTER()                                                                        \
    if (!have_converter()) GTEST_SKIP() << "kuvra_ppmtodicom is not built in this tree"

struct Export {
    kvtest::RunResult run;
    std::string file;
    std::string dump;
};

// Runs the converter on the input bytes (compressed with the program given,
// if any) and keeps what it writes in dir/out.dcm.
Export export_image(const kvtest::TempDir &d, const std::string &module, const std::string &input,
                    const std::string &compressor = "") {
    Export e;
    std::string in = (d / "input").string();
    kvtest::write_file(in, input);
    if (!compressor.empty()) {
        auto c = kvtest::sh(compressor + " -c '" + in + "' > '" + in + ".z' && mv '" + in +
                            ".z' '" + in + "'");
        EXPECT_EQ(c.status, 0) << c.err;
    }
    e.file = (d / "out.dcm").string();
    kvtest::RunOptions o;
    o.stdin_file = in;
    e.run = kvtest::run({kvtest::bin("kuvra_ppmtodicom"), "-d", module}, o);
    kvtest::write_file(e.file, e.run.out);
    if (e.run.status == 0) e.dump = dicomtest::dump(e.file);
    return e;
}

// Spool files of the converter that hold these bytes: a run must leave none.
std::vector<std::string> leftover_spools(const std::string &payload) {
    std::vector<std::string> left;
    for (const auto &n : kvtest::list_dir("/tmp", "kuvra_ppmtodicom_")) {
        std::error_code ec;
        auto size = std::filesystem::file_size("/tmp/" + n, ec);
        if (!ec && size == payload.size() && kvtest::read_file("/tmp/" + n) == payload)
            left.push_back(n);
    }
    return left;
}

void expect_valid(const Export &e) {
    ASSERT_EQ(e.run.status, 0) << e.run.err;
    EXPECT_EQ(kvtest::run({"dcmftest", e.file}).out, "yes: " + e.file + "\n");
    auto errs = dicomtest::dciodvfy_errors(e.file);
    EXPECT_TRUE(errs.empty()) << errs[0];
}

std::string swap_pairs(std::string s) {
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        std::swap(s[i], s[i + 1]);
    return s;
}

std::string grey16(int w, int h, int maxval, uint32_t seed) {
    std::string px;
    std::string noise = dicomtest::pattern(static_cast<size_t>(w) * h * 2, seed);
    for (int i = 0; i < w * h; ++i) {
        unsigned v = (static_cast<unsigned char>(noise[2 * i]) << 8 |
                      static_cast<unsigned char>(noise[2 * i + 1])) %
                     (static_cast<unsigned>(maxval) + 1);
        px += static_cast<char>(v >> 8);
        px += static_cast<char>(v & 0xFF);
    }
    return px;
}

} // namespace

TEST(Pipeline, RgbRoundTripWithOddWidth) {
    REQUIRE_CONVERTER();
    kvtest::TempDir d;
    const int w = 37, h = 11; // odd byte count: 1221
    std::string px = dicomtest::pattern(w * h * 3, 21);
    std::string ppm = dicomtest::pnm("P6", w, h, 255, px);
    auto e = export_image(d, "secondary_capture", ppm);
    expect_valid(e);
    EXPECT_EQ(dicomtest::gdcm_pixels(e.file), px);
    auto back = dicomtest::to_pnm(e.file);
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(back.out == ppm) << "P6 round trip is not byte-identical";
    EXPECT_EQ(attr(e.dump, "(0028,0006)"), "0");
    EXPECT_TRUE(leftover_spools(px).empty());
}

TEST(Pipeline, GreyRoundTrips) {
    REQUIRE_CONVERTER();
    struct Case {
        int w, h, maxval;
    };
    for (const Case &c : {Case{9, 7, 255}, Case{13, 5, 4095}, Case{6, 6, 65535}}) {
        SCOPED_TRACE(c.maxval);
        kvtest::TempDir d;
        std::string px =
            c.maxval > 255 ? grey16(c.w, c.h, c.maxval, 5) : dicomtest::pattern(c.w * c.h, 5);
        std::string pgm = dicomtest::pnm("P5", c.w, c.h, c.maxval, px);
        auto e = export_image(d, "secondary_capture", pgm);
        expect_valid(e);
        // GDCM reads the samples little-endian as DICOM stores them.
        EXPECT_EQ(dicomtest::gdcm_pixels(e.file), c.maxval > 255 ? swap_pairs(px) : px);
        auto back = dicomtest::to_pnm(e.file);
        EXPECT_TRUE(back.out == pgm) << "P5 round trip is not byte-identical";
        // dcm2pnm, DCMTK's own renderer, agrees on the 8-bit image.
        if (c.maxval == 255) {
            auto r = kvtest::run({"dcm2pnm", e.file, (d / "dcm2pnm.pgm").string()});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(kvtest::read_file(d / "dcm2pnm.pgm").ends_with(px));
        }
        EXPECT_TRUE(leftover_spools(px).empty());
    }
}

TEST(Pipeline, CompressedInputs) {
    REQUIRE_CONVERTER();
    for (const char *z : {"gzip", "bzip2", "lzma"}) {
        SCOPED_TRACE(z);
        kvtest::TempDir d;
        std::string px = grey16(8, 3, 4095, 11);
        std::string pgm = dicomtest::pnm("P5", 8, 3, 4095, px);
        auto e = export_image(d, "secondary_capture", pgm, z);
        expect_valid(e);
        EXPECT_TRUE(dicomtest::to_pnm(e.file).out == pgm);
    }
}

TEST(Pipeline, HeaderCommentsBecomeAttributes) {
    REQUIRE_CONVERTER();
    kvtest::TempDir d;
    std::string marker = (d / "executed").string();
    const std::string tricky = "dnl index(a,b) syscmd(touch " + marker + ") [[nested]] $1 #x";
    std::string pgm =
        "P5\n#PatientName:\tDoe^John\n#Dicom/(0010,0020):\tKV-7\n"
        "#PatientID:\tloses-to-dicom-form\n#Dicom/(8,1030):\tStudy text\n"
        "#StudyDate:\t20211231\n#ImageComments:\t" +
        tricky + "\n#PatientComments:\t]])syscmd([[touch " + marker +
        "]])dnl\n"
        "#OperatorsName:\tM\xc3\xbcller\n#SeriesDescription:\tlong \n#+SeriesDescription:\tvalue\n"
        "2 2\n255\nabcd";
    auto e = export_image(d, "secondary_capture", pgm);
    expect_valid(e);
    EXPECT_EQ(attr(e.dump, "(0010,0010)"), "Doe^John");
    EXPECT_EQ(attr(e.dump, "(0010,0020)"), "KV-7");
    EXPECT_EQ(attr(e.dump, "(0008,1030)"), "Study text");
    EXPECT_EQ(attr(e.dump, "(0008,0020)"), "20211231");
    EXPECT_EQ(attr(e.dump, "(0020,4000)"), tricky);
    EXPECT_EQ(attr(e.dump, "(0008,1070)"), "M\xc3\xbcller");
    EXPECT_EQ(attr(e.dump, "(0008,0005)"), "ISO_IR 192");
    EXPECT_EQ(attr(e.dump, "(0008,103e)"), "long value");
    // The unbalanced value is dropped by the converter, not exported.
    EXPECT_EQ(attr(e.dump, "(0010,4000)"), "<absent>");
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a header value was executed";
    EXPECT_EQ(dicomtest::gdcm_pixels(e.file), "abcd");
}

// Any attribute of the data dictionary reaches the file, by tag or keyword,
// with the dictionary's VR; a private one with the VR its comment gives.
// Attributes that the export decides stay as they are, with a warning.
TEST(Pipeline, AnyAttributeReachesTheFileAndFixedOnesAreWarnedAbout) {
    REQUIRE_CONVERTER();
    kvtest::TempDir d;
    const std::string head = "#Dicom/(0028,0030):\t0.5\\0.5\n#Dicom/(0008,1048):\tHouse^G\n"
                             "#SliceThickness:\t2.5\n#Dicom/(0009,0010):\tACME 1\n"
                             "#Dicom/(0009,1001)/LO:\tprivate\n#Dicom/(0009,1002):\tno VR\n"
                             "#IconImageSequence:\tx\n#Dicom/(0008,0016):\t1.2.3\n#Rows:\t9\n"
                             "#Dicom/(0002,0010):\t1.2.840.10008.1.2\n#PatientID:\tP1\n";
    auto e = export_image(d, "secondary_capture", "P5\n" + head + "2 2\n255\nabcd");
    expect_valid(e);
    EXPECT_EQ(attr(e.dump, "(0028,0030)"), "0.5\\0.5");
    EXPECT_NE(e.dump.find("(0028,0030) DS"), std::string::npos);
    EXPECT_EQ(attr(e.dump, "(0008,1048)"), "House^G");
    EXPECT_EQ(attr(e.dump, "(0018,0050)"), "2.5");
    EXPECT_NE(e.dump.find("(0009,1001) LO [private]"), std::string::npos) << e.dump;
    EXPECT_EQ(attr(e.dump, "(0009,1002)"), "<absent>");
    EXPECT_EQ(attr(e.dump, "(0008,0016)"), "SecondaryCaptureImageStorage");
    EXPECT_EQ(attr(e.dump, "(0028,0010)"), "2");
    EXPECT_EQ(attr(e.dump, "(0002,0010)"), "LittleEndianExplicit");
    for (const char *m : {"Header comment Dicom/(0009,1002): the attribute is not in the data "
                          "dictionary; name its VR, as in Dicom/(gggg,eeee)/LO",
                          "Header comment IconImageSequence: its attribute has VR SQ",
                          "warning: (0008,0016) SOPClassUID is decided by the export",
                          "warning: (0028,0010) Rows is decided by the export",
                          "warning: (0002,0010) TransferSyntaxUID is decided by the export"})
        EXPECT_NE(e.run.err.find(m), std::string::npos) << m << "\n" << e.run.err;
    EXPECT_EQ(e.run.err.find("private creator"), std::string::npos) << e.run.err;

    // The multiframe module writes them too; a private attribute without
    // its creator is written, with a warning, once for its block.
    auto f = export_image(d, "multiframe",
                          "KUVRA_FST\n#PixelSpacing:\t0.25\\0.25\n#Dicom/(0018,2005):\t7\n"
                          "#Dicom/(0011,1005)/LO:\tlone\n#Dicom/(0011,1006)/LO:\ttoo\n"
                          "FIELD\nVolume\nU8 1\n2\n2 2\n4\nabcd\nENDFIELD\n");
    expect_valid(f);
    EXPECT_NE(f.dump.find("(0011,1005) LO [lone]"), std::string::npos) << f.dump;
    const std::string uncreated =
        "kuvra_dicom_synthesizer: warning: (0011,1005) is a private attribute, but no private "
        "creator (0011,0010) reserves its block, so readers cannot tell whose it is "
        "(kuvra_ppmtodicom -k '(0011,0010)=ORGANISATION')\n";
    EXPECT_NE(f.run.err.find(uncreated), std::string::npos) << f.run.err;
    EXPECT_EQ(f.run.err.find("private creator", f.run.err.find(uncreated) + uncreated.size()),
              std::string::npos)
        << f.run.err;
    EXPECT_EQ(attr(f.dump, "(0028,0030)"), "0.25\\0.25");
    EXPECT_EQ(attr(f.dump, "(0018,2005)"), "<absent>");
    EXPECT_NE(f.run.err.find("warning: (0018,2005) SliceLocationVector is decided by the export"),
              std::string::npos)
        << f.run.err;
}

// Each value in the DICOM is what the input said, or the export says why it
// is not there: a header line longer than a line buffer, a NUL or CR inside
// a value, a tag number that wrapped into another tag's, once gave a file
// with another patient's ID or a cut name, and status 0.
TEST(Pipeline, HeaderValuesArriveWholeOrAreDroppedWithAMessage) {
    REQUIRE_CONVERTER();
    struct Case {
        std::string header;
        std::string tag, value; // what the file must hold for tag ("<refused>": no file)
        std::string message;    // part of the converter's message ("": none)
    } cases[] = {
        // Long lines once came in pieces of 10,239 bytes, the tail read as
        // a line of its own (here a header comment).
        {"#ImageComments:\t" + std::string(10230, 'a') + "\n", "(0020,4000)",
         std::string(10230, 'a'), ""},
        {"#ImageComments:\t" + std::string(10223, 'a') + "#PatientID:\tINJECTED\n", "(0010,0020)",
         "<refused>", "(0020,4000) ImageComments: value"},
        {"#PatientName:\tDoe\0Jane\n"s, "(0010,0010)", "",
         "Header comment with control character 0x00 dropped: PatientName"},
        {"#PatientID:\tAB\rCD\n", "(0010,0020)", "",
         "Header comment with control character 0x0D dropped: PatientID"},
        {"#PatientID:\tAB\r\n", "(0010,0020)", "AB", ""},
        {"#Dicom/(100000010,100000010):\tAliased^Name\n", "(0010,0010)", "",
         "Header comment with a tag number beyond four hex digits dropped: "
         "Dicom/(100000010,100000010)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.header.substr(0, 40) + " " + c.tag);
        kvtest::TempDir d;
        auto e = export_image(d, "secondary_capture", "P5\n" + c.header + "2 2\n255\nabcd");
        if (!c.message.empty()) {
            EXPECT_NE(e.run.err.find(c.message), std::string::npos) << e.run.err;
        }
        if (c.value == "<refused>") {
            EXPECT_EQ(e.run.status, 1);
            EXPECT_EQ(e.run.out, "");
            continue;
        }
        expect_valid(e);
        // Long values too (the dump of the others leaves them out).
        EXPECT_EQ(attr(kvtest::run({"dcmdump", "+L", e.file}).out, c.tag), c.value);
        EXPECT_EQ(e.dump.find("INJECTED"), std::string::npos);
        EXPECT_EQ(e.dump.find("Aliased"), std::string::npos);
    }
}

TEST(Pipeline, FieldsetVolumes) {
    REQUIRE_CONVERTER();
    struct Case {
        const char *type;
        int size;
        std::vector<int> dims;
        const char *sop;
    };
    for (const Case &c :
         {Case{"U8", 1, {7, 5, 3}, "MultiframeGrayscaleByteSecondaryCaptureImageStorage"},
          Case{"U8", 1, {6, 4}, "MultiframeGrayscaleByteSecondaryCaptureImageStorage"},
          Case{"U16", 2, {5, 4, 6}, "MultiframeGrayscaleWordSecondaryCaptureImageStorage"},
          Case{"U16", 2, {3, 9}, "MultiframeGrayscaleWordSecondaryCaptureImageStorage"}}) {
        SCOPED_TRACE(std::string(c.type) + " " + std::to_string(c.dims.size()) + "D");
        kvtest::TempDir d;
        size_t n = static_cast<size_t>(c.size);
        std::string sizes;
        for (int v : c.dims) {
            n *= static_cast<size_t>(v);
            if (!sizes.empty()) sizes += ' ';
            sizes += std::to_string(v);
        }
        std::string data = dicomtest::pattern(n, 31);
        std::string fst = "KUVRA_FST\n#PatientID:\tF-1\nFIELD\nVolume\n" + std::string(c.type) +
                          " " + std::to_string(c.size) + "\n" + std::to_string(c.dims.size()) +
                          "\n" + sizes + "\n" + std::to_string(n) + "\n" + data + "\nENDFIELD\n";
        auto e = export_image(d, "multiframe", fst, "gzip");
        expect_valid(e);
        EXPECT_EQ(attr(e.dump, "(0008,0016)"), c.sop);
        EXPECT_EQ(attr(e.dump, "(0028,0008)"), std::to_string(c.dims.size() == 3 ? c.dims[2] : 1));
        EXPECT_EQ(attr(e.dump, "(0010,0020)"), "F-1");
        // U16 samples are stored most significant byte first in the field.
        EXPECT_EQ(dicomtest::gdcm_pixels(e.file), c.size == 2 ? swap_pairs(data) : data);
        EXPECT_TRUE(leftover_spools(data).empty());
    }
}

TEST(Pipeline, RefusalsGiveStatusMessageAndLeaveNoSpoolFile) {
    REQUIRE_CONVERTER();
    kvtest::TempDir d;
    std::string px = dicomtest::pattern(4 * 4, 77);
    std::string pgm = dicomtest::pnm("P5", 4, 4, 255, px);

    auto unknown = export_image(d, "no_such_module", pgm);
    EXPECT_EQ(unknown.run.status, 1);
    EXPECT_NE(unknown.run.err.find("Cannot find requested DICOM module."), std::string::npos)
        << unknown.run.err;

    std::string fst = "KUVRA_FST\nFIELD\nVolume\nF32 4\n2\n2 2\n16\n" + px + "\nENDFIELD\n";
    auto tmpl = export_image(d, "multiframe", fst);
    EXPECT_EQ(tmpl.run.status, 1);
    EXPECT_NE(tmpl.run.err.find("Incorrect value F32 for XX_FIELD_Volume_ITEM_TYPE"),
              std::string::npos)
        << tmpl.run.err;
    EXPECT_TRUE(tmpl.run.out.empty());

    std::string bad = "P5\n#StudyDate:\t2024-01-01\n4 4\n255\n" + px;
    auto synth = export_image(d, "secondary_capture", bad);
    EXPECT_EQ(synth.run.status, 1);
    EXPECT_NE(synth.run.err.find("(0008,0020) StudyDate: value \"2024-01-01\""), std::string::npos)
        << synth.run.err;
    EXPECT_TRUE(synth.run.out.empty());

    auto wrong = export_image(d, "secondary_capture", fst);
    EXPECT_EQ(wrong.run.status, 1);
    EXPECT_TRUE(wrong.run.out.empty());
    EXPECT_TRUE(leftover_spools(px).empty());
}

// A refused value is named by what the user wrote - the header comment in
// its form, or the -k key - with its VR's form, not by a line of m4's
// output; the comment whose value the template takes is the one named.
TEST(Pipeline, BadValuesNameTheCommentOrOptionTheyCameFrom) {
    REQUIRE_CONVERTER();
    kvtest::TempDir d;
    const std::string px = dicomtest::pattern(2 * 2, 5);
    auto run = [&](const std::string &comments, std::vector<std::string> args) {
        kvtest::write_file(d / "in.pgm", "P5\n" + comments + "2 2\n255\n" + px);
        args.insert(args.begin(), {kvtest::bin("kuvra_ppmtodicom"), "-d", "secondary_capture", "-o",
                                   (d / "out.dcm").string()});
        args.push_back((d / "in.pgm").string());
        return kvtest::run(args);
    };
    const struct {
        std::string comments;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {"#PatientBirthDate:\t2024-13-45\n",
         {},
         "kuvra_dicom_synthesizer: header comment #PatientBirthDate: (0010,0030) "
         "PatientBirthDate: value \"2024-13-45\" is not a date of the calendar: DA is YYYYMMDD, "
         "such as 20240131\n"},
        // The tag form wins over the keyword form, whichever comes last.
        {"#Dicom/(0010,0030):\t20240230\n#PatientBirthDate:\t19700101\n",
         {},
         "kuvra_dicom_synthesizer: header comment #Dicom/(0010,0030): (0010,0030) "
         "PatientBirthDate: value \"20240230\" is not a date of the calendar: DA is YYYYMMDD, "
         "such as 20240131\n"},
        {"#StudyTime:\t1200\n",
         {"-k", "StudyTime=2561"},
         "kuvra_dicom_synthesizer: -k StudyTime: (0008,0030) StudyTime: value \"2561\" is not a "
         "time of day: TM is HHMMSS, HHMM or HH, with an optional fraction of a second "
         "(HHMMSS.FFFFFF), such as 235959\n"},
        {"",
         {"-k", "(0010,1010)=12"},
         "kuvra_dicom_synthesizer: -k (0010,1010): (0010,1010) PatientAge: value \"12\" does not "
         "conform to VR AS (Value Representation violated): AS is three digits and D, W, M or Y "
         "(days, weeks, months, years), such as 042Y\n"},
        {"#Dicom/(0028,0010):\tx\n#Dicom/(0009,1001)/US:\t70000\n",
         {"-k", "SOPClassUID=1.2.3"},
         "kuvra DICOM module: warning: (0008,0016) SOPClassUID is decided by the export, not by -k "
         "SOPClassUID: it is ignored\n"
         "kuvra DICOM module: warning: (0028,0010) Rows is decided by the export, not by header "
         "comment #Dicom/(0028,0010): it is ignored\n"
         "kuvra_dicom_synthesizer: header comment #Dicom/(0009,1001)/US: (0009,1001): value "
         "\"70000\" is not a valid US number list: US is a whole number from 0 to 65535\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.comments);
        auto r = run(c.comments + "#PatientID:\tP1\n", c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(std::filesystem::exists(d / "out.dcm"));
    }
    // A good -k value replaces a bad comment's, and no origin is left over.
    auto fixed = run("#PatientBirthDate:\t2024-13-45\n#PatientID:\tP1\n",
                     {"-k", "PatientBirthDate=20240229"});
    EXPECT_EQ(fixed.status, 0) << fixed.err;
    EXPECT_EQ(fixed.err, "");
    EXPECT_EQ(attr(dicomtest::dump((d / "out.dcm").string()), "(0010,0030)"), "20240229");
}

// Header comments up to their bounds (4096 of them, 1 MiB in all) reach the
// file, and every process of the export, m4 and the synthesizer included,
// stays under 16 MiB with them; past either bound the input is refused with
// its message and nothing is written.  bzip2 makes the input small: a
// header bomb.
TEST(Pipeline, HeaderCommentsUpToTheirBoundsAndPast) {
    REQUIRE_CONVERTER();
    kvtest::TempDir d;
    const std::string px = dicomtest::pattern(4 * 4, 91);
    // n private text attributes, each line as long as the bytes allow.
    auto header = [](int n, size_t bytes) {
        std::string h;
        const size_t head = std::string("#Dicom/(0009,1000)/LT:\t").size();
        for (int i = 0; i < n; i++) {
            char key[32];
            snprintf(key, sizeof key, "#Dicom/(0009,%04X)/LT:\t", 0x1000 + i);
            const size_t len = bytes / size_t(n) + (size_t(i) < bytes % size_t(n) ? 1 : 0);
            h += key + std::string(len - head, char('a' + i % 26)) + "\n";
        }
        return h;
    };
    const bool timed = std::filesystem::exists("/usr/bin/time");
    auto run = [&](const std::string &comments) {
        std::string in = (d / "input.bz2").string();
        kvtest::RunOptions feed;
        feed.input = "P5\n" + comments + "4 4\n255\n" + px;
        auto z = kvtest::sh("bzip2 -c", feed);
        EXPECT_EQ(z.status, 0);
        kvtest::write_file(in, z.out);
        std::vector<std::string> argv{kvtest::bin("kuvra_ppmtodicom"), "-d", "secondary_capture",
                                      in};
        // The largest resident size of the converter and of every process
        // it waited for.
        if (timed) argv.insert(argv.begin(), {"/usr/bin/time", "-f", "%M", "-o", d / "rss"});
        return kvtest::run(argv, {});
    };
    const size_t mib = size_t(1) << 20;
    const std::string refused =
        "More than 4096 header comments or 1 MiB of them; the input is refused.\n";

    auto at = run(header(4096, mib));
    ASSERT_EQ(at.status, 0) << at.err.substr(0, 300);
    kvtest::write_file(d / "out.dcm", at.out);
    auto dump = dicomtest::dump((d / "out.dcm").string());
    // 256-byte lines: "#Dicom/(0009,1000)/LT:<TAB>" and the value.
    EXPECT_EQ(attr(dump, "(0009,1000)"), std::string(256 - 23, 'a'));
    EXPECT_EQ(attr(dump, "(0009,1fff)"), std::string(256 - 23, 'a' + 4095 % 26));
#ifndef KUVRA_SANITIZED
    if (timed) {
        EXPECT_LT(std::stol(kvtest::read_file(d / "rss")), 16 * 1024);
    }
#endif

    for (const std::string &past : {header(4096, mib + 1), header(4097, 4097 * 30)}) {
        auto r = run(past);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(refused), std::string::npos) << r.err.substr(0, 300);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(leftover_spools(px).empty());
}
