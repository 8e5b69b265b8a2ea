// Row conversion of the 3D32 converter: one image row of bpp bytes a pixel
// into one row of 4-byte voxels.  Internal to the converter; exposed so that
// tests can hold every variant against the same expected bytes.
#pragma once

#include <cstdint>

namespace pnmto3d32 {

// Converts width pixels of in (bpp * width bytes) into width voxels in out
// (4 * width bytes, at any address).  The two rows do not overlap.
using RowConverter = void (*)(const uint8_t *in, uint8_t *out, int32_t width) noexcept;

// The plain C++ converter for bpp 1 (grey), 2 (16-bit grey) or 3 (colour);
// it runs on every processor.
RowConverter portable_row_converter(int32_t bpp) noexcept;

// The fastest converter for bpp that this processor runs; it writes the
// same bytes as the portable one.
RowConverter row_converter(int32_t bpp) noexcept;

} // namespace pnmto3d32
