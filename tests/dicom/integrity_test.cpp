// The export's one promise, swept over damaged inputs: a run that ends 0
// wrote a DICOM whose pixels are those of the input as the real
// decompressors read it, and a run that fails wrote nothing.  The inputs
// are two images, plain and through gzip, bzip2 and lzma, cut, flipped and
// padded at many offsets.
#include "kvtest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Image {
    std::string pnm;
    size_t header; // bytes before the samples
};

Image image(const char *magic, int w, int h, int maxval, int bpp) {
    std::string head = std::string(magic) + "\n" + std::to_string(w) + " " + std::to_string(h) +
                       "\n" + std::to_string(maxval) + "\n";
    std::string px;
    for (int i = 0; i < w * h * bpp; ++i)
        px.push_back(char(bpp == 2 && i % 2 == 0 ? (i / 2) % 16 : (i * 37 + 11) & 0xff));
    return {head + px, head.size()};
}

// What the input says as the real programs read it: "" when the
// decompressor fails or the bytes are no complete image of that header.
std::string pixels_said(const std::string &bytes, const std::string &decompressor) {
    std::string plain = bytes;
    if (!decompressor.empty()) {
        kvtest::RunOptions o;
        o.input = bytes;
        auto r = kvtest::run({decompressor, "-dc"}, o);
        if (r.status != 0) return "";
        plain = r.out;
    }
    static const std::regex head("^P([56])\n([0-9]+) ([0-9]+)\n([0-9]+)\n");
    std::smatch m;
    if (!std::regex_search(plain, m, head)) return "";
    size_t n = std::stoul(m[2]) * std::stoul(m[3]) * (m[1] == "6" ? 3 : 1) *
               (std::stoul(m[4]) > 255 ? 2 : 1);
    if (plain.size() != m.length(0) + n) return "";
    return plain.substr(m.length(0));
}

} // namespace

TEST(Sweep, DamagedInputsGiveTheirPixelsOrNoDicom) {
    const Image images[] = {image("P6", 7, 5, 255, 3), image("P5", 6, 4, 4095, 2)};
    const std::vector<std::string> compressors = {"", "gzip", "bzip2", "lzma"};
    int written = 0, refused = 0;
    for (const Image &img : images) {
        for (const std::string &c : compressors) {
            std::string whole = img.pnm;
            if (!c.empty()) {
                kvtest::RunOptions o;
                o.input = img.pnm;
                whole = kvtest::run({c, "-c"}, o).out;
            }
            std::vector<std::string> inputs = {whole};
            for (size_t at : {size_t(1), whole.size() / 3, whole.size() / 2, whole.size() - 4,
                              whole.size() - 1}) {
                inputs.push_back(whole.substr(0, at));
                std::string f = whole;
                f[at] ^= 0x24;
                inputs.push_back(f);
            }
            inputs.push_back(whole + "\n");
            inputs.push_back(whole + std::string(40, '\0'));
            for (const std::string &in : inputs) {
                kvtest::RunOptions o;
                o.input = in;
                auto r = kvtest::run({kvtest::bin("kuvra_ppmtodicom"), "-d", "secondary_capture",
                                      "-k", "PatientID=sweep"},
                                     o);
                std::string said = pixels_said(in, c);
                SCOPED_TRACE((c.empty() ? "plain" : c) + ", " + std::to_string(in.size()) +
                             " bytes: " + r.err);
                if (r.status != 0) {
                    EXPECT_EQ(r.out, "") << "a failed run wrote output";
                    ++refused;
                    continue;
                }
                ++written;
                ASSERT_NE(said, "") << "status 0 for an input the real programs refuse";
                kvtest::RunOptions back;
                back.input = r.out;
                auto p = kvtest::run({kvtest::bin("kuvra_dicom_to_P5")}, back);
                ASSERT_EQ(p.status, 0) << p.err;
                ASSERT_GE(p.out.size(), said.size());
                EXPECT_TRUE(p.out.substr(p.out.size() - said.size()) == said)
                    << "the DICOM's pixels are not the input's";
            }
        }
    }
    // Every undamaged input is written; most damaged ones are refused.
    EXPECT_GE(written, 8);
    EXPECT_GT(refused, written);
    printf("sweep: %d runs, %d wrote a DICOM, %d refused\n", written + refused, written, refused);
}
