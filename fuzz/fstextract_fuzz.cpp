// kuvra_FST_extract's checks and copy in-process over memory streams,
// against a model of the capsule frame: the status, the one message, and
// the bytes written (exactly the file's bytes, or the part that was there).
#include "fstextract.h"
#include "report.h"

#include "linemodel.h"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

// Lines as the program reads them.
struct Reader : kvfuzz::LineModel {
    explicit Reader(std::string_view d) : LineModel{d, FSTEXTRACT_BUFSIZE} {}
};

// A signed decimal after C-locale white space; none for no digits, a
// negative value, or one beyond 64 bits.
std::optional<int64_t> filesize(std::string_view t) {
    size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || (t[i] >= '\t' && t[i] <= '\r')))
        i++;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    size_t first = i;
    using u128 = unsigned __int128;
    u128 v = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        v = v * 10 + unsigned(t[i++] - '0');
        if (v > u128(INT64_MAX) + 1) return std::nullopt;
    }
    if (i == first) return std::nullopt;
    if (neg) return v == 0 ? std::optional<int64_t>(0) : std::nullopt;
    if (v > u128(INT64_MAX)) return std::nullopt;
    return int64_t(v);
}

struct Expected {
    int status;
    std::string message;
    std::string out;
};

Expected model(std::string_view in) {
    Reader r{in};
    auto magic = r.line();
    if (!magic) return {1, "Cannot read magic.\n", ""};
    if (*magic != "KUVRA_FST") return {1, "Unsupported magic.\n", ""};
    struct {
        const char *text;
        bool skip;
        const char *message;
    } frame[] = {{"FIELD", true, "Expected 'FIELD' keyword.\n"},
                 {"FileCapsule", true, "Expected 'FileCapsule' keyword.\n"},
                 {"U8 1", false, "Expected 'U8 1' type.\n"},
                 {"1", false, "Expected 1-dimensional capsule.\n"}};
    for (const auto &f : frame) {
        auto l = r.line(f.skip);
        if (!l || *l != f.text) return {1, f.message, ""};
    }
    auto size_line = r.line();
    if (!size_line) return {1, "Cannot read filesize.\n", ""};
    auto size = filesize(*size_line);
    if (!size) return {1, "Cannot parse filesize.\n", ""};
    if (!r.line()) return {1, "Cannot read padded filesize.\n", ""};
    const size_t avail = in.size() - r.pos;
    if (uint64_t(*size) > avail)
        return {1, "Capsule data ends early.\n", std::string(in.substr(r.pos))};
    return {0, "", std::string(in.substr(r.pos, size_t(*size)))};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 300000) return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    char *out_buf = nullptr, *err_buf = nullptr;
    size_t out_len = 0, err_len = 0;
    FILE *in = input.empty() ? fopen("/dev/null", "r")
                             : fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    FILE *out = open_memstream(&out_buf, &out_len);
    FILE *err = open_memstream(&err_buf, &err_len);
    if (!in || !out || !err) abort();
    const int status = fst_extract_capsule(in, out, err);
    fclose(in);
    fclose(out);
    fclose(err);
    const std::string got_out(out_buf, out_len), got_err(err_buf, err_len);
    free(out_buf);
    free(err_buf);

    const Expected want = model(input);
    if (status != want.status || got_err != want.message || got_out != want.out) {
        dprintf(fuzzreport::fd,
                "status %d (want %d)\nstderr [%s] (want [%s])\nout %zu bytes (want %zu)\n", status,
                want.status, got_err.c_str(), want.message.c_str(), got_out.size(),
                want.out.size());
        abort();
    }
    return 0;
}
