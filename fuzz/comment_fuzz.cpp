// The header-comment translation alone: translate_header_comment on a first
// line and the lines after it, against a model of both comment forms, the
// continuation lines and the quote rule.  The definition written, if any,
// must also read back through the m4 scan (m4check.h) as exactly the model's
// name and value: a value that m4 would end early never gets out.
#include "m4check.h"
#include "ppmtodicom.h"
#include "report.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>

#include "linemodel.h"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

// Lines as the program reads them.
struct Reader : kvfuzz::LineModel {
    explicit Reader(std::string_view d) : LineModel{d, KV_LINE_BUFSIZE} {}
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
    for (const char *r :
         {"XX_OVERRIDE", "XX_UNSET", "XX_DEFAULT", "XX_OVERRIDE_IFDEF", "XX_OPTIONAL", "XX_REQUIRE",
          "XX_REQUIRE_VALUE", "XX_CURRENT_DATE", "XX_CURRENT_TIME", "XX_DATA_FORMAT"})
        if (name == r) return true;
    return name.rfind("XX_FIELD_", 0) == 0;
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
    if (first.compare(key, 7, "Dicom/(") == 0) {
        unsigned g, e;
        if (sscanf(first.c_str() + key + 7, "%x,%x", &g, &e) != 2) return m;
        value = after_colon_tab(first, key);
        if (!value) return m;
        char buf[40];
        snprintf(buf, sizeof buf, "XX_DICOM_%04X_%04X", g, e);
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
    m.written = nested(m.value) && !reserved(m.name);
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
    const std::string rest = all.substr(r.pos);

    char line[KV_LINE_BUFSIZE];
    memcpy(line, first.c_str(), first.size() + 1);
    char *out_buf = nullptr;
    size_t out_len = 0;
    FILE *in = rest.empty() ? fopen("/dev/null", "r")
                            : fmemopen(const_cast<char *>(rest.data()), rest.size(), "r");
    FILE *out = open_memstream(&out_buf, &out_len);
    if (!in || !out) abort();
    const enum kv_comment_next next = translate_header_comment(line, sizeof line, in, out);
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
        dprintf(fuzzreport::fd, "pending line [%s], model [%s]\n", line, m.pending.c_str());
        abort();
    }
    return 0;
}
