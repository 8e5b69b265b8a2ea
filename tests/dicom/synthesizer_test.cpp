// kuvra_dicom_synthesizer run as a program: what it writes, what it adds and
// what it refuses.
#include "dicom_helpers.h"
#include "synth_build.h"
#include "synth_dataset.h"

#include <kuvra/internal/endmark.h>

#include <dcmtk/config/osconfig.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>

using dicomtest::attr;
using dicomtest::dump;

namespace {

const std::string sc_head = "(0008,0016) UI 1.2.840.10008.5.1.4.1.1.7\n";

// A small valid 8-bit image around the lines given.
std::string image(const std::string &extra, const std::string &pixels = "abcdef") {
    return sc_head +
           "(0028,0002) US 1\n(0028,0004) CS MONOCHROME2\n(0028,0010) US 2\n"
           "(0028,0011) US 3\n(0028,0100) US 8\n(0028,0101) US 8\n"
           "(0028,0102) US 7\n(0028,0103) US 0\n" +
           extra + "(7FE0,0010) OB " + std::to_string(pixels.size()) + "\n" + pixels + "\n";
}

kvtest::RunResult synth(const std::string &input, std::vector<std::string> args = {}) {
    kvtest::RunOptions o;
    o.input = input;
    args.insert(args.begin(), kvtest::bin("kuvra_dicom_synthesizer"));
    return kvtest::run(args, o);
}

// Runs the synthesizer into a file and returns its path (empty on failure).
std::string synth_file(const kvtest::TempDir &d, const std::string &input,
                       const std::string &name = "out.dcm") {
    auto r = synth(input);
    EXPECT_EQ(r.status, 0) << r.err;
    if (r.status != 0) return "";
    std::string p = (d / name).string();
    kvtest::write_file(p, r.out);
    return p;
}

// dciodvfy errors other than missing attributes, which these bare test
// images leave out on purpose.
std::vector<std::string> encoding_errors(const std::string &f) {
    std::vector<std::string> e;
    for (auto &l : dicomtest::dciodvfy_errors(f))
        if (l.rfind("Error - Missing attribute", 0) != 0) e.push_back(l);
    return e;
}

void expect_refused(const std::string &input, const std::vector<std::string> &parts,
                    std::vector<std::string> args = {}) {
    auto r = synth(input, args);
    EXPECT_EQ(r.status, 1) << input;
    EXPECT_TRUE(r.out.empty()) << "output written for a refused input";
    for (const auto &p : parts)
        EXPECT_NE(r.err.find(p), std::string::npos) << "missing \"" << p << "\" in: " << r.err;
    EXPECT_EQ(r.err.rfind("kuvra_dicom_synthesizer: ", 0), 0u) << r.err;
}

} // namespace

TEST(Synthesizer, WritesAPart10FileWithTheGivenValues) {
    kvtest::TempDir d;
    auto f = synth_file(d, image("(0010,0010) PN Doe^John\n(0010,0020) LO ID 7\n"
                                 "(0020,0013) IS 4\n(0028,0009) AT (0018,2005)\n"));
    ASSERT_FALSE(f.empty());
    auto t = kvtest::run({"dcmftest", f});
    EXPECT_EQ(t.out, "yes: " + f + "\n");
    auto dm = dump(f);
    EXPECT_EQ(attr(dm, "(0002,0010)"), "LittleEndianExplicit");
    EXPECT_EQ(attr(dm, "(0002,0002)"), "SecondaryCaptureImageStorage");
    EXPECT_EQ(attr(dm, "(0010,0010)"), "Doe^John");
    EXPECT_EQ(attr(dm, "(0010,0020)"), "ID 7");
    EXPECT_EQ(attr(dm, "(0020,0013)"), "4");
    EXPECT_EQ(attr(dm, "(0028,0009)"), "(0018,2005)");
    EXPECT_EQ(attr(dm, "(0028,0010)"), "2");
    // The VR given is the VR written: 8-bit pixel data stay OB.
    EXPECT_NE(dm.find("(7fe0,0010) OB "), std::string::npos) << dm;
    EXPECT_EQ(dicomtest::gdcm_pixels(f), "abcdef");
    // No character set is claimed for plain ASCII.
    EXPECT_EQ(attr(dm, "(0008,0005)"), "<absent>");
}

TEST(Synthesizer, GeneratesDistinctUuidUidsUnlessGiven) {
    kvtest::TempDir d;
    auto a = dump(synth_file(d, image(""), "a.dcm"));
    auto b = dump(synth_file(d, image("(0020,000E) UI \n"), "b.dcm"));
    std::set<std::string> uids;
    for (const auto &dm : {a, b})
        for (const char *tag : {"(0008,0018)", "(0020,000d)", "(0020,000e)"}) {
            std::string u = attr(dm, tag);
            EXPECT_EQ(u.rfind("2.25.", 0), 0u) << tag << " " << u;
            EXPECT_LE(u.size(), 64u);
            EXPECT_EQ(u.find_first_not_of("0123456789", 5), std::string::npos) << u;
            uids.insert(u);
        }
    EXPECT_EQ(uids.size(), 6u) << "UIDs repeat";
    EXPECT_EQ(attr(a, "(0002,0003)"), attr(a, "(0008,0018)"));
    auto c = dump(synth_file(d, image("(0020,000D) UI 1.2.3\n(0008,0018) UI 1.2.3.4\n"), "c.dcm"));
    EXPECT_EQ(attr(c, "(0020,000d)"), "1.2.3");
    EXPECT_EQ(attr(c, "(0008,0018)"), "1.2.3.4");
    EXPECT_EQ(attr(c, "(0002,0003)"), "1.2.3.4");
}

TEST(Synthesizer, NonAsciiValueMakesTheFileUtf8) {
    kvtest::TempDir d;
    auto f = synth_file(d, image("(0010,0010) PN M\xc3\xbcller^J\xc3\xb6rg\n"));
    auto dm = dump(f);
    EXPECT_EQ(attr(dm, "(0008,0005)"), "ISO_IR 192");
    EXPECT_EQ(attr(dm, "(0010,0010)"), "M\xc3\xbcller^J\xc3\xb6rg");
    EXPECT_TRUE(encoding_errors(f).empty()) << encoding_errors(f)[0];
    // A character set given by the input is kept.
    auto g = dump(
        synth_file(d, image("(0008,0005) CS ISO_IR 100\n(0010,0010) PN M\xfcller\n"), "g.dcm"));
    EXPECT_EQ(attr(g, "(0008,0005)"), "ISO_IR 100");
    // Bytes that are not UTF-8 in a file that claims UTF-8: refused.
    expect_refused(image("(0010,0010) PN M\xfcller\n"),
                   {"(0010,0010) PatientName", "M\\xFCller", "UTF-8"});
}

TEST(Synthesizer, OddPixelDataArePaddedToEvenLength) {
    kvtest::TempDir d;
    std::string input = sc_head + "(0028,0002) US 3\n(0028,0004) CS RGB\n(0028,0006) US 0\n"
                                  "(0028,0010) US 1\n(0028,0011) US 3\n(0028,0100) US 8\n"
                                  "(0028,0101) US 8\n(0028,0102) US 7\n(0028,0103) US 0\n"
                                  "(7FE0,0010) OB 9\n123456789\n";
    auto f = synth_file(d, input);
    auto dm = dump(f);
    EXPECT_NE(dm.find("#  10, 1 PixelData"), std::string::npos) << dm;
    std::string bytes = kvtest::read_file(f);
    EXPECT_EQ(bytes.substr(bytes.size() - 10), std::string("123456789\0", 10));
    EXPECT_EQ(bytes.size() % 2, 0u);
    EXPECT_TRUE(encoding_errors(f).empty()) << encoding_errors(f)[0];
}

TEST(Synthesizer, LargePixelDataStreamThroughSmallMemory) {
    kvtest::TempDir d;
    // 24 MiB of pixels: more than the whole budget of the process.
    const int w = 4096, h = 2048;
    std::string px = dicomtest::pattern(static_cast<size_t>(w) * h * 3, 7);
    std::string in = sc_head +
                     "(0028,0002) US 3\n(0028,0004) CS RGB\n(0028,0006) US 0\n"
                     "(0028,0010) US " +
                     std::to_string(h) + "\n(0028,0011) US " + std::to_string(w) +
                     "\n(0028,0100) US 8\n(0028,0101) US 8\n"
                     "(0028,0102) US 7\n(0028,0103) US 0\n(7FE0,0010) OB " +
                     std::to_string(px.size()) + "\n" + px + "\n";
    kvtest::write_file(d / "in", in);
    auto r = kvtest::sh("/usr/bin/time -f %M -o '" + (d / "rss").string() + "' " +
                        kvtest::bin("kuvra_dicom_synthesizer") + " < '" + (d / "in").string() +
                        "' > '" + (d / "out.dcm").string() + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    long kib = std::stol(kvtest::read_file(d / "rss"));
    // Sanitizer shadow memory adds a fixed ~10 MiB; the image must still not show.
#if defined(__SANITIZE_ADDRESS__)
    const long limit = 32 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    const long limit = 32 * 1024;
#else
    const long limit = 16 * 1024;
#endif
#else
    const long limit = 16 * 1024;
#endif
    EXPECT_LT(kib, limit) << "peak RSS " << kib << " KiB";
    std::string out = kvtest::read_file(d / "out.dcm");
    EXPECT_EQ(out.substr(out.size() - px.size()), px);
}

TEST(Synthesizer, RefusesValuesThatDoNotConformToTheirVr) {
    expect_refused(image("(0008,0020) DA 2024-01-01\n"),
                   {"(0008,0020) StudyDate", "\"2024-01-01\"", "DA"});
    expect_refused(image("(0010,0010) PN " + std::string(70, 'A') + "^John\n"),
                   {"(0010,0010) PatientName", std::string(70, 'A'), "64 characters"});
    expect_refused(image("(0010,0020) LO " + std::string(65, '1') + "\n"),
                   {"(0010,0020) PatientID", "64 characters"});
    expect_refused(image("(0008,0030) TM 25\n"), {"(0008,0030) StudyTime", "\"25\""});
    expect_refused(image("(0020,000D) UI 1.2.abc\n"), {"(0020,000D) StudyInstanceUID", "1.2.abc"});
    expect_refused(image("(0020,0013) IS 1x\n"), {"(0020,0013) InstanceNumber", "\"1x\""});
    expect_refused(image("(0028,0030) DS abc\n"), {"(0028,0030) PixelSpacing", "abc"});
    expect_refused(image("(0028,0034) IS 1\\1\\1\n"),
                   {"(0028,0034) PixelAspectRatio", "3 values", "takes 2"});
    expect_refused(image("(0028,0009) AT zz\n"), {"(0028,0009) FrameIncrementPointer", "zz"});
}

TEST(Synthesizer, RefusesNumbersOutOfTheirRange) {
    expect_refused(sc_head + "(0028,0010) US 70000\n", {"(0028,0010) Rows", "70000", "US"});
    expect_refused(sc_head + "(0028,0010) US -1\n", {"(0028,0010) Rows", "-1"});
    expect_refused(sc_head + "(0028,0010) US 12x\n", {"(0028,0010) Rows", "12x"});
    expect_refused(sc_head + "(0028,1101) SS 40000\n", {"40000"});
    expect_refused(sc_head + "(0018,9219) SS -32769\n", {"-32769"});
    expect_refused(sc_head + "(0028,0010) US \n(0028,0011) US 1\\\n", {"(0028,0011) Columns"});
    // The limits themselves pass.
    // (Raw Data Storage: no image, so no pixel data needed.)
    EXPECT_EQ(synth("(0008,0016) UI 1.2.840.10008.5.1.4.1.1.66\n(0028,0010) US 65535\n"
                    "(0028,1101) SS -32768\\0\\8\n")
                  .status,
              0);
}

TEST(Synthesizer, RefusesStructuralFaults) {
    expect_refused(image("(0010,0010) LO Doe\n"), {"(0010,0010) PatientName has VR PN, not LO"});
    expect_refused(image("(0010,0010) PN A\n(0010,0010) PN B\n"), {"(0010,0010)", "twice"});
    expect_refused(image("(0002,0010) UI 1.2.840.10008.1.2\n"), {"(0002,0010)", "file meta"});
    expect_refused(image("(0010,0000) UL 0\n"), {"group length"});
    expect_refused("(0010,0010) PN X\n", {"no (0008,0016) SOPClassUID"});
    expect_refused(image("", "abcde"), {"PixelData holds 5 bytes", "need 6"});
    expect_refused(image("(0028,0008) IS 2\n"), {"PixelData holds 6 bytes", "need 12"});
    expect_refused(image("(0008,1140) SQ\n(FFFE,E000)\n(0008,1150) UI 1.2\n"),
                   {"ends inside a sequence"});
    expect_refused(image("(FFFE,E000)\n"), {"item start", "outside a sequence"});
    expect_refused(image("(0008,1140) SQ\n(0008,1150) UI 1.2\n(FFFE,E0DD)\n"), {"outside an item"});
    expect_refused(image("(0009,1010) OF 6\nabcdef\n"), {"(0009,1010)", "whole number of OF"});
}

// What a template cut short leaves: an image without its pixels or its
// shape, or a list without the end mark m4 writes after a complete run.
TEST(Synthesizer, RefusesIncompleteInput) {
    expect_refused(sc_head, {"image", "without (0028,0010) Rows"});
    expect_refused(sc_head + "(0028,0010) US 2\n(0028,0011) US 3\n(0028,0100) US 8\n",
                   {"without (7FE0,0010) PixelData"});
    const std::string end = "\n" KV_END_MARK "\n";
    expect_refused(image(""), {"ends without its last line", KV_END_MARK}, {"--require-end"});
    EXPECT_EQ(synth(image("") + end, {"--require-end"}).status, 0);
    EXPECT_EQ(synth(image(""), {}).status, 0);
}

// A declared character set: only defined terms, and no byte the set has no
// character for (with code extensions, only their ASCII part is taken).
TEST(Synthesizer, ChecksValuesAgainstTheDeclaredCharacterSet) {
    auto with = [](const std::string &cs, const std::string &name) {
        return image("(0008,0005) CS " + cs + "\n(0010,0010) PN " + name + "\n");
    };
    expect_refused(with("FOO_BAR", "Doe"), {"FOO_BAR is no defined term"});
    expect_refused(with("ISO_IR 100\\ISO 2022 IR 87", "Doe"), {"mixes a set"});
    expect_refused(with("ISO_IR 6", "Do\xC3\xA9"), {"byte 0xC3", "\"ISO_IR 6\""});
    expect_refused(with("ISO 2022 IR 6\\ISO 2022 IR 87", "\x1B$B"), {"byte 0x1B"});
    expect_refused(with("ISO_IR 100", "Do\x85"), {"byte 0x85"});
    for (const char *ok : {"ISO_IR 100", "ISO_IR 192", "GB18030"})
        EXPECT_EQ(synth(with(ok, "Do\xC3\xA9")).status, 0) << ok;
    EXPECT_EQ(synth(with("\\ISO 2022 IR 87", "Doe")).status, 0);
}

// 12-bit samples in 16-bit words, MSB first as a PGM has them: a word above
// BitsStored is refused (viewers would each read it their own way).
TEST(Synthesizer, RefusesSamplesAboveBitsStored) {
    auto grey12 = [](const std::string &words) {
        return sc_head +
               "(0028,0002) US 1\n(0028,0004) CS MONOCHROME2\n(0028,0010) US 1\n"
               "(0028,0011) US 2\n(0028,0100) US 16\n(0028,0101) US 12\n(0028,0102) US 11\n"
               "(0028,0103) US 0\n(7FE0,0010) OW 4 big-endian\n" +
               words + "\n";
    };
    EXPECT_EQ(synth(grey12(std::string("\x0f\xff\x00\x01", 4))).status, 0);
    expect_refused(grey12(std::string("\x0f\xff\x10\x00", 4)),
                   {"above the 12 bits of (0028,0101) BitsStored", "4095"});
}

TEST(Synthesizer, RefusesMalformedInputWithoutOutput) {
    expect_refused("", {"no elements"});
    expect_refused("# only a comment\n\n", {"no elements"});
    expect_refused(sc_head + "(0010,0010 PN X\n", {"line 2", "element tag"});
    expect_refused(sc_head + "(0010,0010) QQ X\n", {"line 2", "unknown VR \"QQ\""});
    expect_refused(sc_head + "(7FE0,0010) OB 100\nonly this\n", {"line 2", "100 bytes"});
    // A count that the input does deliver, but a wrong one.
    expect_refused(image("", "abcdefgh").replace(image("", "abcdefgh").find("OB 8"), 4, "OB 6"),
                   {"not followed by a line end"});
    auto r = kvtest::run({kvtest::bin("kuvra_dicom_synthesizer"), "--extra"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    // An element list named on the command line, missing, or one too many.
    kvtest::TempDir d;
    r = kvtest::run({kvtest::bin("kuvra_dicom_synthesizer"), (d / "none").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open " + (d / "none").string()), std::string::npos) << r.err;
    kvtest::write_file(d / "list", image(""));
    r = kvtest::run({kvtest::bin("kuvra_dicom_synthesizer"), (d / "list").string(), "two"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
}

TEST(Synthesizer, SequencesNest) {
    kvtest::TempDir d;
    auto f = synth_file(d, image("(0008,1140) SQ\n (FFFE,E000)\n  (0008,1150) UI 1.2.3\n"
                                 "  (0008,1155) UI 1.2.3.4\n (FFFE,E00D)\n (FFFE,E000)\n"
                                 "  (0008,1150) UI 1.2.5\n (FFFE,E00D)\n(FFFE,E0DD)\n"));
    auto dm = dump(f);
    EXPECT_NE(dm.find("(0008,1140) SQ"), std::string::npos) << dm;
    EXPECT_NE(dm.find("[1.2.3.4]"), std::string::npos) << dm;
    EXPECT_NE(dm.find("[1.2.5]"), std::string::npos) << dm;
}

TEST(SynthesizerText, Utf8AndCharacterCounts) {
    using kuvra::synth::is_valid_utf8;
    using kuvra::synth::value_chars;
    EXPECT_TRUE(is_valid_utf8("plain"));
    EXPECT_TRUE(is_valid_utf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xe9"));             // Latin-1
    EXPECT_FALSE(is_valid_utf8("\xc3"));             // cut short
    EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));         // overlong
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));     // surrogate
    EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80")); // beyond U+10FFFF
    EXPECT_EQ(value_chars("\xc3\xa9t\xc3\xa9", true), 3u);
    EXPECT_EQ(value_chars("\xc3\xa9t\xc3\xa9", false), 5u);
    // 64 two-byte characters fit a PN component group; 65 do not.
    std::string e64;
    for (int i = 0; i < 64; ++i)
        e64 += "\xc3\xa9";
    EXPECT_EQ(synth(image("(0010,0010) PN " + e64 + "\n")).status, 0);
    EXPECT_EQ(synth(image("(0010,0010) PN " + e64 + "\xc3\xa9\n")).status, 1);
}

namespace {

// Runs the synthesizer with standard output on a regular file (the
// streaming way) that already holds `before`, opened for appending.
kvtest::RunResult synth_to_file(const kvtest::TempDir &d, const std::string &input,
                                const std::string &before = "") {
    kvtest::write_file(d / "in", input);
    kvtest::write_file(d / "out.dcm", before);
    return kvtest::sh(kvtest::bin("kuvra_dicom_synthesizer") + " < '" + (d / "in").string() +
                      "' >> '" + (d / "out.dcm").string() + "'");
}

// A 16-bit grey image whose pixel data line goes on with pixel_rest after
// "(7FE0,0010) OW ".
std::string grey16(int w, int h, const std::string &pixel_rest) {
    return sc_head + "(0028,0002) US 1\n(0028,0004) CS MONOCHROME2\n(0028,0010) US " +
           std::to_string(h) + "\n(0028,0011) US " + std::to_string(w) +
           "\n(0028,0100) US 16\n(0028,0101) US 16\n(0028,0102) US 15\n"
           "(0028,0103) US 0\n(7FE0,0010) OW " +
           pixel_rest;
}

std::string big_rgb(int w, int h, const std::string &px, const std::string &after = "") {
    return sc_head + "(0028,0002) US 3\n(0028,0004) CS RGB\n(0028,0006) US 0\n(0028,0010) US " +
           std::to_string(h) + "\n(0028,0011) US " + std::to_string(w) +
           "\n(0028,0100) US 8\n(0028,0101) US 8\n(0028,0102) US 7\n(0028,0103) US 0\n"
           "(7FE0,0010) OB " +
           std::to_string(px.size()) + "\n" + px + "\n" + after;
}

} // namespace

TEST(SynthesizerStreaming, RegularFileGetsTheSameFile) {
    kvtest::TempDir d;
    const int w = 301, h = 101; // odd length, well above the spool threshold
    std::string px = dicomtest::pattern(w * h * 3, 3);
    std::string in = big_rgb(w, h, px, "(FFFC,FFFC) OB 4\npadx\n") +
                     "(0020,000D) UI 1.2.3\n(0020,000E) UI 1.2.3.1\n(0008,0018) UI 1.2.3.1.1\n";
    // UIDs given after the pixel data sort before them: refused.
    auto late = synth_to_file(d, in);
    EXPECT_EQ(late.status, 1);
    EXPECT_NE(late.err.find("follows (7FE0,0010) PixelData in the input but sorts before it"),
              std::string::npos)
        << late.err;
    EXPECT_EQ(kvtest::read_file(d / "out.dcm"), "");

    std::string ok_in = "(0020,000D) UI 1.2.3\n(0020,000E) UI 1.2.3.1\n(0008,0018) UI 1.2.3.1.1\n" +
                        big_rgb(w, h, px, "(FFFC,FFFC) OB 4\npadx\n");
    auto r = synth_to_file(d, ok_in);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string streamed = kvtest::read_file(d / "out.dcm");
    auto piped = synth(ok_in);
    ASSERT_EQ(piped.status, 0) << piped.err;
    // Same UIDs given, so both ways must give the very same bytes.
    EXPECT_TRUE(streamed == piped.out)
        << "streamed " << streamed.size() << " bytes, piped " << piped.out.size();
    std::string f = (d / "out.dcm").string();
    EXPECT_EQ(dicomtest::gdcm_pixels(f), px);
    EXPECT_EQ(attr(dump(f), "(fffc,fffc)"), "70\\61\\64\\78");
}

TEST(SynthesizerStreaming, FailureAfterStreamingCutsTheOutputBack) {
    kvtest::TempDir d;
    std::string px = dicomtest::pattern(200 * 200 * 3, 4);
    std::string full = big_rgb(200, 200, px);
    const std::string before = "earlier bytes of the file\n";
    struct Case {
        std::string input, message;
    };
    for (const Case &c :
         {Case{full.substr(0, full.size() - 5000), "bytes announced for (7FE0,0010)"},
          Case{full + "(0010,0010) PN Late\n", "sorts before it"},
          Case{full + "(FFFC,FFFC) OB 3\nabcd\n", "not followed by a line end"},
          Case{full + "(FFFC,FFFC) QQ 3\n", "unknown VR"},
          Case{full + "(FFFC,FFFC) OB 2\nab\n(FFFC,FFFC) OB 2\nab\n", "given twice"}}) {
        auto r = synth_to_file(d, c.input, before);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(kvtest::read_file(d / "out.dcm"), before) << c.message;
    }
    // Refusals found before the pixel data write nothing at all.
    auto r = synth_to_file(
        d, big_rgb(100, 100, px.substr(0, 30000)).replace(0, 0, "(0008,0020) DA x\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(kvtest::read_file(d / "out.dcm"), "");
    auto s = synth_to_file(d, big_rgb(99, 100, px.substr(0, 30000)));
    EXPECT_NE(s.err.find("PixelData holds 30000 bytes"), std::string::npos) << s.err;
    EXPECT_EQ(kvtest::read_file(d / "out.dcm"), "");
}

TEST(SynthesizerStreaming, BigEndianWordsArriveLittleEndian) {
    kvtest::TempDir d;
    const int w = 200, h = 180;
    std::string be = dicomtest::pattern(w * h * 2, 8), le = be;
    for (size_t i = 0; i + 1 < le.size(); i += 2)
        std::swap(le[i], le[i + 1]);
    kvtest::write_file(d / "be.bin", be);
    const std::string count = std::to_string(be.size()) + " big-endian";
    // Raw bytes in the input, then the same words named by file.
    for (const std::string &in :
         {grey16(w, h, count + "\n" + be + "\n"),
          grey16(w, h, count + " from " + (d / "be.bin").string() + "\n")}) {
        auto r = synth_to_file(d, in);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(dicomtest::gdcm_pixels((d / "out.dcm").string()), le);
        auto p = synth(in); // the spooled way
        ASSERT_EQ(p.status, 0) << p.err;
        kvtest::write_file(d / "p.dcm", p.out);
        EXPECT_EQ(dicomtest::gdcm_pixels((d / "p.dcm").string()), le);
    }
    EXPECT_EQ(kvtest::read_file(d / "be.bin"), be);
}

namespace {

// The synthesizer narrows DCMTK's default dictionary list to the public
// dictionary only when the user has not named one: a DCMDICTPATH of the
// user's stands, even one that leads nowhere.
TEST(SynthesizerDictionary, UsersDictionaryPathStands) {
    kvtest::RunOptions o;
    o.input = image("");
    o.env = {"DCMDICTPATH=/nonexistent/kuvra-test.dic"};
    auto r = kvtest::run({kvtest::bin("kuvra_dicom_synthesizer")}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dictionary is not loaded"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    // Without one the public dictionary is there: its VRs and names are
    // checked and named.
    o.env = {"DCMDICTPATH"};
    o.input = image("(0010,0010) DA 20240101\n");
    r = kvtest::run({kvtest::bin("kuvra_dicom_synthesizer")}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("PatientName"), std::string::npos) << r.err;
}

// The dictionary is filled from the program's own table with the entries a
// run needs (and loaded whole when an attribute outside the table appears);
// DCMTK's whole dictionary, named by DCMDICTPATH, must give the very same
// files: the samples through their modules, with UIDs given, and a private
// attribute beside them, written to a pipe and streamed to a file.
TEST(SynthesizerDictionary, TableEntriesGiveTheFilesOfTheWholeDictionary) {
    kvtest::TempDir d;
    auto gen =
        kvtest::run({"/usr/bin/python3", KUVRA_SOURCE_DIR "/samples/generate", d.path().string()});
    ASSERT_EQ(gen.status, 0) << gen.err;
    const std::string whole_dic =
        std::string(DCM_DICT_DEFAULT_PATH)
            .substr(0, std::string(DCM_DICT_DEFAULT_PATH).find(ENVIRONMENT_PATH_SEPARATOR));
    const std::string mods = KUVRA_MODULE_DIR;
    struct Sample {
        std::string file, module, extra;
    };
    for (const Sample &c :
         {Sample{"testpattern.ppm", "secondary_capture", ""},
          Sample{"grey16.pgm", "secondary_capture", ""}, Sample{"volume.fst.gz", "multiframe", ""},
          Sample{"grey16.pgm", "secondary_capture", "(0009,0010) LO KUVRA TEST\n"}}) {
        SCOPED_TRACE(c.file + " " + c.extra);
        auto stream = kvtest::run({kvtest::bin("kuvra_ppmtodicom"), "-m", "-k",
                                   "StudyInstanceUID=1.2.3", "-k", "SeriesInstanceUID=1.2.3.4",
                                   "-k", "SOPInstanceUID=1.2.3.5", (d / c.file).string()});
        // The converter's spool files, which the stream names, go with it.
        struct Spools {
            const std::string &text;
            ~Spools() {
                const std::string prefix = "/tmp/kuvra_ppmtodicom_";
                for (size_t at = 0; (at = text.find(prefix, at)) != std::string::npos; ++at) {
                    const size_t n = prefix.size() + 6;
                    // The files for the swapped copies end in ".bs".
                    std::filesystem::remove(
                        text.substr(at, text.compare(at + n, 3, ".bs") == 0 ? n + 3 : n));
                }
            }
        } spools{stream.out};
        ASSERT_EQ(stream.status, 0) << stream.err;
        kvtest::RunOptions o;
        o.input = stream.out;
        auto list = kvtest::run({"m4", "-I" + mods, "-", mods + "/" + c.module}, o);
        ASSERT_EQ(list.status, 0) << list.err;
        kvtest::write_file(d / "list", c.extra + list.out);
        std::vector<std::string> files;
        for (const char *env : {"DCMDICTPATH", ""}) {
            const std::string dic = *env ? std::string(env) : "DCMDICTPATH=" + whole_dic;
            kvtest::RunOptions so;
            so.env = {dic};
            auto piped =
                kvtest::run({kvtest::bin("kuvra_dicom_synthesizer"), (d / "list").string()}, so);
            ASSERT_EQ(piped.status, 0) << piped.err;
            files.push_back(piped.out);
            auto streamed =
                kvtest::sh(kvtest::bin("kuvra_dicom_synthesizer") + " '" + (d / "list").string() +
                               "' > '" + (d / "out.dcm").string() + "'",
                           so);
            ASSERT_EQ(streamed.status, 0) << streamed.err;
            files.push_back(kvtest::read_file(d / "out.dcm"));
        }
        EXPECT_GT(files[0].size(), 10000u);
        for (size_t i = 1; i < files.size(); ++i)
            EXPECT_TRUE(files[i] == files[0])
                << "way " << i << ": " << files[i].size() << " bytes, not " << files[0].size();
    }
}

} // namespace

// Pixel data named by file ("N from FILE", as the module templates write
// them) give the very file that the same bytes inline give, whether the
// output is a regular file or a pipe.
TEST(SynthesizerFromFile, SameFileAsInlineBytes) {
    kvtest::TempDir d;
    const int w = 301, h = 101;
    std::string px = dicomtest::pattern(w * h * 3, 11);
    kvtest::write_file(d / "px.bin", px);
    const std::string uids =
        "(0020,000D) UI 1.2.3\n(0020,000E) UI 1.2.3.1\n(0008,0018) UI 1.2.3.1.1\n";
    std::string inline_in = uids + big_rgb(w, h, px, "(FFFC,FFFC) OB 4\npadx\n");
    std::string from_in = inline_in;
    std::string raw_line = "(7FE0,0010) OB " + std::to_string(px.size()) + "\n" + px + "\n";
    size_t at = from_in.find(raw_line);
    ASSERT_NE(at, std::string::npos);
    from_in.replace(at, raw_line.size(),
                    "(7FE0,0010) OB " + std::to_string(px.size()) + " from " +
                        (d / "px.bin").string() + "\n");

    auto want = synth(inline_in);
    ASSERT_EQ(want.status, 0) << want.err;
    auto piped = synth(from_in);
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(piped.out == want.out) << piped.out.size() << " vs " << want.out.size();
    auto r = synth_to_file(d, from_in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(kvtest::read_file(d / "out.dcm") == want.out);
    EXPECT_EQ(dicomtest::gdcm_pixels((d / "out.dcm").string()), px);
    // The named file is only read.
    EXPECT_EQ(kvtest::read_file(d / "px.bin"), px);
}

// The pixel blocks are reserved ahead of the copy; a refusal after it must
// give them back along with the bytes.
TEST(SynthesizerFromFile, FailureAfterTheCopyLeavesNoBlocksBehind) {
    kvtest::TempDir d;
    std::string px = dicomtest::pattern(600 * 600 * 3, 13);
    kvtest::write_file(d / "px.bin", px);
    std::string in = big_rgb(600, 600, "");
    std::string raw_line = "(7FE0,0010) OB 0\n\n";
    size_t at = in.find(raw_line);
    ASSERT_NE(at, std::string::npos);
    in.replace(at, raw_line.size(),
               "(7FE0,0010) OB " + std::to_string(px.size()) + " from " + (d / "px.bin").string() +
                   "\n(0010,0010) PN Late\n");
    auto r = synth_to_file(d, in);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("sorts before it"), std::string::npos) << r.err;
    struct stat st {};
    ASSERT_EQ(stat((d / "out.dcm").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_blocks, 0) << "reserved blocks kept after the cut back";
}
