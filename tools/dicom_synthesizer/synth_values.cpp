#include "synth_values.h"

#include <kuvra/internal/intparse.h>

#include <algorithm>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kuvra::synth {

namespace {

struct VrInfo {
    const char *name;
    bool binary;
};

// The value representations of the standard.  Binary ones carry a byte count
// on their line; all others carry their value as text (numbers included).
constexpr std::array<VrInfo, 34> vr_table{{
    {"AE", false}, {"AS", false}, {"AT", false}, {"CS", false}, {"DA", false}, {"DS", false},
    {"DT", false}, {"FD", false}, {"FL", false}, {"IS", false}, {"LO", false}, {"LT", false},
    {"OB", true},  {"OD", true},  {"OF", true},  {"OL", true},  {"OV", true},  {"OW", true},
    {"PN", false}, {"SH", false}, {"SL", false}, {"SQ", false}, {"SS", false}, {"ST", false},
    {"SV", false}, {"TM", false}, {"UC", false}, {"UI", false}, {"UL", false}, {"UN", true},
    {"UR", false}, {"US", false}, {"UT", false}, {"UV", false},
}};

const VrInfo *find_vr(std::string_view vr) {
    for (const auto &v : vr_table)
        if (vr == v.name) return &v;
    return nullptr;
}

// Largest number of characters per value, by VR (0: no limit of its own).
// LT, ST, UT and UR hold one value in which a backslash is an ordinary byte.
struct TextRule {
    const char *vr;
    size_t max_chars;
    bool multi; // backslash separates values
};
constexpr std::array<TextRule, 17> text_rules{{
    {"AE", 16, true},
    {"AS", 4, true},
    {"CS", 16, true},
    {"DA", 8, true},
    {"DS", 16, true},
    {"DT", 26, true},
    {"IS", 12, true},
    {"LO", 64, true},
    {"LT", 10240, false},
    {"PN", 64, true},
    {"SH", 16, true},
    {"ST", 1024, false},
    {"TM", 14, true},
    {"UC", 0, true},
    {"UI", 64, true},
    {"UR", 0, false},
    {"UT", 0, false},
}};

const TextRule *find_text_rule(std::string_view vr) {
    for (const auto &r : text_rules)
        if (vr == r.vr) return &r;
    return nullptr;
}

// Binary numbers given as text: size of one value and its range.
struct NumberRule {
    const char *vr;
    bool is_float;
    bool is_signed;
    int bits;
};
constexpr std::array<NumberRule, 8> number_rules{{
    {"US", false, false, 16},
    {"SS", false, true, 16},
    {"UL", false, false, 32},
    {"SL", false, true, 32},
    {"UV", false, false, 64},
    {"SV", false, true, 64},
    {"FL", true, true, 32},
    {"FD", true, true, 64},
}};

const NumberRule *find_number_rule(std::string_view vr) {
    for (const auto &r : number_rules)
        if (vr == r.vr) return &r;
    return nullptr;
}

template <typename F> void for_each_value(std::string_view v, F &&f) {
    for (;;) {
        size_t bs = v.find('\\');
        f(v.substr(0, bs));
        if (bs == std::string_view::npos) break;
        v.remove_prefix(bs + 1);
    }
}

bool number_ok(std::string_view s, const NumberRule &r) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    if (s.empty() || s.size() > 64) return false;
    std::string t(s);
    char *end = nullptr;
    errno = 0;
    if (r.is_float) {
        double d = strtod(t.c_str(), &end);
        if (*end || errno == ERANGE || !std::isfinite(d)) return false;
        return r.bits == 64 || std::fabs(d) <= 3.4028234663852886e38;
    }
    // The whole value is one number: no blanks inside, no '-' on an
    // unsigned one.
    using kuvra::internal::parse_int;
    const kuvra::internal::IntSyntax syntax{.blanks = "", .minus = r.is_signed};
    if (r.is_signed) {
        const int64_t lim = r.bits == 64 ? INT64_MAX : (int64_t(1) << (r.bits - 1)) - 1;
        const auto v = parse_int<int64_t>(s, -lim - 1, lim, syntax);
        return v.status == v.ok && v.used == s.size();
    }
    const uint64_t lim = r.bits == 64 ? UINT64_MAX : (uint64_t(1) << r.bits) - 1;
    const auto v = parse_int<uint64_t>(s, 0, lim, syntax);
    return v.status == v.ok && v.used == s.size();
}

// Whether one value (between backslashes) exceeds the limit of its rule.
bool too_long(std::string_view vr, std::string_view one, const TextRule &r, bool utf8) {
    if (vr != "PN") return value_chars(one, utf8) > r.max_chars;
    // The limit holds per component group (alphabetic, ideographic, phonetic).
    for (;;) {
        size_t eq = one.find('=');
        if (value_chars(one.substr(0, eq), utf8) > r.max_chars) return true;
        if (eq == std::string_view::npos) return false;
        one.remove_prefix(eq + 1);
    }
}

} // namespace

bool is_binary_vr(std::string_view vr) {
    const VrInfo *v = find_vr(vr);
    return v && v->binary;
}

bool is_known_vr(std::string_view vr) {
    return find_vr(vr) != nullptr;
}

uint32_t bytes_per_value(std::string_view vr) {
    return vr == "OW" ? 2 : vr == "OF" || vr == "OL" ? 4 : vr == "OD" || vr == "OV" ? 8 : 1;
}

std::string tag_text(uint16_t g, uint16_t e) {
    char b[16];
    snprintf(b, sizeof b, "(%04X,%04X)", g, e);
    return b;
}

bool has_non_ascii(std::string_view v) {
    for (unsigned char c : v)
        if (c >= 0x80) return true;
    return false;
}

size_t value_chars(std::string_view v, bool utf8) {
    if (!utf8) return v.size();
    size_t n = 0;
    for (unsigned char c : v)
        n += (c & 0xC0) != 0x80;
    return n;
}

bool is_valid_utf8(std::string_view v) {
    size_t i = 0;
    while (i < v.size()) {
        auto c = static_cast<unsigned char>(v[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > v.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(v[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
        static constexpr uint32_t min_cp[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

namespace {

bool all_digits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(std::string_view digits) {
    int n = 0;
    for (char c : digits)
        n = n * 10 + (c - '0');
    return n;
}

// YYYYMMDD of a day the calendar has: VR DA's pattern lets 20240230 pass.
bool real_date(std::string_view v) {
    if (v.size() != 8 || !all_digits(v)) return false;
    int y = number(v.substr(0, 4)), m = number(v.substr(4, 2)), d = number(v.substr(6, 2));
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= days[m - 1] + (m == 2 && leap);
}

// HH, HHMM, HHMMSS or HHMMSS.F to HHMMSS.FFFFFF, each part in its range
// (a second of 60 for the leap second).
bool real_time(std::string_view v) {
    std::string_view whole = v.substr(0, v.find('.'));
    if (whole.size() != v.size()) {
        std::string_view frac = v.substr(whole.size() + 1);
        if (whole.size() != 6 || frac.empty() || frac.size() > 6 || !all_digits(frac)) return false;
    }
    if ((whole.size() != 2 && whole.size() != 4 && whole.size() != 6) || !all_digits(whole))
        return false;
    return number(whole.substr(0, 2)) < 24 &&
           (whole.size() < 4 || number(whole.substr(2, 2)) < 60) &&
           (whole.size() < 6 || number(whole.substr(4, 2)) <= 60);
}

} // namespace

bool check_text_value(std::string_view vr, std::string_view v, bool utf8, std::string &why) {
    if ((vr == "DA" || vr == "TM") && !v.empty()) {
        const bool date = vr == "DA";
        bool bad = false;
        for_each_value(v, [&](std::string_view one) {
            while (!one.empty() && one.back() == ' ') // the padding of DICOM text
                one.remove_suffix(1);
            bad |= !one.empty() && !(date ? real_date(one) : real_time(one));
        });
        if (bad) {
            why = date ? "is not a date of the calendar: DA is YYYYMMDD, such as 20240131"
                       : "is not a time of day: TM is HHMMSS, HHMM or HH, with an optional "
                         "fraction of a second (HHMMSS.FFFFFF), such as 235959";
            return false;
        }
    }
    if (utf8 && has_non_ascii(v) && !is_valid_utf8(v)) {
        why = "is not valid UTF-8 (SpecificCharacterSet ISO_IR 192)";
        return false;
    }
    if (const NumberRule *nr = find_number_rule(vr); nr && !v.empty()) {
        bool bad = false;
        for_each_value(v, [&](std::string_view one) { bad |= !number_ok(one, *nr); });
        if (bad) {
            why = "is not a valid " + std::string(vr) + " number list: " + vr_form(vr);
            return false;
        }
    }
    if (const TextRule *tr = find_text_rule(vr); tr && tr->max_chars) {
        bool over = false;
        if (tr->multi)
            for_each_value(v, [&](std::string_view one) { over |= too_long(vr, one, *tr, utf8); });
        else
            over = too_long(vr, v, *tr, utf8);
        if (over) {
            why = "is longer than the " + std::to_string(tr->max_chars) + " characters that " +
                  std::string(vr) + " allows";
            return false;
        }
    }
    return true;
}

std::string vr_form(std::string_view vr) {
    struct Form {
        const char *vr, *text;
    };
    static constexpr Form forms[] = {
        {"AE", "at most 16 characters, no backslash or control character"},
        {"AS", "three digits and D, W, M or Y (days, weeks, months, years), such as 042Y"},
        {"AT", "a tag (gggg,eeee)"},
        {"CS", "at most 16 upper-case letters, digits, blanks and underscores, such as OT"},
        {"DA", "YYYYMMDD, such as 20240131"},
        {"DS", "a decimal number of at most 16 characters, such as 0.5 or -1.25e3"},
        {"DT", "YYYYMMDDHHMMSS.FFFFFF&ZZXX, from the year on, such as 20240131235959"},
        {"FD", "a floating-point number, such as 0.5"},
        {"FL", "a floating-point number of single precision, such as 0.5"},
        {"IS", "a whole number from -2147483648 to 2147483647, at most 12 characters"},
        {"LO", "at most 64 characters, no backslash or control character"},
        {"LT", "text of at most 10240 characters"},
        {"PN", "Family^Given^Middle^Prefix^Suffix, at most 64 characters per group, such as "
               "Doe^Jane"},
        {"SH", "at most 16 characters, no backslash or control character"},
        {"SL", "a whole number from -2147483648 to 2147483647"},
        {"SS", "a whole number from -32768 to 32767"},
        {"ST", "text of at most 1024 characters"},
        {"SV", "a whole number of 64 bits with a sign"},
        {"TM", "HHMMSS[.FFFFFF], HHMM or HH, such as 235959"},
        {"UC", "characters without backslash or control character"},
        {"UI", "at most 64 digits and dots, each part without a leading zero, such as "
               "1.2.840.10008.5.1.4.1.1.7"},
        {"UL", "a whole number from 0 to 4294967295"},
        {"UR", "a URI or URL without blanks"},
        {"US", "a whole number from 0 to 65535"},
        {"UT", "text"},
        {"UV", "a whole number of 64 bits without a sign"},
    };
    for (const Form &f : forms)
        if (vr == f.vr) return std::string(vr) + " is " + f.text;
    return {};
}

} // namespace kuvra::synth
