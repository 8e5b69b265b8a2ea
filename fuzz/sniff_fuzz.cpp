// File-type sniffing: getmagic_fromfd_tomem and getmagic over a descriptor
// holding the input, checked against a model written from the type table
// (leading bytes per step, the Analyze 7.5 and NIfTI-1 header tests) and the
// count contract callers rely on to push the consumed bytes back.
//
// Input: byte 0 picks the buffer capacity (some below a step's total, most
// at the callers' 512), the rest is the stream.
#include "report.h"
#include <kuvra/filetype.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct Pattern {
    int step;
    int offset;
    std::string_view bytes;
    int code;
};

using namespace std::string_view_literals;

constexpr std::array<int, 12> totals = {2, 3, 4, 5, 6, 7, 10, 12, 19, 132, 148, 348};

// In the order the steps try them.
constexpr Pattern patterns[] = {
    {1, 0, "\x1f\x8b"sv, 2},
    {1, 0, "\x1f\x9d"sv, 3},
    {1, 0, "\xff\xd8"sv, 12},
    {1, 0, "II"sv, 15},
    {1, 0, "MM"sv, 15},
    {2, 0, "BZh"sv, 4},
    {2, 0, "\x5d\x00\x00"sv, 37},
    {2, 0, "P4\n"sv, 7},
    {2, 0, "P5\n"sv, 8},
    {2, 0, "P6\n"sv, 9},
    {3, 0, "16HL"sv, 5},
    {3, 0, "3D32"sv, 6},
    {3, 0, "nD32"sv, 36},
    {3, 0, "\x89PNG"sv, 11},
    {3, 0, "GIF8"sv, 23},
    {3, 0, "\x30\x26\xb2\x75"sv, 30},
    {3, 0, "\x00\x00\x01\xba"sv, 31},
    {3, 0, "\x00\x00\x01\xbb"sv, 31},
    {3, 0, "OggS"sv, 33},
    {3, 0, "\x00\x00\x01\xb3"sv, 34},
    {4, 0, "3D-RA"sv, 25},
    {4, 0, "%PDF-"sv, 35},
    {5, 0, "mXnD32"sv, 13},
    {5, 0, "CLASS8"sv, 14},
    {6, 0, "GREY16\n"sv, 17},
    {7, 0, "KUVRA_TSA\n"sv, 16},
    {7, 0, "KUVRA_MSA\n"sv, 19},
    {7, 0, "KUVRA_RFD\n"sv, 20},
    {7, 0, "KUVRA_PFL\n"sv, 21},
    {7, 0, "KUVRA_FST\n"sv, 24},
    {7, 0, "quillsmith"sv, 18},
    {8, 0, "3D CLIP FILE"sv, 27},
    {8, 4, "ftypisom"sv, 32},
    {8, 4, "ftypiso2"sv, 32},
    {8, 4, "ftypmp41"sv, 32},
    {8, 4, "ftypmmp4"sv, 32},
    {9, 0, "ObjectType = Image\n"sv, 22},
    {9, 0, "Data Block: Type 84"sv, 28},
    {10, 128, "DICM"sv, 10},
};

bool dims_ok(const unsigned char *b) {
    auto small = [&](int i) { return int8_t(b[i]) <= 16; };
    return (small(43) && small(45) && small(47)) || (small(42) && small(44) && small(46));
}

bool analyze(const unsigned char *b) {
    const bool sized = b[38] == 0x72 || (b[0] == 0x5c && b[1] == 0x01);
    const bool ndims = (b[40] == 3 || b[40] == 4) && b[41] == 0;
    const int t = b[70];
    const bool type = b[71] == 0 && (t == 0 || t == 1 || t == 2 || t == 4 || t == 8 || t == 16 ||
                                     t == 32 || t == 64 || t == 128);
    return sized && ndims && dims_ok(b) && type;
}

bool nifti(const unsigned char *b) {
    return b[344] == 'n' && (b[345] == '+' || b[345] == 'i') && b[346] == '1' && b[347] == 0 &&
           dims_ok(b);
}

// The expected code and count for a stream and a capacity.
std::pair<int, int> model(std::string_view s, int capacity) {
    if (capacity < 2) return {1, 0};
    int held = 0;
    for (int step = 1; step <= int(totals.size()); ++step) {
        const int total = totals[size_t(step - 1)];
        if (capacity < total) return {1, held};
        if (int(s.size()) < total) return {1, int(s.size())};
        held = total;
        for (const Pattern &p : patterns)
            if (p.step == step && s.substr(size_t(p.offset), p.bytes.size()) == p.bytes)
                return {p.code, held};
        const auto *b = reinterpret_cast<const unsigned char *>(s.data());
        if (step == 11 && analyze(b)) return {26, held};
        if (step == 12 && nifti(b)) return {26, held};
    }
    return {1, held};
}

[[noreturn]] void fail(const char *what, int got, int want) {
    dprintf(fuzzreport::fd, "%s: got %d, want %d\n", what, got, want);
    abort();
}

int stream_fd = -1;
char stream_path[64];

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    stream_fd = memfd_create("sniff", 0);
    if (stream_fd < 0) abort();
    snprintf(stream_path, sizeof stream_path, "/proc/self/fd/%d", stream_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static constexpr int capacities[] = {0, 1, 2, 3, 4, 9, 10, 131, 132, 147, 148, 347, 348};
    const int pick = data[0];
    const int capacity = pick < 26 ? capacities[pick % 13] : KV_SNIFF_BUFSIZE;
    std::string_view s(reinterpret_cast<const char *>(data + 1), size - 1);
    if (s.size() > 4096) s = s.substr(0, 4096);

    if (ftruncate(stream_fd, 0) != 0 ||
        pwrite(stream_fd, s.data(), s.size(), 0) != ssize_t(s.size()) ||
        lseek(stream_fd, 0, SEEK_SET) != 0)
        abort();

    // Exactly capacity bytes on the heap (at least one, for a valid
    // pointer), so that ASan sees a write past the capacity.
    std::vector<char> buf(size_t(std::max(capacity, 1)));
    int count = capacity;
    const int code = getmagic_fromfd_tomem(stream_fd, buf.data(), &count);
    const auto [want_code, want_count] = model(s, capacity);
    if (code != want_code) fail("code", code, want_code);
    if (count != want_count) fail("count", count, want_count);
    if (memcmp(buf.data(), s.data(), size_t(count)) != 0) fail("held bytes differ", 0, 0);
    const off_t pos = lseek(stream_fd, 0, SEEK_CUR);
    if (pos != count) fail("descriptor position", int(pos), count);

    // The table both ways, for the code found.
    const char *mime = magictomime(code);
    if (!mime || mimetomagic(mime) != code) fail("mime round trip", code, code);

    // By path: its own 1,024-byte buffer, so the capacity never limits it.
    if (pick >= 240) {
        const int by_path = getmagic(stream_path);
        const int want = model(s, 1024).first;
        if (by_path != want) fail("getmagic", by_path, want);
    }
    return 0;
}
