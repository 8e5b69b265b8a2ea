// Search path expansion: KVPathExpandEnvironment and getpathcomponent against
// a plain std::string model of the same rules.
//
// Input: byte 0 picks the buffer size, byte 1 the component index, the rest
// (up to its first NUL) is the text.  A fixed set of variables is placed in
// the environment so that references can succeed, fail, grow and shrink the
// text, and insert values that themselves look like references.
#include "report.h"
#include <kuvra/fileutil.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The model: the same left-to-right expansion, with the library's length
// rule applied after every single replacement (the text in the buffer must
// keep fitting while later references are still unexpanded).
std::optional<std::string> model_expand(std::string_view t, size_t size) {
    std::string done;
    size_t i = 0;
    while (i < t.size()) {
        if (t[i] != '$' || i + 1 >= t.size() || t[i + 1] != '(') {
            done += t[i++];
            continue;
        }
        size_t close = t.find(')', i + 2);
        if (close == std::string_view::npos) return std::nullopt;
        std::string name(t.substr(i + 2, close - i - 2));
        if (name.empty() || name.find('=') != std::string::npos) return std::nullopt;
        const char *value = getenv(name.c_str());
        if (!value && name == "progpath") value = prog_path;
        if (!value) return std::nullopt;
        size_t rest = t.size() - close - 1;
        if (done.size() + strlen(value) + rest >= size) return std::nullopt;
        done += value;
        i = close + 1;
    }
    return done;
}

[[noreturn]] void fail(const char *what, std::string_view in, std::string_view got,
                       std::string_view want) {
    dprintf(fuzzreport::fd, "%s\n input: [%.*s]\n got:   [%.*s]\n want:  [%.*s]\n", what,
            int(in.size()), in.data(), int(got.size()), got.data(), int(want.size()), want.data());
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("A", "/a", 1);
    setenv("EMPTY", "", 1);
    setenv("HOME", "/home/fuzz", 1);
    setenv("REF", "$(A)", 1); // must be inserted literally, never rescanned
    setenv("OPEN", "$(", 1);  // would open a reference if rescanned
    setenv("LONG", std::string(900, 'L').c_str(), 1);
    vr_strncpy(prog_path, "/opt/kuvra", sizeof prog_path);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t bufsize = 1 + data[0] * 5; // 1 .. 1276, around the 1,024-byte path buffers
    const int index = data[1] % 8;
    std::string_view text(reinterpret_cast<const char *>(data + 2), size - 2);
    text = text.substr(0, text.find('\0'));

    // Expansion in place, in a heap buffer of exactly bufsize bytes so that
    // ASan sees any write past it.
    if (text.size() < bufsize) {
        std::vector<char> buf(bufsize);
        memcpy(buf.data(), text.data(), text.size());
        buf[text.size()] = '\0';
        int rc = KVPathExpandEnvironment(buf.data(), bufsize);
        std::optional<std::string> want = model_expand(text, bufsize);
        if (rc != 0 && rc != 1) fail("result neither 0 nor 1", text, "", "");
        if ((rc == 0) != want.has_value())
            fail(rc == 0 ? "expanded, should fail" : "failed, should expand", text, buf.data(),
                 want.value_or("(failure)"));
        if (rc == 0) {
            if (memchr(buf.data(), '\0', bufsize) == nullptr) fail("unterminated", text, "", "");
            if (*want != buf.data()) fail("wrong expansion", text, buf.data(), *want);
        }
    }

    // The component walk: the index-th component that fits and expands.
    std::string list(text);
    std::vector<std::string> expanded;
    size_t start = 0;
    while (start < list.size()) {
        size_t bar = list.find('|', start);
        std::string_view comp =
            std::string_view(list).substr(start, bar == std::string::npos ? bar : bar - start);
        if (comp.size() < bufsize)
            if (auto e = model_expand(comp, bufsize)) expanded.push_back(*e);
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    std::vector<char> dst(bufsize);
    char *got = getpathcomponent(list.c_str(), index, dst.data(), bufsize);
    if (size_t(index) < expanded.size()) {
        if (got != dst.data()) fail("component missing", text, "(null)", expanded[index]);
        if (expanded[index] != got) fail("wrong component", text, got, expanded[index]);
    } else if (got != nullptr) {
        fail("component past the end", text, got, "(null)");
    }
    return 0;
}
