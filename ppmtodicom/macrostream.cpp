// The frame of the macro stream (prelude, date, time) and the translation of
// header comments into definitions.
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>

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
    "define([[XX_REQUIRE_VALUE]],[[ifelse($1,[[$2]],,[[errprint([[Incorrect value ]]$1[[ for $1 "
    "- should be $2.\n]])m4exit(1)]])]])\n";

static_assert(sizeof kv_m4_prelude_text == KV_M4_PRELUDE_LENGTH + 1);

namespace {

// A value joined from continuation lines is held whole until its last line
// (the quote check needs all of it); past this it is dropped instead of
// letting a header grow memory without bound.
constexpr size_t header_value_max = 16u << 20;

// White space of the default POSIX locale; a line holds no LF or CR.
constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}
constexpr bool is_alnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

const char *skip_blanks(const char *p) {
    while (is_blank(*p))
        p++;
    return p;
}

// The line is "#", blanks, "+", then somewhere ":" and a tab: returns the
// text after that tab, else nullptr.
const char *continuation_value(const char *line) {
    if (line[0] != '#') return nullptr;
    const char *p = skip_blanks(line + 1);
    if (*p != '+') return nullptr;
    const char *colon = strchr(p, ':');
    if (!colon || colon[1] != '\t') return nullptr;
    return colon + 2;
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
    case 8:
        return "P5";
    case 9:
        return "P6";
    case 24:
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

enum kv_comment_next translate_header_comment(char *line, int size, FILE *in, FILE *out) {
    const char *key = skip_blanks(line + 1);
    const char *colon = strchr(key, ':');
    std::string head; // "define([[name]],[[" once the form is recognised
    if (strncmp(key, "Dicom/(", 7) == 0) {
        unsigned group = 0, element = 0;
        if (sscanf(key + 7, "%x,%x", &group, &element) != 2) return KV_COMMENT_NONE;
        if (!colon || colon[1] != '\t') return KV_COMMENT_NONE;
        char buf[64];
        snprintf(buf, sizeof buf, "define([[XX_DICOM_%04X_%04X]],[[", group, element);
        head = buf;
    } else {
        if (!colon || colon[1] != '\t') return KV_COMMENT_NONE;
        head = "define([[XX_";
        for (const char *p = key; p < colon; p++)
            head += is_alnum(*p) ? *p : '_';
        head += "]],[[";
    }
    // The key for the log, as it stood; the line buffer is reused below.
    std::string rawkey(key, size_t(colon - key));
    std::string value(colon + 2);
    bool too_long = false;

    enum kv_comment_next next;
    for (;;) {
        if (!fgets_killcrnl(line, size, in)) {
            next = KV_COMMENT_EOF;
            break;
        }
        const char *more = continuation_value(line);
        if (!more) {
            next = KV_COMMENT_PENDING;
            break;
        }
        size_t n = strlen(more);
        if (too_long || value.size() + n > header_value_max) {
            too_long = true;
            value.clear();
            continue;
        }
        value.append(more, n);
    }

    if (too_long) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Header comment too long dropped: %s\n",
                     rawkey.c_str());
    } else if (!m4_quotes_balanced(value.data(), value.size())) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Header comment with unbalanced m4 quotes dropped: %s\n", rawkey.c_str());
    } else {
        fwrite(head.data(), 1, head.size(), out);
        fwrite(value.data(), 1, value.size(), out);
        fputs("]])\n", out);
    }
    return next;
}

} // extern "C"
