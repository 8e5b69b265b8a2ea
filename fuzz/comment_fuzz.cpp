// The header-comment translation alone: translate_header_comment on a first
// line and the lines after it, against a model of both comment forms, the
// continuation lines, the quote rule, the control-character rule and the
// range of tag numbers.  The definition written, if any,
// must also read back through the m4 scan (m4check.h) as exactly the model's
// name and value: a value that m4 would end early never gets out.
#include "m4check.h"
#include "ppmtodicom.h"
#include "report.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>

#include "fields.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

// Lines as the converter reads them: whole, without the LF and one CR
// before it (the inputs here are far below the reader's longest line).
struct Reader {
    std::string_view data;
    size_t pos = 0;
    std::optional<std::string> line() {
        if (pos >= data.size()) return std::nullopt;
        size_t end = data.find('\n', pos);
        if (end == std::string_view::npos) end = data.size();
        std::string l(data.substr(pos, end - pos));
        pos = end + 1;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        return l;
    }
};

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}
bool alnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Text after the first ':' from pos when a tab follows it.
std::optional<std::string> after_colon_tab(const std::string &l, size_t from) {
    size_t colon = l.find(':', from);
    if (colon == std::string::npos || colon + 1 >= l.size() || l[colon + 1] != '\t')
        return std::nullopt;
    return l.substr(colon + 2);
}

bool nested(std::string_view v) {
    int depth = 0;
    for (size_t i = 0; i < v.size();) {
        if (v.compare(i, 2, "]]") == 0) {
            if (depth-- == 0) return false;
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

// The converter's own macros, which no header comment may redefine.
bool reserved(const std::string &name) {
    for (const char *r : {"XX_OVERRIDE", "XX_UNSET", "XX_DEFAULT", "XX_OVERRIDE_IFDEF",
                          "XX_OPTIONAL", "XX_REQUIRE", "XX_REQUIRE_VALUE", "XX_CURRENT_DATE",
                          "XX_CURRENT_TIME", "XX_DATA_FORMAT", "XX_ATTRIBUTES"})
        if (name == r) return true;
    return name.rfind("XX_FIELD_", 0) == 0 || name.rfind("XX_ORIGIN_", 0) == 0;
}

// A byte the converter keeps out of values: C0 controls but TAB, FF and
// ESC, and DEL.
bool control(std::string_view v) {
    for (unsigned char c : v)
        if ((c < 0x20 && c != '\t' && c != '\f' && c != 0x1B) || c == 0x7F) return true;
    return false;
}

// "%x" as the key's tag numbers are read, without its wrap-around: the
// value, or -1 beyond four hex digits.
std::optional<long> hex_number(const std::string &s, size_t &at) {
    size_t p = at;
    while (p < s.size() && blank(s[p]))
        p++;
    bool neg = false;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) neg = s[p++] == '-';
    if (p + 2 < s.size() && s[p] == '0' && (s[p + 1] | 0x20) == 'x' &&
        isxdigit((unsigned char)s[p + 2]))
        p += 2;
    if (p >= s.size() || !isxdigit((unsigned char)s[p])) return std::nullopt;
    long v = 0;
    for (; p < s.size() && isxdigit((unsigned char)s[p]); p++)
        v = std::min(0x10000L, v * 16 + (isdigit((unsigned char)s[p]) ? s[p] - '0'
                                                                      : (s[p] | 0x20) - 'a' + 10));
    at = p;
    return v > 0xFFFF || (neg && v) ? -1 : v;
}

struct Model {
    bool written = false;
    std::string name, value;
    enum kv_comment_next next = KV_COMMENT_NONE;
    std::string pending; // the line handed back
};

Model model(const std::string &first, Reader r) {
    Model m;
    size_t key = 1;
    while (key < first.size() && blank(first[key]))
        key++;
    std::optional<std::string> value;
    bool bad_tag = false;
    if (first.compare(key, 7, "Dicom/(") == 0) {
        size_t at = key + 7;
        auto g = hex_number(first, at);
        if (!g || at >= first.size() || first[at] != ',') return m;
        ++at;
        auto e = hex_number(first, at);
        if (!e) return m;
        value = after_colon_tab(first, key);
        if (!value) return m;
        bad_tag = *g < 0 || *e < 0;
        char buf[40];
        snprintf(buf, sizeof buf, "XX_DICOM_%04X_%04X", unsigned(*g < 0 ? 0x10000 : *g),
                 unsigned(*e < 0 ? 0x10000 : *e));
        m.name = buf;
    } else {
        value = after_colon_tab(first, key);
        if (!value) return m;
        m.name = "XX_";
        for (size_t i = key; first[i] != ':'; i++)
            m.name += alnum(first[i]) ? first[i] : '_';
    }
    m.value = *value;
    for (;;) {
        auto l = r.line();
        if (!l) {
            m.next = KV_COMMENT_EOF;
            break;
        }
        size_t p = 1;
        while (p < l->size() && blank((*l)[p]))
            p++;
        std::optional<std::string> more;
        if ((*l)[0] == '#' && p < l->size() && (*l)[p] == '+') more = after_colon_tab(*l, p);
        if (!more) {
            m.next = KV_COMMENT_PENDING;
            m.pending = *l;
            break;
        }
        m.value += *more;
    }
    m.written = nested(m.value) && !reserved(m.name) && !control(m.value) && !bad_tag;
    return m;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    debug_init();
    debug_set_file(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 100000) return 0;
    // The first line is the comment (a '#' put in front), the rest follows it.
    const std::string all = "#" + std::string(reinterpret_cast<const char *>(data), size);
    Reader r{all};
    const std::string first = *r.line();
    const std::string rest = all.substr(std::min(r.pos, all.size()));

    char *out_buf = nullptr;
    size_t out_len = 0;
    FILE *in = fmemopen(const_cast<char *>(all.data()), all.size(), "r");
    FILE *out = open_memstream(&out_buf, &out_len);
    if (!in || !out) abort();
    kuvra_convert::LineReader lines(in);
    lines.next();
    const enum kv_comment_next next = kuvra_convert::translate_header_comment(lines, out);
    const std::string line(lines.text());
    fclose(in);
    fclose(out);
    const std::string stream(out_buf, out_len);
    free(out_buf);

    const Model m = model(first, Reader{rest});
    size_t pos = 0;
    const auto defs = m4check::definitions(stream, pos);
    if (pos != stream.size()) m4check::unsafe("text beside the definition", stream.substr(pos));
    if (defs.size() != (m.written ? 1u : 0u)) {
        dprintf(fuzzreport::fd, "%zu definitions, model %d\n", defs.size(), int(m.written));
        abort();
    }
    if (m.written && (defs[0].name != m.name || defs[0].value != m.value)) {
        dprintf(fuzzreport::fd, "defined [%s] as [%s], model [%s] as [%s]\n", defs[0].name.c_str(),
                defs[0].value.c_str(), m.name.c_str(), m.value.c_str());
        abort();
    }
    // A comment that does not parse is dropped before anything further is read.
    const enum kv_comment_next want = m.name.empty() ? KV_COMMENT_NONE : m.next;
    if (next != want) {
        dprintf(fuzzreport::fd, "returned %d, model %d\n", int(next), int(want));
        abort();
    }
    if (next == KV_COMMENT_PENDING && m.pending != line) {
        dprintf(fuzzreport::fd, "pending line [%s], model [%s]\n", line.c_str(), m.pending.c_str());
        abort();
    }
    return 0;
}
