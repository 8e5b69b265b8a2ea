// Row converters of the 3D32 converter.
#include "rows.h"

#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace {

// The voxel of one pixel as the little-endian value of its four file bytes:
//   grey 8 bit:   0 0 s 0
//   grey 16 bit:  0 0 lo hi   (the sample, stored most significant byte first,
//                              comes out least significant byte first: the
//                              voxel is the sample times 65536)
//   colour:       0 r g b
template <int Bpp> inline uint32_t voxel_of(const uint8_t *px) {
    if constexpr (Bpp == 1)
        return uint32_t(px[0]) << 16;
    else if constexpr (Bpp == 2)
        return (uint32_t(px[0]) << 8 | px[1]) << 16;
    else
        return uint32_t(px[0]) << 8 | uint32_t(px[1]) << 16 | uint32_t(px[2]) << 24;
}

// One voxel stored in native order at any address: the caller places rows
// at the file offset's place within a page, which need not be a multiple of 4.
inline void store32(uint8_t *out, uint32_t v) noexcept {
    std::memcpy(out, &v, sizeof v);
}

// Whole rows in loops the compiler can vectorise: the rows are all the work
// the program does.
template <int Bpp>
void convert_row(const uint8_t *__restrict in, uint8_t *__restrict out, int32_t width) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        int32_t x = 0;
        if constexpr (Bpp == 3) {
            // Little-endian r g b n loaded as one word and shifted up by a
            // byte is 0 r g b.  The load reaches one byte past the pixel, so
            // the last pixel of the row is done on its own.
            for (; x + 1 < width; x++) {
                uint32_t v;
                std::memcpy(&v, in + size_t(x) * 3, sizeof v);
                store32(out + size_t(x) * 4, v << 8);
            }
        }
        for (; x < width; x++)
            store32(out + size_t(x) * 4, voxel_of<Bpp>(in + size_t(x) * Bpp));
    } else {
        for (int32_t x = 0; x < width; x++) {
            uint32_t v = voxel_of<Bpp>(in + size_t(x) * Bpp);
            for (int b = 0; b < 4; b++)
                out[size_t(x) * 4 + b] = uint8_t(v >> (8 * b));
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
#define PNMTO3D32_HAVE_SSSE3 1
// Colour rows four pixels at a time with one byte shuffle: 12 bytes r g b
// in, 16 bytes 0 r g b out.  SSSE3 is beyond the baseline of both x86
// targets, so this variant is chosen at run time.
[[gnu::target("ssse3")]] void convert_rgb_ssse3(const uint8_t *__restrict in,
                                                uint8_t *__restrict out, int32_t width) noexcept {
    const __m128i spread = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    const size_t in_size = size_t(width) * 3;
    size_t x = 0;
    // Each load takes 16 bytes for the 12 it uses; stop while it stays
    // inside the row.
    for (; x * 3 + 16 <= in_size; x += 4) {
        __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + x * 3));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x * 4), _mm_shuffle_epi8(px, spread));
    }
    for (; x < size_t(width); x++)
        store32(out + x * 4, voxel_of<3>(in + x * 3));
}
#endif

} // namespace

namespace pnmto3d32 {

RowConverter portable_row_converter(int32_t bpp) noexcept {
    switch (bpp) {
    case 1:
        return convert_row<1>;
    case 2:
        return convert_row<2>;
    default:
        return convert_row<3>;
    }
}

RowConverter row_converter(int32_t bpp) noexcept {
#ifdef PNMTO3D32_HAVE_SSSE3
    if (bpp == 3 && std::endian::native == std::endian::little && __builtin_cpu_supports("ssse3"))
        return convert_rgb_ssse3;
#endif
    return portable_row_converter(bpp);
}

} // namespace pnmto3d32
