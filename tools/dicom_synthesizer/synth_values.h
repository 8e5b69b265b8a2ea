// The synthesizer's rules for value representations and the checks of a
// value against them that need no data dictionary.  Pure functions over
// text: no DCMTK, no I/O, so that the reader, the builder, the tests and the
// fuzzers share one copy.
#pragma once

#include <kuvra/internal/quote.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kuvra::synth {

// Binary VRs: their element line carries a byte count, and the raw bytes follow.
bool is_binary_vr(std::string_view vr);
// One of the VRs of the DICOM standard (upper case, two letters).
bool is_known_vr(std::string_view vr);
// Bytes of one value of a binary VR (OW 2, OF and OL 4, OD and OV 8, else
// 1): a value's byte count must be a multiple of it.
uint32_t bytes_per_value(std::string_view vr);

// "(gggg,eeee)" in upper-case hexadecimal.
std::string tag_text(uint16_t group, uint16_t elem);

// Quoted value for messages (kuvra/internal/quote.h).
using kuvra::internal::shown;

bool has_non_ascii(std::string_view v);
bool is_valid_utf8(std::string_view v);
// Number of characters of a value: code points when utf8, else bytes.
size_t value_chars(std::string_view v, bool utf8);

// The checks of a text value that its VR alone decides: valid UTF-8 when
// utf8 is set and the value holds non-ASCII bytes, every value of a binary
// number VR (US ... FD) a number in range, and every value within the
// maximum number of characters of its VR (for PN, per component group).
// Returns true when the value passes; otherwise why says what is wrong, as
// the end of a sentence that begins with the quoted value ("is not a valid
// US number list").
bool check_text_value(std::string_view vr, std::string_view v, bool utf8, std::string &why);

// The form a value of VR vr takes, as a sentence for messages ("DA is
// YYYYMMDD, such as 20240131"); empty for the binary VRs and sequences.
std::string vr_form(std::string_view vr);

} // namespace kuvra::synth
