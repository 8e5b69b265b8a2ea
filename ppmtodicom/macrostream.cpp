// The frame of the macro stream (prelude, date, time) and the translation of
// header comments into definitions.
#include "fields.h"
#include "keys.h"
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/filetype.h>
#include <kuvra/internal/dicomdict.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/time.h>

// Module templates are written against these macro names and this exact text.
// Line 1 discards all output until the closing "divert[[]]dnl", line 2 makes
// "[[" and "]]" the quotes of every definition that follows.
const char kv_m4_prelude_text[KV_M4_PRELUDE_LENGTH + 1] =
    "divert(-1)dnl\n"
    "changequote([[,]])\n"
    "define([[XX_OVERRIDE]],[[define([[$1]],[[$2]])]])\n"
    "define([[XX_UNSET]],[[undefine([[$1]])]])\n"
    "define([[XX_DEFAULT]],[[ifdef([[$1]],,[[define([[$1]],[[$2]])]])]])\n"
    "define([[XX_OVERRIDE_IFDEF]],[[ifdef([[$2]],[[define([[$1]],[[$2]])]])]])\n"
    "define([[XX_OPTIONAL]],[[ifdef([[$1]],,[[define([[$1]],[[]])]])]])\n"
    "define([[XX_REQUIRE]],[[ifdef([[$1]],,[[errprint([[Cannot find $1, but marked as "
    "required.\n]])m4exit(1)]])]])\n"
    "define([[XX_REQUIRE_VALUE]],[[ifelse(defn([[$1]]),[[$2]],,[[errprint([[Incorrect value "
    "]]defn([[$1]])[[ for $1 - should be $2.\n]])m4exit(1)]])]])\n";

static_assert(sizeof kv_m4_prelude_text == KV_M4_PRELUDE_LENGTH + 1);

namespace {

// White space of the default POSIX locale; a line holds no LF or CR.
constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}
constexpr bool is_alnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

size_t skip_blanks(std::string_view s, size_t at) {
    while (at < s.size() && is_blank(s[at]))
        at++;
    return at;
}

// A byte that must not stand in a header value: the C0 controls and DEL.
// TAB, FF and ESC are let through, being characters of DICOM text (ESC
// begins the escape sequences of the ISO 2022 character sets), and so is
// every byte from 128 up (UTF-8 and the other sets).  The synthesizer
// checks what each of them may do in its attribute.  A NUL or CR would be
// cut off on the way (the value "Doe<NUL>Jane" arrived as "Doe").
constexpr bool is_forbidden_control(unsigned char c) {
    return (c < 0x20 && c != '\t' && c != '\f' && c != 0x1B) || c == 0x7F;
}

enum class HexScan { none, ok, too_big };

// Why a header comment is left out, in the order of the checks.
enum class Drop { kept, tag_number, reserved, control, quotes };

// One number as "%x" reads it (leading white space, a sign, "0x"), from
// s[at]; at is moved behind it.  too_big for a value beyond 0xFFFF or a
// negative one: "%x" would wrap it into another tag's number.
HexScan scan_tag_number(std::string_view s, size_t &at, unsigned &value) {
    size_t p = skip_blanks(s, at);
    bool negative = false;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    if (p + 2 < s.size() && s[p] == '0' && (s[p + 1] == 'x' || s[p + 1] == 'X') &&
        hex(s[p + 2]) >= 0)
        p += 2;
    if (p >= s.size() || hex(s[p]) < 0) return HexScan::none;
    uint32_t v = 0;
    bool big = false;
    for (; p < s.size() && hex(s[p]) >= 0; p++) {
        v = v * 16 + uint32_t(hex(s[p]));
        if (v > 0xFFFF) big = true, v = 0x10000;
    }
    at = p;
    value = v;
    return big || (negative && v != 0) ? HexScan::too_big : HexScan::ok;
}

// Macros that the converter defines itself and that templates expand: the
// prelude's utility macros, the run's date, time and format, the field
// macros, the attribute list and the origins of its values.  A header comment of one of these names
// would replace them with its value, which m4 then runs as input (a value "syscmd(...)" for
// XX_DATA_FORMAT runs a command once a template checks the format).
constexpr std::string_view reserved_names[] = {
    "XX_OVERRIDE",     "XX_UNSET",       "XX_DEFAULT",       "XX_OVERRIDE_IFDEF",
    "XX_OPTIONAL",     "XX_REQUIRE",     "XX_REQUIRE_VALUE", "XX_CURRENT_DATE",
    "XX_CURRENT_TIME", "XX_DATA_FORMAT", "XX_ATTRIBUTES",
};

bool reserved_macro(std::string_view name) {
    for (std::string_view r : reserved_names)
        if (name == r) return true;
    return name.starts_with("XX_FIELD_") || name.starts_with("XX_ORIGIN_");
}

// Adds the attribute that a kept header comment names to attrs: the tag of
// the Dicom form (vr: the one the key gives after the tag, or none), or the
// keyword of the generic form (keyword set, tag unused).
void note_attribute(kuvra_convert::AttributeList *attrs, const std::string &rawkey, bool dicom,
                    unsigned group, unsigned element, std::string_view vr) {
    using kuvra::internal::DictEntry;
    const DictEntry *d = nullptr;
    if (dicom) {
        d = kuvra::internal::dict_find_tag(uint16_t(group), uint16_t(element));
    } else {
        d = kuvra::internal::dict_find_keyword(rawkey);
        if (!d || d->is_range()) return; // no attribute: a key of the templates, or none
        group = d->group;
        element = d->element;
    }
    std::string_view keyword = d ? d->keyword() : std::string_view();
    if (vr.empty() && !d) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Header comment %s: the attribute is not in the data dictionary; name its "
                     "VR, as in Dicom/(gggg,eeee)/LO\n",
                     rawkey.c_str());
        return;
    }
    const std::string dict_vr(vr.empty() ? d->vr_name() : vr);
    std::string_view text = kuvra_convert::text_vr(dict_vr);
    if (text.empty()) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Header comment %s: its attribute has VR %s, which no header comment "
                     "can give; left out\n",
                     rawkey.c_str(), dict_vr.c_str());
        return;
    }
    attrs->add(uint16_t(group), uint16_t(element), text, keyword, rawkey, dicom);
}

// The keyword that a generic key which names no attribute was meant to be,
// or none: an unknown key that is far from every keyword is the input's
// own business (a PNM's "# CREATOR: ...").
std::string_view keyword_meant(std::string_view key) {
    if (kuvra::internal::dict_find_keyword(key) || kuvra_convert::is_template_key(key)) return {};
    const kuvra::internal::DictEntry *d = kuvra::internal::dict_keyword_meant(key);
    return d ? d->keyword() : std::string_view();
}

// A comment "#Key: value" is dropped, as one without a colon is; it says so
// when its key is a DICOM form or names (nearly) a keyword or a template's
// key, since that value was surely meant to arrive.
void warn_blank_for_tab(std::string_view key, size_t colon) {
    if (colon == std::string_view::npos || colon + 1 >= key.size() || key[colon + 1] == '\t' ||
        !is_blank(key[colon + 1]))
        return;
    std::string k(key.substr(0, colon));
    std::string meant = k;
    if (!key.starts_with("Dicom/(") && !kuvra::internal::dict_find_keyword(k) &&
        !kuvra_convert::is_template_key(k)) {
        std::string_view m = keyword_meant(k);
        if (m.empty()) return;
        meant = m;
    }
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                 "Header comment %s dropped: a blank follows the colon where a TAB must; write "
                 "#%s:<TAB>value\n",
                 k.c_str(), meant.c_str());
}

// The line is "#", blanks, "+", then somewhere ":" and a tab: true with
// *value set to the text after that tab.
bool continuation_value(std::string_view line, std::string_view *value) {
    if (line.empty() || line[0] != '#') return false;
    size_t p = skip_blanks(line, 1);
    if (p >= line.size() || line[p] != '+') return false;
    size_t colon = line.find(':', p);
    if (colon == std::string_view::npos || colon + 1 >= line.size() || line[colon + 1] != '\t')
        return false;
    *value = line.substr(colon + 2);
    return true;
}

} // namespace

extern "C" {

int m4_prelude_at(FILE *out, const struct tm *when) {
    fwrite(kv_m4_prelude_text, 1, KV_M4_PRELUDE_LENGTH, out);
    fprintf(out, "define([[XX_CURRENT_DATE]],[[%04d%02d%02d]])\n", when->tm_year + 1900,
            when->tm_mon + 1, when->tm_mday);
    fprintf(out, "define([[XX_CURRENT_TIME]],[[%02d%02d%02d]])\n", when->tm_hour, when->tm_min,
            when->tm_sec);
    return 0;
}

int m4_prelude(FILE *out) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t t = tv.tv_sec;
    struct tm when {};
    localtime_r(&t, &when);
    return m4_prelude_at(out, &when);
}

const char *data_format_name(int magic) {
    switch (magic) {
    case KV_MAGIC_PGM:
        return "P5";
    case KV_MAGIC_PPM:
        return "P6";
    case KV_MAGIC_FST:
        return "KUVRA_FIELDSET";
    default:
        return nullptr;
    }
}

// m4 reads a quoted string by testing for the closing quote before the
// opening one at every byte; the scan follows it exactly, so that a value
// accepted here ends inside the definition's own quotes.
int m4_quotes_balanced(const char *text, size_t len) {
    std::string_view v(text, len);
    size_t depth = 0;
    for (size_t i = 0; i < v.size();) {
        if (v.compare(i, 2, "]]") == 0) {
            if (depth == 0) return 0;
            depth--;
            i += 2;
        } else if (v.compare(i, 2, "[[") == 0) {
            depth++;
            i += 2;
        } else {
            i++;
        }
    }
    return depth == 0;
}

} // extern "C"

namespace kuvra_convert {

void AttributeList::add(uint16_t group, uint16_t element, std::string_view vr,
                        std::string_view keyword, std::string_view key, bool tag_form) {
    // The origin stands quoted in the stream and on one line of the
    // template's output: no quote, no control character.
    std::string origin = source_.empty() ? "header comment #" + std::string(key) : source_;
    for (char &c : origin)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '[' || c == ']') c = '?';
    auto [at, added] = attrs_.try_emplace(
        uint32_t(group) << 16 | element,
        Attribute{std::string(vr) + " " + std::string(keyword), origin, tag_form});
    if (!added && (tag_form || !at->second.tag_form)) {
        at->second.origin = std::move(origin);
        at->second.tag_form = tag_form;
    }
}

void AttributeList::write(FILE *out) const {
    if (attrs_.empty()) return;
    for (const auto &[tag, a] : attrs_)
        fprintf(out, "define([[XX_ORIGIN_%04X_%04X]],[[%s]])\n", unsigned(tag >> 16),
                unsigned(tag & 0xFFFF), a.origin.c_str());
    fputs("define([[XX_ATTRIBUTES]],[[", out);
    for (const auto &[tag, a] : attrs_)
        fprintf(out, "%04X %04X %s;", unsigned(tag >> 16), unsigned(tag & 0xFFFF),
                a.vr_keyword.c_str());
    fputs("]])\n", out);
}

namespace {

static_assert(LineReader::comments_max_count == 4096 && LineReader::comments_max_bytes == size_t(1)
                                                                                              << 20,
              "the message names the bounds");

enum kv_comment_next comments_over() {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                 "More than 4096 header comments or 1 MiB of them; the input is refused.\n");
    return KV_COMMENT_OVER;
}

} // namespace

enum kv_comment_next translate_header_comment(LineReader &lines, FILE *out, AttributeList *attrs) {
    // A value joined from continuation lines is held whole until its last
    // line (the quote check needs all of it): the bound keeps it small.
    if (!lines.count_comment_line(true)) return comments_over();
    const std::string_view line = lines.text();
    const std::string_view key = line.substr(skip_blanks(line, 1));
    const size_t colon = key.find(':');
    const bool tab =
        colon != std::string_view::npos && colon + 1 < key.size() && key[colon + 1] == '\t';
    std::string head; // "define([[name]],[[" once the form is recognised
    Drop drop = Drop::kept;
    const bool dicom = key.starts_with("Dicom/(");
    unsigned group = 0, element = 0;
    std::string vr; // "Dicom/(gggg,eeee)/VR": the VR of a private attribute
    if (dicom) {
        size_t at = 7;
        HexScan g = scan_tag_number(key, at, group);
        if (g == HexScan::none || at >= key.size() || key[at] != ',') return KV_COMMENT_NONE;
        at++;
        HexScan e = scan_tag_number(key, at, element);
        if (e == HexScan::none) return KV_COMMENT_NONE;
        if (!tab) {
            warn_blank_for_tab(key, colon);
            return KV_COMMENT_NONE;
        }
        if (g == HexScan::too_big || e == HexScan::too_big) drop = Drop::tag_number;
        at = skip_blanks(key, at);
        if (key.compare(at, 2, ")/") == 0 && at + 4 <= colon && key[at + 2] >= 'A' &&
            key[at + 2] <= 'Z' && key[at + 3] >= 'A' && key[at + 3] <= 'Z')
            vr = std::string(key.substr(at + 2, 2));
        char buf[64];
        snprintf(buf, sizeof buf, "define([[XX_DICOM_%04X_%04X]],[[", group, element);
        head = buf;
    } else {
        if (!tab) {
            warn_blank_for_tab(key, colon);
            return KV_COMMENT_NONE;
        }
        head = "define([[XX_";
        for (char c : key.substr(0, colon))
            head += is_alnum(c) ? c : '_';
        head += "]],[[";
    }
    // The key for the log, as it stood; the reader's line is replaced below.
    std::string rawkey(key.substr(0, colon));
    std::string value(key.substr(colon + 2));

    enum kv_comment_next next;
    for (;;) {
        if (!lines.next()) {
            next = KV_COMMENT_EOF;
            break;
        }
        std::string_view more;
        if (!continuation_value(lines.text(), &more)) {
            next = KV_COMMENT_PENDING;
            break;
        }
        if (!lines.count_comment_line(false)) return comments_over();
        value.append(more);
    }

    // head is "define([[NAME]],[["
    const std::string_view name = std::string_view(head).substr(9, head.size() - 9 - 5);
    unsigned char control = 0;
    if (drop == Drop::kept && reserved_macro(name)) drop = Drop::reserved;
    for (size_t i = 0; drop == Drop::kept && i < value.size(); i++)
        if (is_forbidden_control(static_cast<unsigned char>(value[i]))) {
            control = static_cast<unsigned char>(value[i]);
            drop = Drop::control;
        }
    if (drop == Drop::kept && !m4_quotes_balanced(value.data(), value.size())) drop = Drop::quotes;
    const char *k = rawkey.c_str();
    switch (drop) {
    case Drop::tag_number:
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Header comment with a tag number beyond four hex digits dropped: %s\n", k);
        break;
    case Drop::reserved:
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Header comment with reserved macro name dropped: %s\n", k);
        break;
    case Drop::control:
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Header comment with control character 0x%02X dropped: %s\n", control, k);
        break;
    case Drop::quotes:
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Header comment with unbalanced m4 quotes dropped: %s\n", k);
        break;
    case Drop::kept:
        fwrite(head.data(), 1, head.size(), out);
        fwrite(value.data(), 1, value.size(), out);
        fputs("]])\n", out);
        if (attrs) note_attribute(attrs, rawkey, dicom, group, element, vr);
        if (std::string meant(dicom ? std::string_view() : keyword_meant(rawkey)); !meant.empty())
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                         "Header comment %s is not a DICOM keyword and sets no attribute; did "
                         "you mean %s?\n",
                         k, meant.c_str());
        break;
    }
    return next;
}

} // namespace kuvra_convert
