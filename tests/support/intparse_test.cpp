// The checked integer parser of the text formats.
#include <kuvra/internal/intparse.h>

#include <cstdint>
#include <gtest/gtest.h>
#include <string>

using kuvra::internal::IntSyntax;
using kuvra::internal::parse_int;

namespace {

// "status value used" of one parse, for compact expectations.
template <class T>
std::string parsed(std::string_view text, T min, T max, const IntSyntax &syntax = {}) {
    const auto r = parse_int<T>(text, min, max, syntax);
    const char *status[] = {"none", "ok", "range"};
    return std::string(status[r.status]) + " " + std::to_string(r.value) + " " +
           std::to_string(r.used);
}

} // namespace

// Blanks, signs and digits as strtol takes them, the range checked on both
// sides with every digit of a number out of range consumed, and no number
// where a sign stands alone or twice.
TEST(IntParse, RangeSignsBlanksAndWhatIsTaken) {
    const int32_t lo = INT32_MIN, hi = INT32_MAX;
    EXPECT_EQ(parsed<int32_t>(" \t\n+42x", lo, hi), "ok 42 6");
    EXPECT_EQ(parsed<int32_t>("-2147483648", lo, hi), "ok -2147483648 11");
    EXPECT_EQ(parsed<int32_t>("2147483648", lo, hi), "range 2147483647 10");
    EXPECT_EQ(parsed<int32_t>("-2147483649", lo, hi), "range -2147483648 11");
    EXPECT_EQ(parsed<int32_t>("99999999999999999999999 1", lo, hi), "range 2147483647 23");
    for (const char *none : {"", "   ", "+", "-", "+-1", "--1", "- 1", "x1", "\v"})
        EXPECT_EQ(parsed<int32_t>(none, lo, hi), "none 0 0") << none;
    EXPECT_EQ(parsed<int64_t>("-0", 0, INT64_MAX), "ok 0 2");
    EXPECT_EQ(parsed<int64_t>("-1", 0, INT64_MAX), "range 0 2");
    EXPECT_EQ(parsed<int64_t>("9223372036854775807", 0, INT64_MAX), "ok 9223372036854775807 19");
    EXPECT_EQ(parsed<int64_t>("-9223372036854775808", INT64_MIN, INT64_MAX),
              "ok -9223372036854775808 20");
    EXPECT_EQ(parsed<uint64_t>("18446744073709551615", 0, UINT64_MAX),
              "ok 18446744073709551615 20");
    EXPECT_EQ(parsed<uint64_t>("18446744073709551616", 0, UINT64_MAX),
              "range 18446744073709551615 20");
    EXPECT_EQ(parsed<int64_t>("5", 6, 9), "range 6 1");

    // A narrower syntax: no blanks, no minus.
    const IntSyntax strict{.blanks = "", .minus = false};
    EXPECT_EQ(parsed<uint64_t>(" 1", 0, 9, strict), "none 0 0");
    EXPECT_EQ(parsed<uint64_t>("-1", 0, 9, strict), "none 0 0");
    EXPECT_EQ(parsed<uint64_t>("+7", 0, 9, strict), "ok 7 2");
    EXPECT_EQ(parsed<int32_t>("\n7", lo, hi, {.blanks = " \t"}), "none 0 0");

    // C's prefixes: hexadecimal only with a digit behind "0x", else octal.
    const IntSyntax c{.c_prefixes = true};
    EXPECT_EQ(parsed<int64_t>("0x1fZ", INT64_MIN, INT64_MAX, c), "ok 31 4");
    EXPECT_EQ(parsed<int64_t>("-0X10", INT64_MIN, INT64_MAX, c), "ok -16 5");
    EXPECT_EQ(parsed<int64_t>("0xg", INT64_MIN, INT64_MAX, c), "ok 0 1");
    EXPECT_EQ(parsed<int64_t>("0178", INT64_MIN, INT64_MAX, c), "ok 15 3");
    EXPECT_EQ(parsed<int64_t>("017", INT64_MIN, INT64_MAX), "ok 17 3");
}
