// The DICOM data dictionary as a compact constant table: keyword, tag, VR
// and VM of every attribute of the standard.  The table is generated at
// build time from DCMTK's dictionary text (cmake/DicomDict.cmake) and
// checked against DCMTK's own reading of it by the tests, so that programs
// can look attributes up without loading a dictionary at run time: the
// table is in the program's read-only data, and a lookup is a binary
// search.  Internal, not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kuvra::internal {

// Range restriction of a group or element range, as DCMTK names them.
enum class DictParity : uint8_t { all = 0, even = 1, odd = 2 };

// One line of the dictionary.  A single tag has first == last; a range
// (the overlay groups 6000-60FF, private creators ...) covers the tags
// between first and last, both included, of the parity given.
struct DictEntry {
    uint16_t group, element;           // the first tag
    uint16_t group_last, element_last; // the last tag of a range; else as above
    uint8_t parity;                    // DictParity of the group, plus 4 x that of the element
    char vr[2]; // as the dictionary writes it: "PN", or DCMTK's "ox", "px", "xs", "lt", "up", "na"
    uint8_t vm_min;  // fewest values
    uint8_t vm_max;  // most values; 0: no bound ("1-n", "2-2n")
    uint8_t kw_len;  // length of the keyword
    uint32_t kw_off; // offset of the keyword in the table's keyword text

    std::string_view keyword() const noexcept;
    std::string_view vr_name() const noexcept { return {vr, 2}; }
    bool is_range() const noexcept { return group != group_last || element != element_last; }
    DictParity group_parity() const noexcept { return DictParity(parity & 3); }
    DictParity element_parity() const noexcept { return DictParity(parity >> 2); }
    // Whether the tag is this entry's, or one of its range.
    bool covers(uint16_t g, uint16_t e) const noexcept;
};

// Every entry: the single tags in ascending tag order, then the ranges.
std::span<const DictEntry> dict_entries() noexcept;

// The entry of a tag: the single tag if the dictionary has it, else the
// first range that covers it; nullptr when the dictionary does not know it
// (private attributes, among others).
const DictEntry *dict_find_tag(uint16_t group, uint16_t element) noexcept;

// The entry of a keyword (exact and case-sensitive, "PatientName"; retired
// attributes keep DCMTK's "RETIRED_" prefix), or nullptr.
const DictEntry *dict_find_keyword(std::string_view keyword) noexcept;

// The keyword that a misspelt key most likely means, for a key that is no
// keyword: one that differs from it only in case, blanks, "_" or "-"
// ("Patient Name", "patientname"), else the nearest by edit distance when
// that is at most 1 for keys of 4 to 9 bytes and 2 for longer ones
// ("PatienName"); retired attributes and ranges only when nothing else is
// as near.  nullptr for none (keys shorter than 4 bytes get none).
const DictEntry *dict_keyword_meant(std::string_view key) noexcept;

// Where the table came from: the dictionary file read at build time, or
// the short list kept in the source tree when none was found.
std::string_view dict_source() noexcept;

} // namespace kuvra::internal
