// The integers of the text formats (image headers, fieldset blocks, the
// debug flags, element lists).  Internal, not installed.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace kuvra::internal {

// What may stand around the digits of one number.
struct IntSyntax {
    // Skipped before the number (strtol's white space by default).
    std::string_view blanks = " \t\n\v\f\r";
    bool plus = true;  // a leading '+'
    bool minus = true; // a leading '-'
    // C's prefixes, as strtol with base 0 reads them: "0x" and a hexadecimal
    // digit start a hexadecimal number, any other "0" an octal one.
    bool c_prefixes = false;
};

template <class T> struct ParsedInt {
    enum Status : uint8_t {
        none,         // no digit where the number should start
        ok,           // value holds it
        out_of_range, // beyond [min, max]: value is the bound it passed
    };
    Status status = none;
    T value = 0;
    // Bytes taken (blanks, sign, prefix, every digit, those of a number out
    // of range included); 0 for none.
    size_t used = 0;
};

// One integer at the start of text, in the range [min, max]: blanks, an
// optional sign, then digits, read with std::from_chars.  Digits after a
// sign are required: "+-1" and "- 1" are no number.
template <class T>
constexpr ParsedInt<T> parse_int(std::string_view text, T min, T max,
                                 const IntSyntax &syntax = {}) {
    static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(uint64_t));
    ParsedInt<T> r;
    size_t i = text.find_first_not_of(syntax.blanks);
    if (i == std::string_view::npos) return r;
    bool negative = false;
    if ((text[i] == '+' && syntax.plus) || (text[i] == '-' && syntax.minus))
        negative = text[i++] == '-';
    int base = 10;
    if (syntax.c_prefixes && i < text.size() && text[i] == '0') {
        base = 8;
        const bool hex_digit_next =
            i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
            std::string_view("0123456789abcdefABCDEF").find(text[i + 2]) != std::string_view::npos;
        if (hex_digit_next) {
            base = 16;
            i += 2;
        }
    }
    if (i >= text.size() || text[i] == '+' || text[i] == '-') return r;
    uint64_t magnitude = 0;
    const char *first = text.data() + i, *last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, magnitude, base);
    if (end == first) return r;
    r.used = size_t(end - text.data());
    // The largest magnitude each side of zero takes.
    const uint64_t below = min >= 0 ? 0 : uint64_t(-(min + 1)) + 1;
    const uint64_t above = max < 0 ? 0 : uint64_t(max);
    const bool in_range = ec == std::errc() && (negative ? magnitude <= below : magnitude <= above);
    if (!in_range) {
        r.status = r.out_of_range;
        r.value = negative ? min : max;
        return r;
    }
    r.value = negative ? (magnitude == 0 ? T(0) : T(-T(magnitude - 1) - 1)) : T(magnitude);
    r.status = r.value < min || r.value > max ? r.out_of_range : r.ok;
    if (r.status == r.out_of_range) r.value = r.value < min ? min : max;
    return r;
}

} // namespace kuvra::internal
