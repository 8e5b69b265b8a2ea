// kuvra_pnmto3d32 run as a user runs it: options, input from a file or
// standard input, exact output bytes, messages and exit status.
#include "kvtest.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string prog = kvtest::bin("kuvra_pnmto3d32");

std::string pnm(const std::string &magic, const std::string &size, const std::string &depth,
                const std::string &samples) {
    return magic + "\n" + size + "\n" + depth + "\n" + samples;
}

std::string header(int w, int h) {
    return "3D32\n" + std::to_string(w) + " " + std::to_string(h) + " 1\n\n";
}

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b)
        s.push_back(char(v));
    return s;
}

kvtest::RunResult run_stdin(const std::vector<std::string> &args, const std::string &input) {
    std::vector<std::string> argv{prog};
    argv.insert(argv.end(), args.begin(), args.end());
    kvtest::RunOptions opt;
    opt.input = input;
    return kvtest::run(argv, opt);
}

// Expects a refusal: the message alone on standard error, nothing on
// standard output, status 1.
void expect_refused(const std::string &input, const std::string &message,
                    const std::vector<std::string> &args = {}) {
    auto r = run_stdin(args, input);
    EXPECT_EQ(r.status, 1) << input;
    EXPECT_EQ(r.err, message) << input;
    EXPECT_EQ(r.out, "") << input;
}

// ---- Command line -------------------------------------------------------

TEST(Pnmto3d32Options, HelpPrintsUsageWithArgv0) {
    auto r = kvtest::run({prog, "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: " + prog + " [-H] [-D]\n");
    EXPECT_EQ(r.out, "");
    // Started through PATH, argument 0 is the bare name.
    r = kvtest::run({"kuvra_pnmto3d32", "-h"});
    EXPECT_EQ(r.err, "Usage: kuvra_pnmto3d32 [-H] [-D]\n");
}

TEST(Pnmto3d32Options, UnknownOptionGivesMessageThenUsage) {
    auto r = run_stdin({"-x"}, pnm("P5", "1 1", "255", "a"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unknown option.\nUsage: " + prog + " [-H] [-D]\n");
    EXPECT_EQ(r.out, "");
}

TEST(Pnmto3d32Options, LastOfHAndDWins) {
    const std::string img = pnm("P5", "2 1", "255", bytes({1, 2}));
    const std::string voxels = bytes({0, 0, 1, 0, 0, 0, 2, 0});
    EXPECT_EQ(run_stdin({}, img).out, header(2, 1) + voxels);
    EXPECT_EQ(run_stdin({"-H"}, img).out, header(2, 1));
    EXPECT_EQ(run_stdin({"-D"}, img).out, voxels);
    EXPECT_EQ(run_stdin({"-H", "-D"}, img).out, voxels);
    EXPECT_EQ(run_stdin({"-D", "-H"}, img).out, header(2, 1));
    EXPECT_EQ(run_stdin({"-HD"}, img).out, voxels);
}

TEST(Pnmto3d32Options, HeaderOnlyDoesNotNeedTheSamples) {
    auto r = run_stdin({"-H"}, pnm("P6", "100 100", "255", ""));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, header(100, 100));
}

TEST(Pnmto3d32Input, FileOperandAndStdinGiveTheSameVolume) {
    kvtest::TempDir dir;
    const std::string img = pnm("P6", "1 1", "255", bytes({10, 20, 30}));
    kvtest::write_file(dir / "in.ppm", img);
    const std::string want = header(1, 1) + bytes({0, 10, 20, 30});

    auto f = kvtest::run({prog, (dir / "in.ppm").string(), "ignored-extra-operand"});
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.out, want);

    auto s = run_stdin({}, img);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.out, want);

    // A seekable standard input behaves the same.
    kvtest::RunOptions opt;
    opt.stdin_file = (dir / "in.ppm").string();
    EXPECT_EQ(kvtest::run({prog}, opt).out, want);
}

TEST(Pnmto3d32Input, MissingFileCannotBeOpened) {
    kvtest::TempDir dir;
    auto r = kvtest::run({prog, (dir / "absent.pgm").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open input.\n");
    EXPECT_EQ(r.out, "");
}

// ---- Header checks, one row of the failure table each --------------------

TEST(Pnmto3d32Header, MagicLine) {
    expect_refused("", "Cannot read magic.\n");
    for (const char *bad : {"P4", "P7", "p5", "P5 ", " P5", "P", "P55", "# comment\nP5"})
        expect_refused(std::string(bad) + "\n1 1\n255\nx", "Unsupported magic.\n");
    // The one-line PNM header form is not accepted.
    expect_refused("P5 1 1 255\nx", "Unsupported magic.\n");
    // The line end may be CR LF.
    auto r = run_stdin({}, "P5\r\n1 1\r\n255\r\n" + bytes({7}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header(1, 1) + bytes({0, 0, 7, 0}));
}

TEST(Pnmto3d32Header, SizeLine) {
    expect_refused("P5\n", "Cannot read width/height.\n");
    expect_refused("P5\n# only a comment\n", "Cannot read width/height.\n");
    for (const char *bad : {"", "5", "x 5", "5 x", "5,6", " ", "# c\n"})
        expect_refused("P5\n" + std::string(bad) + "\n255\n", "Cannot parse width/height.\n");
    // A number beyond 32 bits is no width.
    expect_refused("P5\n4294967297 1\n255\n", "Cannot parse width/height.\n");
}

TEST(Pnmto3d32Header, SizeLineAcceptsScanfForms) {
    // Blanks and tabs around the numbers and text after them do not matter.
    EXPECT_EQ(run_stdin({"-H"}, "P5\n \t3\t\t2 trailing words\n255\n").out, header(3, 2));
    EXPECT_EQ(run_stdin({"-H"}, "P5\n+3 2\n255\n").out, header(3, 2));
}

TEST(Pnmto3d32Header, DepthLine) {
    expect_refused("P5\n1 1\n", "Cannot read depth.\n");
    expect_refused("P5\n1 1\n#c\n", "Cannot read depth.\n");
    for (const char *bad : {"", "x", "max", "99999999999"})
        expect_refused("P5\n1 1\n" + std::string(bad) + "\n", "Cannot parse depth.\n");
    expect_refused("P5\n1 1\n65536\n", "Depth too high, not supported.\n");
    expect_refused("P6\n1 1\n65536\n", "Depth too high, not supported.\n");
    expect_refused("P6\n1 1\n256\n", "Depth too high for non-P5, not supported.\n");
    expect_refused("P6\n1 1\n65535\n", "Depth too high for non-P5, not supported.\n");
}

TEST(Pnmto3d32Header, CommentsSkippedBeforeSizeAndDepth) {
    auto r = run_stdin({}, "P5\n# one\n#two\n2 1\n# three\n255\n" + bytes({1, 2}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, header(2, 1) + bytes({0, 0, 1, 0, 0, 0, 2, 0}));
}

TEST(Pnmto3d32Header, DepthChoosesSampleWidthOnly) {
    // Depths up to 255, zero and negative included, keep one byte a sample;
    // values are copied, never scaled.
    for (const char *d : {"255", "1", "0", "-5", "100 junk"})
        EXPECT_EQ(run_stdin({}, pnm("P5", "1 1", d, bytes({200}))).out,
                  header(1, 1) + bytes({0, 0, 200, 0}))
            << d;
    // 256 already takes two bytes a sample.
    EXPECT_EQ(run_stdin({}, pnm("P5", "1 1", "256", bytes({0x12, 0x34}))).out,
              header(1, 1) + bytes({0, 0, 0x34, 0x12}));
}

// ---- Extents that no volume can have --------------------------------------

TEST(Pnmto3d32Extent, NegativeSizesRefusedBeforeOutput) {
    for (const char *size : {"-1 1", "1 -1", "-2 -3", "0 -1"}) {
        expect_refused(pnm("P5", size, "255", "xxxx"), "Cannot parse width/height.\n");
        expect_refused(pnm("P5", size, "255", "xxxx"), "Cannot parse width/height.\n", {"-H"});
    }
}

TEST(Pnmto3d32Extent, WidthWhoseLineSizeOverflowsIsRefused) {
    // 4 x 536870911 still fits 31 bits; one pixel more does not.
    auto ok = run_stdin({"-H"}, pnm("P5", "536870911 1", "255", ""));
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, header(536870911, 1));
    for (const char *magic : {"P5", "P6"})
        for (const char *size : {"536870912 1", "715827883 1", "2147483647 2"}) {
            expect_refused(pnm(magic, size, "255", "xx"), "Cannot allocate line memory.\n");
            expect_refused(pnm(magic, size, "255", "xx"), "Cannot allocate line memory.\n", {"-H"});
        }
    expect_refused(pnm("P5", "536870912 1", "65535", "xx"), "Cannot allocate line memory.\n");
}

TEST(Pnmto3d32Extent, ZeroExtentsWriteTheHeaderOnly) {
    for (const char *size : {"0 0", "5 0", "0 5"}) {
        auto r = run_stdin({}, pnm("P6", size, "255", ""));
        EXPECT_EQ(r.status, 0) << size;
        EXPECT_EQ(r.err, "") << size;
        std::istringstream s(size);
        int w, h;
        s >> w >> h;
        EXPECT_EQ(r.out, header(w, h)) << size;
    }
}

#ifndef KUVRA_SANITIZED
TEST(Pnmto3d32Extent, UnobtainableLinesFailAfterTheHeader) {
    // Lines of 1.5 GiB and 2 GiB cannot be had within a 256 MiB address
    // space; the header has been written by then.
    kvtest::TempDir dir;
    kvtest::write_file(dir / "wide.ppm", pnm("P6", "536870911 1", "255", "xyz"));
    auto r = kvtest::sh("ulimit -v 262144 && exec " + prog + " " + (dir / "wide.ppm").string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot allocate line memory.\n");
    EXPECT_EQ(r.out, header(536870911, 1));
}
#endif

// ---- Voxel bytes -----------------------------------------------------------

TEST(Pnmto3d32Voxels, GreyEightBit) {
    auto r = run_stdin({}, pnm("P5", "2 1", "255", bytes({1, 2})));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, header(2, 1) + bytes({0, 0, 1, 0, 0, 0, 2, 0}));
}

TEST(Pnmto3d32Voxels, GreySixteenBitIsByteSwapped) {
    auto r = run_stdin({}, pnm("P5", "2 1", "65535", bytes({1, 2, 3, 4})));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header(2, 1) + bytes({0, 0, 2, 1, 0, 0, 4, 3}));
}

TEST(Pnmto3d32Voxels, Colour) {
    auto r = run_stdin({}, pnm("P6", "1 1", "255", bytes({10, 20, 30})));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header(1, 1) + bytes({0, 10, 20, 30}));
}

TEST(Pnmto3d32Voxels, RowsKeepTheirOrderAndSamplesStartAfterDepthLine) {
    // A depth line followed directly by bytes that look like line ends: the
    // samples start right after the first LF.
    auto r = run_stdin({}, pnm("P5", "3 2", "255", bytes({'\n', '\r', '#', 4, 5, 6})));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header(3, 2) + bytes({0, 0, '\n', 0, 0, 0, '\r', 0, 0, 0, '#', 0,
                                           0, 0, 4,    0, 0, 0, 5,    0, 0, 0, 6,   0}));
}

TEST(Pnmto3d32Voxels, BytesAfterTheImageAreIgnored) {
    auto r = run_stdin({}, pnm("P5", "1 1", "255", bytes({9, 1, 2, 3})));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header(1, 1) + bytes({0, 0, 9, 0}));
}

// ---- Row streaming failures -----------------------------------------------

TEST(Pnmto3d32Stream, ShortRowStopsAfterTheRowsBeforeIt) {
    // Rows 0 to 2 whole, row 3 cut inside.
    std::string samples;
    for (int i = 0; i < 3 * 4 + 2; i++)
        samples.push_back(char(i));
    auto r = run_stdin({}, pnm("P5", "4 5", "255", samples));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot read line 3.\n");
    std::string want = header(4, 5);
    for (int i = 0; i < 12; i++)
        want += bytes({0, 0, i, 0});
    EXPECT_EQ(r.out, want);

    auto d = run_stdin({"-D"}, pnm("P6", "2 2", "255", ""));
    EXPECT_EQ(d.status, 1);
    EXPECT_EQ(d.err, "Cannot read line 0.\n");
    EXPECT_EQ(d.out, "");
}

TEST(Pnmto3d32Stream, RowThatCannotBeWrittenIsReported) {
    // A row far larger than any stdio buffer goes to the device at once.
    kvtest::TempDir dir;
    const int width = 1 << 20;
    kvtest::write_file(dir / "in.pgm",
                       pnm("P5", std::to_string(width) + " 2", "255", std::string(2 * width, 'a')));
    auto r = kvtest::sh(prog + " " + (dir / "in.pgm").string() + " >/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write line 0.\n");
}

TEST(Pnmto3d32Stream, OutputLostAtTheFinalFlushIsAFailure) {
    kvtest::TempDir dir;
    kvtest::write_file(dir / "in.pgm", pnm("P5", "1 1", "255", "a"));
    auto r = kvtest::sh(prog + " " + (dir / "in.pgm").string() + " >/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write output.\n");
    r = kvtest::sh(prog + " -H " + (dir / "in.pgm").string() + " >/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write output.\n");
}

} // namespace
