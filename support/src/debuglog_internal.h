// Internals of the debug log shared between its sources, its tests and the
// fuzz target of the flags parser.  Not installed.
#pragma once

#include <kuvra/debuglog.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kuvra::debuglog {

// Writes mask into table[category], or into all entries when category is 64
// or more (a category of -1 arrives here as 0xffffffff).
void set_masks(std::span<uint32_t, KV_DEBUG_CATEGORIES> table, uint32_t category, uint32_t mask);

// One number in the notation of scanf's "%i": leading white space, an
// optional sign, then 0x/0X hexadecimal, 0 octal or decimal.  On success
// stores the value reduced to 32 bits (so "-1" and "0xffffffff" agree) and
// returns the count of characters consumed; returns 0 when no digits follow
// or the magnitude does not fit in 32 bits.  Never reads past text.
size_t parse_int(std::string_view text, uint32_t &value);

// Applies a KUVRA_DEBUG_FLAGS text, "cat,mask" pairs separated by ';', to
// table as set_masks does.  Stops at the first element that is not a number
// pair, or when no ';' follows, or when one ends the text.  Returns the count
// of pairs applied.  The text need not be zero-terminated.
int apply_flags(std::string_view text, std::span<uint32_t, KV_DEBUG_CATEGORIES> table);

} // namespace kuvra::debuglog
