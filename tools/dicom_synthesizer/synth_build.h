// Turns the elements read by parse_elements into one DICOM Part 10 file
// (preamble, file meta group, Explicit VR Little Endian dataset).
#pragma once

#include "synth_parse.h"

#include <string>
#include <vector>

namespace kuvra::synth {

// "2.25." followed by the decimal value of a fresh random (version 4) UUID.
std::string make_uuid_uid();

// Number of characters of a value: code points when utf8, else bytes.
size_t value_chars(std::string_view v, bool utf8);
bool is_valid_utf8(std::string_view v);

// Checks every element against its VR and the data dictionary, completes the
// dataset (UIDs, character set) and writes the file to out_fd.  Nothing is
// written unless every check has passed.  Returns true on success; else err
// names the attribute and its value.  Spooled values are read through their
// descriptors, which must stay open until this returns.
bool synthesize(std::vector<Element> &elems, int out_fd, ParseError &err);

} // namespace kuvra::synth
