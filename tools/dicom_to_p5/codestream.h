// What the compressed frame itself says about the image, read before it is
// decoded, and JPEG 2000 decoding through OpenJPEG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// Reads n bytes from offset at of a compressed frame into buf; false when
// they cannot be read.
using FrameBytes = std::function<bool(uint64_t at, uint8_t *buf, size_t n)>;

// Decodes an RLE frame of n bytes, read through bytes 64 KiB at a time (the
// compressed frame is never held whole), into out: the samples interleaved
// (R G B R G B ...), each a little-endian unit of bytes_per_sample bytes.
// The frame is first checked against what the attributes imply, one segment
// (byte plane) per sample byte, each decoding to exactly pixels bytes (one
// more is taken as the pad byte of an odd length); out is allocated only
// after that.  On failure message says what differs, or that bytes could
// not be read (a reason bytes itself keeps).
bool rle_decode(const FrameBytes &bytes, uint64_t n, unsigned samples, unsigned bytes_per_sample,
                uint64_t pixels, std::vector<uint8_t> &out, std::string &message);

// Decodes a JPEG 2000 code stream (J2K, or a JP2 file) of n bytes, read
// through bytes, whose image must
// have the expected columns, rows and samples, at most want.bits of
// precision, and full-resolution components.  out receives the samples
// interleaved (R G B R G B ...), each as a little-endian unit of
// bytes_per_sample bytes, signed ones in two's complement.  On failure
// message says why; when the code stream holds another image than the
// attributes declare, shape_mismatch is set and got holds that image
// (bits: its largest component precision).
bool j2k_decode(const FrameBytes &bytes, uint64_t n, const Shape &want, unsigned bytes_per_sample,
                std::vector<uint8_t> &out, std::string &message, bool &shape_mismatch, Shape &got);

} // namespace dicom_to_p5
