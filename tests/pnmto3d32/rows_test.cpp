// Every row converter variant against voxel bytes worked out here, over
// widths that leave each vector loop its remainder.
#include "rows.h"

#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <vector>

namespace {

// The format's byte table: grey 0 0 s 0; 16-bit grey 0 0 low high of the
// big-endian sample; colour 0 r g b.
std::vector<uint8_t> expected(int bpp, const std::vector<uint8_t> &in, int width) {
    std::vector<uint8_t> v;
    for (int x = 0; x < width; x++) {
        const uint8_t *p = &in[size_t(x) * bpp];
        if (bpp == 1)
            v.insert(v.end(), {0, 0, p[0], 0});
        else if (bpp == 2)
            v.insert(v.end(), {0, 0, p[1], p[0]});
        else
            v.insert(v.end(), {0, p[0], p[1], p[2]});
    }
    return v;
}

void check(pnmto3d32::RowConverter convert, int bpp) {
    std::mt19937 rng(bpp);
    for (int width : {0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 1000, 8193}) {
        std::vector<uint8_t> in(size_t(width) * bpp);
        for (auto &b : in)
            b = uint8_t(rng());
        // Rows from malloc as the converter gets them.  The input row has
        // its exact size, so that the sanitizer build sees any read past
        // it; one guard byte after the output row must stay untouched.
        size_t out_size = size_t(width) * 4;
        std::unique_ptr<uint8_t[], decltype(&free)> out(
            static_cast<uint8_t *>(malloc(out_size + 1)), &free);
        std::unique_ptr<uint8_t[], decltype(&free)> row(
            static_cast<uint8_t *>(malloc(in.empty() ? 1 : in.size())), &free);
        ASSERT_TRUE(out && row);
        std::copy(in.begin(), in.end(), row.get());
        out[out_size] = 0xa5;
        convert(row.get(), out.get(), width);
        std::vector<uint8_t> got(out.get(), out.get() + out_size);
        EXPECT_EQ(got, expected(bpp, in, width)) << "bpp " << bpp << " width " << width;
        EXPECT_EQ(out[out_size], 0xa5) << "bpp " << bpp << " width " << width;
    }
}

TEST(Pnmto3d32Rows, PortableConverters) {
    for (int bpp : {1, 2, 3})
        check(pnmto3d32::portable_row_converter(bpp), bpp);
}

TEST(Pnmto3d32Rows, ChosenConverters) {
    for (int bpp : {1, 2, 3})
        check(pnmto3d32::row_converter(bpp), bpp);
}

} // namespace
