// kuvra_pnmto3d32's conversion in-process over memory streams, checked
// against a model of the header rules and the voxel layout: the status,
// the one message, and on success every byte of the volume.
//
// Input: byte 0 picks the parts (header, data or both), the rest is the image.
#include "pnmto3d32.h"
#include "report.h"

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
    explicit Reader(std::string_view d) : LineModel{d, 10240} {}
};

// "%d" where the number must fit 32 bits.
std::optional<int32_t> number(std::string_view &t) {
    size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || (t[i] >= '\t' && t[i] <= '\r')))
        i++;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    size_t first = i;
    int64_t v = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        v = v * 10 + (t[i++] - '0');
        if (v > int64_t(1) << 32) return std::nullopt;
    }
    if (i == first) return std::nullopt;
    v = neg ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    t.remove_prefix(i);
    return int32_t(v);
}

struct Expected {
    int status = 1;
    std::string message; // the whole of stderr
    std::string out;     // the whole volume (on success, and before a row failure)
};

Expected model(std::string_view in, int select) {
    Expected e;
    Reader r{in};
    auto magic = r.line();
    if (!magic) return {1, "Cannot read magic.\n", ""};
    if (*magic != "P5" && *magic != "P6") return {1, "Unsupported magic.\n", ""};
    const bool colour = *magic == "P6";
    auto sizes = r.line_nocomment();
    if (!sizes) return {1, "Cannot read width/height.\n", ""};
    std::string_view st(*sizes);
    auto w = number(st);
    auto h = w ? number(st) : std::nullopt;
    if (!w || !h || *w < 0 || *h < 0) return {1, "Cannot parse width/height.\n", ""};
    auto depth_line = r.line_nocomment();
    if (!depth_line) return {1, "Cannot read depth.\n", ""};
    std::string_view dt(*depth_line);
    auto depth = number(dt);
    if (!depth) return {1, "Cannot parse depth.\n", ""};
    if (*depth > 65535) return {1, "Depth too high, not supported.\n", ""};
    int bpp = colour ? 3 : 1;
    if (*depth > 255) {
        if (colour) return {1, "Depth too high for non-P5, not supported.\n", ""};
        bpp = 2;
    }
    if (int64_t(*w) * 4 > INT32_MAX) return {1, "Cannot allocate line memory.\n", ""};

    if (select & PNMTO3D32_HEADER)
        e.out = "3D32\n" + std::to_string(*w) + " " + std::to_string(*h) + " 1\n\n";
    if (!(select & PNMTO3D32_DATA)) return {0, "", e.out};
    size_t at = r.pos;
    for (int32_t row = 0; *w > 0 && row < *h; ++row) {
        const size_t need = size_t(bpp) * size_t(*w);
        if (in.size() - at < need)
            return {1, "Cannot read line " + std::to_string(row) + ".\n", e.out};
        for (int32_t x = 0; x < *w; ++x) {
            const auto *p = reinterpret_cast<const unsigned char *>(in.data() + at) + x * bpp;
            unsigned char v[4] = {0, 0, 0, 0};
            if (bpp == 1) v[2] = p[0];
            if (bpp == 2) v[2] = p[1], v[3] = p[0];
            if (bpp == 3) v[1] = p[0], v[2] = p[1], v[3] = p[2];
            e.out.append(reinterpret_cast<char *>(v), 4);
        }
        at += need;
    }
    e.status = 0;
    e.message.clear();
    return e;
}

// Memory streams; an empty input still needs a stream that reads nothing.
FILE *reader(const std::string &bytes) {
    return bytes.empty() ? fopen("/dev/null", "r")
                         : fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "r");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 200000) return 0;
    static constexpr int selects[] = {PNMTO3D32_BOTH, PNMTO3D32_HEADER, PNMTO3D32_DATA};
    const int select = selects[data[0] % 3];
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);

    char *out_buf = nullptr, *err_buf = nullptr;
    size_t out_len = 0, err_len = 0;
    FILE *in = reader(input);
    FILE *out = open_memstream(&out_buf, &out_len);
    FILE *err = open_memstream(&err_buf, &err_len);
    if (!in || !out || !err) abort();
    const int status = pnmto3d32_convert(in, out, err, select);
    fclose(in);
    fclose(out);
    fclose(err);
    const std::string got_out(out_buf, out_len), got_err(err_buf, err_len);
    free(out_buf);
    free(err_buf);

    const Expected want = model(input, select);
    if (status != want.status || got_err != want.message || got_out != want.out) {
        fprintf(stderr,
                "status %d (want %d)\nstderr [%s] (want [%s])\nout %zu bytes (want %zu)%s\n",
                status, want.status, got_err.c_str(), want.message.c_str(), got_out.size(),
                want.out.size(), got_out == want.out ? "" : ", differ");
        abort();
    }
    return 0;
}
