// What the compressed frame itself says about the image, read before it is
// decoded, and JPEG 2000 decoding through OpenJPEG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dicom_to_p5 {

// The image a frame holds or the attributes declare.
struct Shape {
    uint32_t cols = 0, rows = 0, samples = 0, bits = 0; // bits: of one sample
    // Bytes of the decoded frame with samples of bytes_per_sample bytes.
    uint64_t bytes(unsigned bytes_per_sample) const {
        return uint64_t(cols) * rows * samples * bytes_per_sample;
    }
};

// The shape in the frame header (SOFn, or SOF55 of JPEG-LS) of a JPEG or
// JPEG-LS code stream; false when no frame header comes before the first
// scan.
bool jpeg_shape(const uint8_t *p, size_t n, Shape &shape);

// Checks an RLE frame (its 64-byte header and segments) against the
// segments and the length of each that the attributes imply; message says
// what differs.  Each segment must decode to exactly segment_length bytes
// (one more is taken as the pad byte of an odd length).
bool rle_check(const uint8_t *p, size_t n, uint32_t segments, uint64_t segment_length,
               std::string &message);

// Decodes a JPEG 2000 code stream (J2K, or a JP2 file) whose image must
// have the expected columns, rows and samples, at most want.bits of
// precision, and full-resolution components.  out receives the samples
// interleaved (R G B R G B ...), each as a little-endian unit of
// bytes_per_sample bytes, signed ones in two's complement.  On failure
// message says why; when the code stream holds another image than the
// attributes declare, shape_mismatch is set and got holds that image
// (bits: its largest component precision).
bool j2k_decode(const uint8_t *p, size_t n, const Shape &want, unsigned bytes_per_sample,
                std::vector<uint8_t> &out, std::string &message, bool &shape_mismatch, Shape &got);

} // namespace dicom_to_p5
