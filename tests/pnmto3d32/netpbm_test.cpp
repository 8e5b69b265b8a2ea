// Volumes of images written by netpbm.  The expected voxels are worked out
// from the sample values that netpbm itself prints in its plain (ASCII)
// format, so neither the raw byte layout nor the program's code is trusted.
#include "kvtest.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string prog = kvtest::bin("kuvra_pnmto3d32");

struct Plain {
    bool colour = false;
    int width = 0, height = 0, maxval = 0;
    std::vector<uint32_t> samples; // row by row, r g b per pixel for colour
};

// Reads netpbm's plain output ("P2"/"P3", sizes, maxval, decimal samples).
Plain parse_plain(const std::string &text) {
    std::istringstream s(text);
    std::string magic;
    Plain p;
    s >> magic >> p.width >> p.height >> p.maxval;
    p.colour = magic == "P3";
    EXPECT_TRUE(magic == "P2" || magic == "P3") << magic;
    for (uint32_t v; s >> v;)
        p.samples.push_back(v);
    EXPECT_EQ(p.samples.size(), size_t(p.width) * p.height * (p.colour ? 3 : 1));
    return p;
}

// The volume as the format defines it: bytes 0 0 low high for a grey sample
// (its value times 65536 read little-endian), 0 r g b for colour.
std::string expected_volume(const Plain &p) {
    std::string v = "3D32\n" + std::to_string(p.width) + " " + std::to_string(p.height) + " 1\n\n";
    if (p.colour) {
        for (size_t i = 0; i < p.samples.size(); i += 3) {
            v.push_back(0);
            for (int c = 0; c < 3; c++)
                v.push_back(char(p.samples[i + c]));
        }
    } else {
        for (uint32_t s : p.samples) {
            uint32_t voxel = s << 16;
            for (int b = 0; b < 4; b++)
                v.push_back(char(voxel >> (8 * b)));
        }
    }
    return v;
}

// Writes an image with a netpbm pipeline, converts it with the program from
// the file and from standard input, and compares both with the volume
// computed from netpbm's plain rendering of the same file.
void check_netpbm(const std::string &pipeline, const std::string &want_magic, int want_maxval,
                  bool want_wide_samples) {
    kvtest::TempDir dir;
    const std::string img = (dir / "img.pnm").string();
    auto made = kvtest::sh(pipeline + " >" + img);
    ASSERT_EQ(made.status, 0) << pipeline << ": " << made.err;
    auto plain = kvtest::sh("pnmtoplainpnm " + img);
    ASSERT_EQ(plain.status, 0) << plain.err;

    Plain p = parse_plain(plain.out);
    ASSERT_EQ(kvtest::read_file(img).substr(0, 3), want_magic + "\n");
    ASSERT_EQ(p.maxval, want_maxval);
    if (want_wide_samples) {
        // Guard the test itself: a byte swap only shows on samples whose two
        // bytes differ.
        bool differ = false;
        for (uint32_t s : p.samples)
            differ |= (s >> 8) != (s & 0xff);
        ASSERT_TRUE(differ);
    }
    const std::string want = expected_volume(p);

    auto f = kvtest::run({prog, img});
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(f.err, "");
    EXPECT_TRUE(f.out == want) << "volume differs for " << pipeline;

    kvtest::RunOptions opt;
    opt.input = kvtest::read_file(img);
    auto s = kvtest::run({prog}, opt);
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_TRUE(s.out == want) << "volume from stdin differs for " << pipeline;

    // Header and data apart add up to the whole volume.
    auto h = kvtest::run({prog, "-H", img});
    auto d = kvtest::run({prog, "-D", img});
    EXPECT_TRUE(h.out + d.out == want);
}

TEST(Pnmto3d32Netpbm, GreyEightBit) {
    check_netpbm("pgmramp -diag 301 7", "P5", 255, false);
    check_netpbm("pgmramp -maxval 100 -ellipse 33 21", "P5", 100, false);
}

TEST(Pnmto3d32Netpbm, GreySixteenBit) {
    check_netpbm("pgmramp -maxval 65535 -diag 257 9", "P5", 65535, true);
    check_netpbm("pgmramp -lr 300 4 | pamdepth 4000", "P5", 4000, true);
    // Just past one byte: 256 is the first two-byte depth.
    check_netpbm("pgmramp -maxval 256 -lr 257 2", "P5", 256, true);
}

TEST(Pnmto3d32Netpbm, ColourEightBit) {
    check_netpbm("ppmpat -g3 97 31", "P6", 255, false);
    check_netpbm("ppmpat -madras 40 40 | pnmdepth 200", "P6", 200, false);
}

TEST(Pnmto3d32Netpbm, ColourSixteenBitIsRefused) {
    kvtest::TempDir dir;
    ASSERT_EQ(kvtest::sh("ppmpat -g2 5 5 | pamdepth 65535 >" + (dir / "c.ppm").string()).status, 0);
    auto r = kvtest::run({prog, (dir / "c.ppm").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Depth too high for non-P5, not supported.\n");
    EXPECT_EQ(r.out, "");
}

} // namespace
