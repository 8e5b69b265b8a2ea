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
                          Case{pydicom("MR_truncated.dcm"), "cannot read the DICOM stream"},
                          Case{pydicom("rtplan.dcm"), "holds no image"},
                          Case{pydicom("JPEG2000.dcm"), "cannot decode the pixel data"},
                          Case{pydicom("rtdose_1frame.dcm"), "BitsAllocated 32"}}) {
        auto r = convert(c.path);
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_TRUE(r.out.empty()) << c.path;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.path << ": " << r.err;
    }
    EXPECT_EQ(kvtest::run({kvtest::bin("kuvra_dicom_to_P5"), "x"}).status, 1);
}
