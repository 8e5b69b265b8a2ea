// kuvra_dicom_to_P5 on DICOM files of other writers: pydicom's test files
// (many vendors and transfer syntaxes), and files that gdcmimg and img2dcm
// write.  GDCM's gdcmraw, a decoder independent of DCMTK, gives the
// expected samples.
#include "dicom_helpers.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

const std::string pydicom_dir = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

std::string pydicom(const std::string &name) {
    std::string p = pydicom_dir + name;
    if (!std::filesystem::exists(p))
        ADD_FAILURE() << p << " missing: scripts/install-deps installs python3-pydicom";
    return p;
}

// Splits a PNM into header fields and samples.
struct Pnm {
    std::string magic;
    int w = 0, h = 0, maxval = 0;
    std::string samples;
};

Pnm parse_pnm(const std::string &s) {
    Pnm p;
    char magic[3] = {};
    int consumed = 0;
    if (sscanf(s.c_str(), "%2s %d %d %d%n", magic, &p.w, &p.h, &p.maxval, &consumed) != 4) return p;
    p.magic = magic;
    p.samples = s.substr(static_cast<size_t>(consumed) + 1);
    return p;
}

// 16-bit little-endian samples as a P5/P6 holds them: most significant byte
// first, signed ones offset by 32768.
std::string le16_to_pnm(const std::string &le, bool is_signed) {
    std::string out(le.size(), '\0');
    for (size_t i = 0; i + 1 < le.size(); i += 2) {
        unsigned v = static_cast<unsigned char>(le[i]) | static_cast<unsigned char>(le[i + 1]) << 8;
        if (is_signed) v = (v + 0x8000) & 0xFFFF;
        out[i] = static_cast<char>(v >> 8);
        out[i + 1] = static_cast<char>(v & 0xFF);
    }
    return out;
}

kvtest::RunResult convert(const std::string &path) {
    return dicomtest::to_pnm(path);
}

bool have_pydicom_data() {
    return std::filesystem::exists(pydicom_dir + "MR_small.dcm");
}

// A PNM's samples from little-endian units of BitsAllocated bits, as the
// program documents them: the stored bits, signed ones offset by half the
// range, two bytes most significant first above 8 stored bits.
std::string units_to_pnm(const std::string &le, unsigned alloc, unsigned stored, unsigned high,
                         bool is_signed) {
    std::string out;
    const unsigned bytes = alloc / 8, mask = (1u << stored) - 1;
    for (size_t i = 0; i + bytes <= le.size(); i += bytes) {
        unsigned u = static_cast<unsigned char>(le[i]);
        if (bytes == 2) u |= unsigned(static_cast<unsigned char>(le[i + 1])) << 8;
        unsigned v = (u >> (high + 1 - stored)) & mask;
        if (is_signed) v = (v + (1u << (stored - 1))) & mask;
        if (stored > 8) out += static_cast<char>(v >> 8);
        out += static_cast<char>(v & 0xFF);
    }
    return out;
}

// Runs /usr/bin/python3 with pydicom on src, the statements given (ds is
// the data set), and saves the result to dst.
void rewrite(const std::string &src, const std::string &dst, const std::string &statements) {
    auto r = kvtest::run({"/usr/bin/python3", "-c",
                          "import sys, pydicom\n"
                          "ds = pydicom.dcmread(sys.argv[1])\n" +
                              statements + "\nds.save_as(sys.argv[2], write_like_original=True)\n",
                          src, dst});
    ASSERT_EQ(r.status, 0) << r.err;
}

kvtest::RunResult convert_with(const std::string &path, std::vector<std::string> env) {
    kvtest::RunOptions o;
    o.env = std::move(env);
    return kvtest::run({kvtest::bin("kuvra_dicom_to_P5"), path}, o);
}

} // namespace

TEST(DicomToP5, SameImageInEveryTransferSyntax) {
    // One MR image stored six ways: explicit and implicit little endian,
    // big endian, RLE, JPEG-LS lossless.  All must give the same samples,
    // and those are GDCM's reading of the plain file.
    auto ref = convert(pydicom("MR_small.dcm"));
    ASSERT_EQ(ref.status, 0) << ref.err;
    Pnm p = parse_pnm(ref.out);
    EXPECT_EQ(p.magic, "P5");
    EXPECT_EQ(p.w, 64);
    EXPECT_EQ(p.h, 64);
    EXPECT_EQ(p.maxval, 65535);
    // Signed 16-bit samples: offset so that the smallest value maps to 0.
    EXPECT_EQ(p.samples, le16_to_pnm(dicomtest::gdcm_pixels(pydicom("MR_small.dcm")), true));
    for (const char *f :
         {"MR_small_implicit.dcm", "MR_small_bigendian.dcm", "MR_small_expb.dcm",
          "MR_small_RLE.dcm", "MR_small_jpeg_ls_lossless.dcm", "MR_small_padded.dcm"}) {
        auto r = convert(pydicom(f));
        EXPECT_EQ(r.status, 0) << f << ": " << r.err;
        EXPECT_TRUE(r.out == ref.out) << f << " differs";
    }
}

TEST(DicomToP5, ColourImagesAgainstGdcm) {
    struct Case {
        const char *file;
        int maxval;
    };
    for (const Case &c : {Case{"SC_rgb_rle.dcm", 255}, Case{"SC_rgb_small_odd.dcm", 255},
                          Case{"SC_rgb_rle_2frame.dcm", 255}}) {
        SCOPED_TRACE(c.file);
        auto r = convert(pydicom(c.file));
        ASSERT_EQ(r.status, 0) << r.err;
        Pnm p = parse_pnm(r.out);
        EXPECT_EQ(p.magic, "P6");
        EXPECT_EQ(p.maxval, c.maxval);
        std::string g = dicomtest::gdcm_pixels(pydicom(c.file));
        // gdcmraw gives every frame; the P6 holds the first.
        size_t frame = static_cast<size_t>(p.w) * p.h * 3;
        ASSERT_GE(g.size(), frame);
        g.resize(frame);
        EXPECT_TRUE(p.samples == g) << "samples differ from GDCM's";
    }
    // An RLE frame split over 95 fragments (pydicom makes them 6 bytes
    // long, the last 100): the header and every segment span several.
    kvtest::TempDir d;
    const std::string split = (d / "split.dcm").string();
    rewrite(pydicom("SC_rgb_rle.dcm"), split,
            "from pydicom.encaps import generate_pixel_data_frame, encapsulate\n"
            "f = next(generate_pixel_data_frame(ds.PixelData))\n"
            "ds.PixelData = encapsulate([f], fragments_per_frame=(len(f) + 6) // 7)");
    auto whole = convert(pydicom("SC_rgb_rle.dcm")), pieces = convert(split);
    EXPECT_EQ(pieces.status, 0) << pieces.err;
    EXPECT_TRUE(pieces.out == whole.out) << "the split frame gives other samples";
}

TEST(DicomToP5, SixteenBitRleColour) {
    // GDCM misreads this file (its samples come out shifted by a byte), so
    // the check is against the 8-bit sibling: every 16-bit sample is its
    // 8-bit sample times 257, written most significant byte first.
    auto r16 = convert(pydicom("SC_rgb_rle_16bit.dcm"));
    auto r8 = convert(pydicom("SC_rgb_rle.dcm"));
    ASSERT_EQ(r16.status, 0) << r16.err;
    Pnm a = parse_pnm(r16.out), b = parse_pnm(r8.out);
    EXPECT_EQ(a.maxval, 65535);
    ASSERT_EQ(a.samples.size(), 2 * b.samples.size());
    bool same = true;
    for (size_t i = 0; i < b.samples.size(); ++i)
        same &= a.samples[2 * i] == b.samples[i] && a.samples[2 * i + 1] == b.samples[i];
    EXPECT_TRUE(same);
}

TEST(DicomToP5, LossyJpegAndYbrAreRenderedAsRgb) {
    for (const char *f : {"SC_rgb_jpeg_dcmtk.dcm", "SC_rgb_small_odd_jpeg.dcm",
                          "SC_ybr_full_422_uncompressed.dcm", "SC_rgb_jpeg_gdcm.dcm"}) {
        SCOPED_TRACE(f);
        auto r = convert(pydicom(f));
        ASSERT_EQ(r.status, 0) << r.err;
        Pnm p = parse_pnm(r.out);
        EXPECT_EQ(p.magic, "P6");
        EXPECT_EQ(p.samples.size(), static_cast<size_t>(p.w) * p.h * 3);
    }
    // The YBR image shows the same picture as its RLE RGB sibling, within
    // the rounding of the colour conversion.
    Pnm ybr = parse_pnm(convert(pydicom("SC_ybr_full_422_uncompressed.dcm")).out);
    Pnm rgb = parse_pnm(convert(pydicom("SC_rgb_rle.dcm")).out);
    ASSERT_EQ(ybr.samples.size(), rgb.samples.size());
    int worst = 0;
    for (size_t i = 0; i < rgb.samples.size(); ++i)
        worst = std::max(worst, std::abs(static_cast<unsigned char>(ybr.samples[i]) -
                                         static_cast<unsigned char>(rgb.samples[i])));
    EXPECT_LE(worst, 40);
}

TEST(DicomToP5, GdcmimgAndImg2dcmFiles) {
    kvtest::TempDir d;
    // A 16-bit PGM and a PPM through gdcmimg come back unchanged.
    std::string px16;
    for (int i = 0; i < 7 * 5; ++i) {
        int v = (i * 977) % 4096;
        px16 += static_cast<char>(v >> 8);
        px16 += static_cast<char>(v & 0xFF);
    }
    std::string pgm = dicomtest::pnm("P5", 7, 5, 4095, px16);
    std::string ppm = dicomtest::pnm("P6", 6, 4, 255, dicomtest::pattern(6 * 4 * 3, 9));
    kvtest::write_file(d / "a.pgm", pgm);
    kvtest::write_file(d / "b.ppm", ppm);
    for (const auto &[in, want] : {std::pair{"a.pgm", pgm}, std::pair{"b.ppm", ppm}}) {
        std::string out = (d / (std::string(in) + ".dcm")).string();
        auto g = kvtest::run({"gdcmimg", "-i", (d / in).string(), "-o", out});
        ASSERT_EQ(g.status, 0) << g.err;
        auto r = convert(out);
        EXPECT_EQ(r.status, 0) << r.err;
        Pnm got = parse_pnm(r.out), exp = parse_pnm(want);
        EXPECT_EQ(got.magic, exp.magic) << in;
        EXPECT_EQ(got.w, exp.w) << in;
        EXPECT_TRUE(got.samples == exp.samples) << in << " samples differ";
    }
    // img2dcm takes BMP (exact) and JPEG (encapsulated, decoded by DCMTK).
    auto bmp = kvtest::sh("ppmtobmp '" + (d / "b.ppm").string() + "' > '" + (d / "b.bmp").string() +
                          "' 2>/dev/null && img2dcm -i BMP '" + (d / "b.bmp").string() + "' '" +
                          (d / "bmp.dcm").string() + "'");
    ASSERT_EQ(bmp.status, 0) << bmp.err;
    auto r = convert((d / "bmp.dcm").string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == ppm) << "BMP through img2dcm differs";
    auto jpg = kvtest::sh("pnmtojpeg -quality 95 '" + (d / "b.ppm").string() + "' > '" +
                          (d / "b.jpg").string() + "' 2>/dev/null && img2dcm '" +
                          (d / "b.jpg").string() + "' '" + (d / "jpg.dcm").string() +
                          "' && jpegtopnm '" + (d / "b.jpg").string() + "'");
    ASSERT_EQ(jpg.status, 0) << jpg.err;
    auto rj = convert((d / "jpg.dcm").string());
    EXPECT_EQ(rj.status, 0) << rj.err;
    Pnm a = parse_pnm(rj.out), b = parse_pnm(jpg.out);
    EXPECT_EQ(a.magic, "P6");
    ASSERT_EQ(a.samples.size(), b.samples.size());
    int worst = 0;
    for (size_t i = 0; i < a.samples.size(); ++i)
        worst = std::max(worst, std::abs(static_cast<unsigned char>(a.samples[i]) -
                                         static_cast<unsigned char>(b.samples[i])));
    EXPECT_LE(worst, 3) << "DCMTK's JPEG decoding differs from libjpeg's";
}

TEST(DicomToP5, RefusesWhatIsNotADicomImage) {
    kvtest::TempDir d;
    kvtest::write_file(d / "text", "just some text, long enough to pass any size test......"
                                   "...................................................."
                                   "......................................................");
    kvtest::write_file(d / "empty", "");
    kvtest::write_file(d / "pgm", dicomtest::pnm("P5", 2, 2, 255, "abcd"));
    struct Case {
        std::string path, message;
    };
    for (const Case &c : {Case{(d / "text").string(), "not a DICOM stream"},
                          Case{(d / "empty").string(), "not a DICOM stream"},
                          Case{(d / "pgm").string(), "not a DICOM stream"},
                          Case{pydicom("MR_truncated.dcm"),
                               "the file is truncated: element (7FE0,0010) declares 8192 bytes, "
                               "8130 are left"},
                          Case{pydicom("rtplan.dcm"), "holds no image"},
                          // GDCM cannot decode it either: a damaged code stream.
                          Case{pydicom("JPEG2000-embedded-sequence-delimiter.dcm"),
                               "cannot decode the JPEG 2000 data (transfer syntax "
                               "1.2.840.10008.1.2.4.91): "},
                          Case{pydicom("rtdose_1frame.dcm"), "BitsAllocated 32"}}) {
        auto r = convert(c.path);
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_TRUE(r.out.empty()) << c.path;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.path << ": " << r.err;
    }
    for (auto argv : std::vector<std::vector<std::string>>{
             {"-x"}, {"a.dcm", "b.dcm"}, {(d / "no_such.dcm").string()}}) {
        argv.insert(argv.begin(), kvtest::bin("kuvra_dicom_to_P5"));
        auto r = kvtest::run(argv);
        EXPECT_EQ(r.status, 1) << argv[1];
        EXPECT_TRUE(r.out.empty()) << argv[1];
    }
}

TEST(DicomToP5, Jpeg2000AsGdcmDecodesIt) {
    if (!have_pydicom_data()) GTEST_SKIP() << "no pydicom test data (python3-pydicom)";
    // Lossless and lossy, 8 to 16 bits, grey and colour (YBR_RCT becomes RGB
    // through the code stream's colour transform), against GDCM's decoding.
    struct Case {
        const char *file;
        unsigned alloc, stored, high;
        bool is_signed;
        const char *magic;
    };
    for (const Case &c : {Case{"MR_small_jp2klossless.dcm", 16, 16, 15, true, "P5"},
                          Case{"JPEG2000.dcm", 16, 16, 15, true, "P5"},
                          Case{"693_J2KI.dcm", 16, 14, 13, true, "P5"},
                          Case{"J2K_pixelrep_mismatch.dcm", 16, 13, 12, true, "P5"},
                          Case{"GDCMJ2K_TextGBR.dcm", 8, 8, 7, false, "P6"},
                          Case{"SC_rgb_gdcm_KY.dcm", 8, 8, 7, false, "P6"}}) {
        SCOPED_TRACE(c.file);
        auto r = convert(pydicom(c.file));
        ASSERT_EQ(r.status, 0) << r.err;
        Pnm p = parse_pnm(r.out);
        EXPECT_EQ(p.magic, c.magic);
        EXPECT_EQ(p.maxval, int((1u << c.stored) - 1));
        std::string want = units_to_pnm(dicomtest::gdcm_pixels(pydicom(c.file)), c.alloc, c.stored,
                                        c.high, c.is_signed);
        want.resize(std::min(want.size(), p.samples.size()));
        EXPECT_EQ(p.samples.size(),
                  size_t(p.w) * p.h * (c.magic[1] == '6' ? 3 : 1) * (c.stored > 8 ? 2 : 1));
        EXPECT_TRUE(p.samples == want) << "samples differ from GDCM's";
    }
    // The lossless file is the MR image the other transfer syntaxes hold.
    EXPECT_TRUE(convert(pydicom("MR_small_jp2klossless.dcm")).out ==
                convert(pydicom("MR_small.dcm")).out);
}

TEST(DicomToP5, Jpeg2000OfAnotherEncoder) {
    // GDCM encodes our own exports; the code stream is read from the file a
    // piece at a time, as OpenJPEG asks for it.  The lossless ones must give
    // the input back, the lossy ones GDCM's own decoding.
    kvtest::TempDir d;
    struct Case {
        const char *name, *magic;
        int w, h, maxval;
        std::vector<std::string> gdcmconv;
    };
    const std::vector<Case> cases = {
        {"grey-lossless", "P5", 1024, 300, 65535, {"--j2k"}},
        {"grey-lossy", "P5", 1024, 300, 65535, {"--j2k", "--lossy", "--irreversible", "-r", "8"}},
        {"colour-lossy", "P6", 512, 200, 255, {"--j2k", "--lossy", "--irreversible", "-r", "8"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t bytes =
            size_t(c.w) * c.h * (c.magic[1] == '6' ? 3 : 1) * (c.maxval > 255 ? 2 : 1);
        // A ramp with noise in it: compressible, and unlike from row to row.
        std::string px = dicomtest::pattern(bytes, 7);
        for (size_t i = 0; i < bytes; ++i)
            px[i] = char((uint8_t(px[i]) & 0x0F) + uint8_t(i / 4096 * 3));
        const std::string in = (d / (std::string(c.name) + ".pnm")).string();
        const std::string native = (d / (std::string(c.name) + ".dcm")).string();
        const std::string j2k = (d / (std::string(c.name) + "-j2k.dcm")).string();
        kvtest::write_file(in, dicomtest::pnm(c.magic, c.w, c.h, c.maxval, px));
        auto made = kvtest::run(
            {kvtest::bin("kuvra_ppmtodicom"), "-d", "secondary_capture", "-o", native, in});
        ASSERT_EQ(made.status, 0) << made.err;
        std::vector<std::string> argv = {"gdcmconv"};
        argv.insert(argv.end(), c.gdcmconv.begin(), c.gdcmconv.end());
        argv.insert(argv.end(), {native, j2k});
        auto enc = kvtest::run(argv);
        ASSERT_EQ(enc.status, 0) << enc.err;
        auto r = convert(j2k);
        ASSERT_EQ(r.status, 0) << r.err;
        Pnm p = parse_pnm(r.out);
        EXPECT_EQ(p.w, c.w);
        EXPECT_EQ(p.h, c.h);
        const bool lossless = c.gdcmconv.size() == 1;
        const std::string want =
            lossless ? px
                     : units_to_pnm(dicomtest::gdcm_pixels(j2k), c.maxval > 255 ? 16 : 8,
                                    c.maxval > 255 ? 16 : 8, c.maxval > 255 ? 15 : 7, false);
        EXPECT_TRUE(p.samples == want) << "samples differ";
        if (!lossless) {
            EXPECT_FALSE(p.samples == px) << "the lossy encoding lost nothing";
        }
    }
}

TEST(DicomToP5, HeadersThatLieAboutThePixelsAreRefused) {
    if (!have_pydicom_data()) GTEST_SKIP() << "no pydicom test data (python3-pydicom)";
    kvtest::TempDir d;
    // Real files with Rows and Columns rewritten, the pixel data left as
    // they were.  Each message names both sizes.  The 20000 x 20000 cases
    // pass the frame limit (raised to 4 GiB) and are refused on the frame
    // header, before memory is taken for such a frame.
    struct Case {
        const char *file;
        int rows, cols;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {"SC_rgb_jpeg_dcmtk.dcm",
         200,
         200,
         {"the JPEG data hold a 100 x 100 image of 3 samples of 8 bits (30000 bytes), but Columns "
          "200 x Rows 200 x SamplesPerPixel 3 x BitsAllocated 8 / 8 make 120000"}},
        {"SC_rgb_jpeg_dcmtk.dcm", 20000, 20000, {"(30000 bytes)", "make 1200000000"}},
        {"MR_small_RLE.dcm",
         50,
         50,
         {"the RLE frame's segment 1 decodes to 4096 bytes, the attributes declare 2500"}},
        {"MR_small_RLE.dcm", 20000, 20000, {"decodes to 4096 bytes", "declare 400000000"}},
        {"MR_small_jpeg_ls_lossless.dcm",
         20000,
         20000,
         {"the JPEG-LS data hold a 64 x 64 image of 1 samples of 16 bits (8192 bytes)",
          "make 800000000"}},
        {"MR_small_jp2klossless.dcm",
         50,
         50,
         {"the JPEG 2000 data hold a 64 x 64 image of 1 samples of 16 bits (8192 bytes)",
          "make 5000"}},
        {"CT_small.dcm",
         50,
         50,
         {"the pixel data hold 32768 bytes, but NumberOfFrames 1 x Columns 50 x Rows 50 x "
          "SamplesPerPixel 1 x BitsAllocated 16 / 8 make 5000"}},
        {"CT_small.dcm", 200, 200, {"hold 32768 bytes", "make 80000"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " as " + std::to_string(c.cols) + "x" +
                     std::to_string(c.rows));
        std::string out = (d / "lie.dcm").string();
        rewrite(pydicom(c.file), out,
                "ds.Rows = " + std::to_string(c.rows) + "\nds.Columns = " + std::to_string(c.cols));
        auto r = convert_with(out, {"KUVRA_DICOM_TO_P5_MAX_FRAME=4G"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.empty());
        for (const auto &m : c.messages)
            EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    }
    // Under the default limit of 1 GiB the 1.2 GB frame goes before any
    // other check.
    std::string out = (d / "huge.dcm").string();
    rewrite(pydicom("SC_rgb_jpeg_dcmtk.dcm"), out, "ds.Rows = 20000\nds.Columns = 20000");
    auto r = convert_with(out, {"KUVRA_DICOM_TO_P5_MAX_FRAME"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the image frame of 1200000000 bytes is larger than the limit of "
                         "1073741824 bytes (KUVRA_DICOM_TO_P5_MAX_FRAME)"),
              std::string::npos)
        << r.err;
}

TEST(DicomToP5, FrameLimitFromTheEnvironment) {
    if (!have_pydicom_data()) GTEST_SKIP() << "no pydicom test data (python3-pydicom)";
    // MR_small's frame is 8192 bytes.
    const std::string mr = pydicom("MR_small.dcm");
    const std::string want = convert(mr).out;
    for (const char *ok : {"8192", "8K", "8k", "1M", ""}) {
        auto r = convert_with(mr, {std::string("KUVRA_DICOM_TO_P5_MAX_FRAME=") + ok});
        EXPECT_EQ(r.status, 0) << ok << ": " << r.err;
        EXPECT_TRUE(r.out == want) << ok;
    }
    auto r = convert_with(mr, {"KUVRA_DICOM_TO_P5_MAX_FRAME=8191"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the image frame of 8192 bytes is larger than the limit of 8191 bytes"),
              std::string::npos)
        << r.err;
    for (const char *bad : {"0", "abc", "12X", "-5", "99999999999999999999G", "8 K"}) {
        auto b = convert_with(mr, {std::string("KUVRA_DICOM_TO_P5_MAX_FRAME=") + bad});
        EXPECT_EQ(b.status, 1) << bad;
        EXPECT_NE(b.err.find("KUVRA_DICOM_TO_P5_MAX_FRAME is not a number of bytes"),
                  std::string::npos)
            << bad << ": " << b.err;
    }
}

TEST(DicomToP5, OperandStandardInputAndPipeGiveTheSameImage) {
    if (!have_pydicom_data()) GTEST_SKIP() << "no pydicom test data (python3-pydicom)";
    kvtest::TempDir spool;
    for (const char *f : {"MR_small.dcm", "SC_rgb_rle_2frame.dcm", "JPEG2000.dcm"}) {
        SCOPED_TRACE(f);
        const std::string path = pydicom(f);
        auto by_operand = kvtest::run({kvtest::bin("kuvra_dicom_to_P5"), path});
        ASSERT_EQ(by_operand.status, 0) << by_operand.err;
        auto by_file = convert(path); // standard input is the file
        kvtest::RunOptions o;
        o.input = kvtest::read_file(path); // standard input is a pipe: spooled
        o.env = {"TMPDIR=" + spool.path().string()};
        auto by_pipe = kvtest::run({kvtest::bin("kuvra_dicom_to_P5")}, o);
        auto dash = kvtest::run({kvtest::bin("kuvra_dicom_to_P5"), "-"}, o);
        EXPECT_EQ(by_pipe.status, 0) << by_pipe.err;
        EXPECT_TRUE(by_file.out == by_operand.out);
        EXPECT_TRUE(by_pipe.out == by_operand.out);
        EXPECT_TRUE(dash.out == by_operand.out);
    }
    // The spool file never had a name there.
    EXPECT_TRUE(std::filesystem::is_empty(spool.path()));
    // A TMPDIR that cannot take the copy is reported, not ignored.
    kvtest::RunOptions o;
    o.input = kvtest::read_file(pydicom("MR_small.dcm"));
    o.env = {"TMPDIR=" + (spool / "missing").string()};
    auto r = kvtest::run({kvtest::bin("kuvra_dicom_to_P5")}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read standard input: "), std::string::npos) << r.err;
}

TEST(DicomToP5, PaddingIsSkippedAndTruncationRefused) {
    if (!have_pydicom_data()) GTEST_SKIP() << "no pydicom test data (python3-pydicom)";
    kvtest::TempDir d;
    const std::string mr = kvtest::read_file(pydicom("MR_small.dcm"));
    const std::string want = convert(pydicom("MR_small.dcm")).out;
    // Zero bytes after the last element are padding: the image is there.
    kvtest::write_file(d / "padded.dcm", mr + std::string(1 << 20, '\0'));
    auto r = convert((d / "padded.dcm").string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == want);
    // One element and 32 MiB of zero bytes: no image (DCMTK alone read four
    // million empty elements there, for seconds).
    std::string one("\x08\x00\x05\x00"
                    "CS\x0a\x00ISO_IR 100",
                    18);
    kvtest::write_file(d / "zeros.dcm", one + std::string(32 << 20, '\0'));
    r = convert((d / "zeros.dcm").string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds no image"), std::string::npos) << r.err;
    // Cut anywhere, the file never gives an image.
    for (size_t cut : {size_t(200), mr.size() / 2, mr.size() - 8192, mr.size() - 1}) {
        kvtest::write_file(d / "cut.dcm", mr.substr(0, cut));
        auto c = convert((d / "cut.dcm").string());
        EXPECT_EQ(c.status, 1) << cut;
        EXPECT_TRUE(c.out.empty()) << cut;
    }
    // The pixel data end 138 bytes before the end (a padding element follows).
    kvtest::write_file(d / "cut.dcm", mr.substr(0, mr.size() - 1000));
    EXPECT_NE(convert((d / "cut.dcm").string())
                  .err.find("the file is truncated: element "
                            "(7FE0,0010) declares 8192 bytes, "
                            "7330 are left"),
              std::string::npos);
}

// A deflated data set is inflated into a file of its own and walked like
// any other: an element longer than the inflated data is refused by its
// length, and one of a VR unknown to the walk is left in the file by DCMTK
// rather than allocated (it took 3 GB for a 5.6 KB file).
TEST(DicomToP5, DeflatedDataSetsAreInflatedAndWalked) {
    if (!have_pydicom_data()) GTEST_SKIP() << "no pydicom test data (python3-pydicom)";
    kvtest::TempDir d;
    const std::string deflated = (d / "deflated.dcm").string();
    auto c = kvtest::run({"dcmconv", "+td", pydicom("MR_small.dcm"), deflated});
    ASSERT_EQ(c.status, 0) << c.err;
    auto r = convert(deflated);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == convert(pydicom("MR_small.dcm")).out);
    // The inflated data set changed by the statements given (data: its
    // bytes, at: the offset of the pixel data element), deflated again.
    auto redeflate = [&](const std::string &statements) {
        auto p = kvtest::run(
            {"/usr/bin/python3", "-c",
             "import sys, zlib\n"
             "b = open(sys.argv[1], 'rb').read()\n"
             "end = 144 + int.from_bytes(b[140:144], 'little')\n"
             "data = zlib.decompress(b[end:], -15)\n"
             "at = data.rfind(b'\\xe0\\x7f\\x10\\x00OW')\n" +
                 statements +
                 "\nz = zlib.compressobj(9, zlib.DEFLATED, -15)\n"
                 "open(sys.argv[2], 'wb').write(b[:end] + z.compress(data) + z.flush())\n",
             deflated, (d / "lie.dcm").string()});
        EXPECT_EQ(p.status, 0) << p.err;
        return (d / "lie.dcm").string();
    };
    r = convert(redeflate("data = data[:at + 8] + bytes.fromhex('0000bcbc') + data[at + 12:]"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the file is truncated: element (7FE0,0010) declares 3166437376 bytes, "
                         "8330 are left"),
              std::string::npos)
        << r.err;
    // The fuzzer's find: an element of VR "AA" after the pixel data.
#ifndef KUVRA_SANITIZED
    const std::string lie =
        redeflate("data += b'AAAAAAAA' + bytes.fromhex('42dbbcbc') + b'x' * 64");
    r = kvtest::sh("ulimit -v 1048576 && exec " + kvtest::bin("kuvra_dicom_to_P5") + " " + lie);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("Memory"), std::string::npos) << r.err;
#endif
    // A file meta element the walk cannot follow (no VR) before the data
    // set: DCMTK would read on and inflate the data set itself.
    auto p = kvtest::run({"/usr/bin/python3", "-c",
                          "import sys\nb = open(sys.argv[1], 'rb').read()\n"
                          "i = b.index(b'\\x02\\x00\\x12\\x00UI')\n"
                          "open(sys.argv[2], 'wb').write(b[:i + 4] + b'\\0\\0' + b[i + 6:])\n",
                          deflated, (d / "meta.dcm").string()});
    ASSERT_EQ(p.status, 0) << p.err;
    r = convert((d / "meta.dcm").string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the file meta information holds an element that cannot be followed"),
              std::string::npos)
        << r.err;
    // Inflating stops at twice the frame limit and 64 MiB.
    r = convert_with(redeflate("data += b'\\0' * (80 << 20)"), {"KUVRA_DICOM_TO_P5_MAX_FRAME=1M"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("inflates to more than 69206016 bytes"), std::string::npos) << r.err;
}

TEST(DicomToP5, PaletteColourAndWhatIsNotSupported) {
    if (!have_pydicom_data()) GTEST_SKIP() << "no pydicom test data (python3-pydicom)";
    kvtest::TempDir d;
    // A 4 x 4 palette image made from an 8-bit file: indices 0 to 15, 16-bit
    // tables red 4096 i, green 65535 - 4096 i, blue 257 i.
    const std::string palette =
        "import struct\n"
        "ds.PhotometricInterpretation = 'PALETTE COLOR'\n"
        "ds.Rows = 4\nds.Columns = 4\nds.SamplesPerPixel = 1\n"
        "ds.BitsAllocated = 8\nds.BitsStored = 8\nds.HighBit = 7\nds.PixelRepresentation = 0\n"
        "ds.NumberOfFrames = 1\n"
        "ds.PixelData = bytes(range(16))\n"
        "for k, f in enumerate((lambda i: 4096 * i, lambda i: 65535 - 4096 * i,"
        " lambda i: 257 * i)):\n"
        "    ds.add_new(0x00281101 + k, 'US', [16, 0, 16])\n"
        "    ds.add_new(0x00281201 + k, 'OW', struct.pack('<16H', *[f(i) for i in range(16)]))\n";
    const std::string src = pydicom("SC_rgb_small_odd.dcm");
    rewrite(src, (d / "pal.dcm").string(), palette);
    auto r = convert((d / "pal.dcm").string());
    ASSERT_EQ(r.status, 0) << r.err;
    std::string want;
    for (unsigned i = 0; i < 16; ++i)
        for (unsigned v : {4096 * i, 65535 - 4096 * i, 257 * i}) {
            want += static_cast<char>(v >> 8);
            want += static_cast<char>(v & 0xFF);
        }
    EXPECT_TRUE(r.out == dicomtest::pnm("P6", 4, 4, 65535, want));

    struct Case {
        std::string name, statements, message;
    };
    const std::vector<Case> cases = {
        {"segmented", palette + "ds.add_new(0x00281221, 'OW', bytes(4))\n",
         "cannot render the palette colour image: segmented palettes are not supported"},
        {"short table", palette + "ds.add_new(0x00281203, 'OW', bytes(30))\n",
         "cannot render the palette colour image: the lookup table holds 15 words for 16 "
         "entries"},
        {"HSV", "ds.PhotometricInterpretation = 'HSV'\n",
         "unsupported photometric interpretation \"HSV\""},
        // Text from the file is escaped: a line feed must not forge a
        // second message, an escape sequence must not reach the terminal.
        {"control bytes", "ds.PhotometricInterpretation = 'MONO\\nX\\x1b[2J'\n",
         "unsupported photometric interpretation \"MONO\\x0AX\\x1B[2J\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rewrite(src, (d / "x.dcm").string(), c.statements);
        auto x = convert((d / "x.dcm").string());
        EXPECT_EQ(x.status, 1);
        EXPECT_TRUE(x.out.empty());
        EXPECT_NE(x.err.find(c.message), std::string::npos) << x.err;
    }
    // A transfer syntax no decoder here reads is named as such.
    rewrite(pydicom("MR_small_RLE.dcm"), (d / "mpeg.dcm").string(),
            "ds.file_meta.TransferSyntaxUID = '1.2.840.10008.1.2.4.100'");
    auto m = convert((d / "mpeg.dcm").string());
    EXPECT_EQ(m.status, 1);
    EXPECT_NE(m.err.find("(1.2.840.10008.1.2.4.100) is not supported"), std::string::npos) << m.err;
}
