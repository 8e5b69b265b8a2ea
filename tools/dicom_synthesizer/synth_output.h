// Output of the synthesizer: DCMTK objects and raw element headers written
// straight to a descriptor (standard output may be a pipe, which DCMTK's
// own file streams do not take).
#pragma once

#include "synth_parse.h"

#include <cstddef>
#include <cstdint>

class DcmFileFormat;
class DcmDataset;

namespace kuvra::synth {

// The whole file: preamble, "DICM", a newly made file meta group and the
// dataset, Explicit VR Little Endian without group lengths.
bool write_file(DcmFileFormat &ff, int fd, ParseError &err);
// The elements of the dataset alone (no meta group, no item header), encoded as in
// write_file: the part of a dataset that follows a streamed value.
bool write_elements(DcmDataset &ds, int fd, ParseError &err);
// The header of an element with a 32-bit length in Explicit VR Little
// Endian (tag, VR, two zero bytes, length), for a value whose bytes the
// caller writes itself; length is the padded, even length.
bool write_value_header(int fd, uint16_t group, uint16_t elem, const char vr[2], uint32_t length,
                        ParseError &err);
// n bytes as they are.
bool write_raw(int fd, const void *data, size_t n, ParseError &err);

} // namespace kuvra::synth
