// File-type recognition from leading bytes, and the table of MIME names.
//
// The sniffer reads a stream in a fixed series of small steps and stops at the
// first step whose bytes decide the type, so that a caller who goes on reading
// the stream only has to put back those few bytes.  Which bytes decide which
// code is data (sniff_rules below); the sniffer itself knows no format.
#include <kuvra/filetype.h>
#include <kuvra/internal/fd.h>
#include <kuvra/internal/spawn.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <strings.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

using namespace std::string_view_literals;

// Indexed by magic code; the null entry ends the table.
constexpr const char *mime_names[KV_MAGIC_COUNT + 1] = {
    "x-error/x-error",
    "x-unknown/x-unknown",
    "application/x-gzip",
    "application/x-compress",
    "application/x-bzip",
    "image/16hl",
    "application/x-kuvra-3d32",
    "image/x-portable-bitmap",
    "image/x-portable-graymap",
    "image/x-portable-pixmap",
    "image/dicom",
    "image/png",
    "image/jpeg",
    "application/x-kuvra-4d32",
    "application/x-kuvra-class8",
    "image/tiff",
    "application/x-kuvra-tsa",
    "application/x-kuvra-grey16",
    "application/x-quillsmith",
    "application/x-kuvra-msa",
    "application/x-kuvra-rfd",
    "application/x-kuvra-pfl",
    "application/x-itk",
    "image/gif",
    "application/x-kuvra-fst",
    "application/x-philips-v3d",
    "application/x-analyze-75",
    "application/3d-clip-file",
    "application/data-block-type-84",
    "application/x-kuvra-image-comments",
    "video/x-ms-asf",
    "video/mpeg",
    "video/mp4",
    "application/ogg",
    "video/mpv",
    "application/pdf",
    "application/x-kuvra-nd32",
    "application/x-lzma",
    nullptr,
};

// Bytes held after each step.  No stream costs more than the last total.
constexpr std::array<int, 12> step_totals = {2, 3, 4, 5, 6, 7, 10, 12, 19, 132, 148, 348};
constexpr int step_count = int(step_totals.size());

// Header tests look at the bytes held after their step (all of them present).
using HeaderTest = bool (*)(const unsigned char *bytes);

// The three 16-bit sizes after the dimension count (bytes 42..47) must have a
// small high byte in one byte order, the same for all three.  The bytes are
// signed: 0x80..0xFF count as small.
bool analyze_sizes_plausible(const unsigned char *b) {
    auto small = [b](int i) { return int8_t(b[i]) <= 16; };
    return (small(43) && small(45) && small(47)) || (small(42) && small(44) && small(46));
}

constexpr std::array<unsigned char, 9> analyze_datatypes = {0, 1, 2, 4, 8, 16, 32, 64, 128};

bool analyze75_header(const unsigned char *b) {
    const bool sized = b[38] == 'r' || (b[0] == 0x5C && b[1] == 0x01); // 348, little-endian
    const bool dims = (b[40] == 3 || b[40] == 4) && b[41] == 0;
    const bool dtype =
        b[71] == 0 && std::ranges::find(analyze_datatypes, b[70]) != analyze_datatypes.end();
    return sized && dims && analyze_sizes_plausible(b) && dtype;
}

bool nifti1_header(const unsigned char *b) {
    return b[344] == 'n' && (b[345] == '+' || b[345] == 'i') && b[346] == '1' && b[347] == 0 &&
           analyze_sizes_plausible(b);
}

// One test: either byte patterns (alternatives of one length) at an offset, or
// a header test.  A code is decided by the first matching rule of the step.
struct SniffRule {
    int step; // 1-based
    int code;
    int offset;
    std::array<std::string_view, 4> patterns;
    HeaderTest header;
};

constexpr SniffRule pattern_rule(int step, int code, int offset,
                                 std::array<std::string_view, 4> patterns) {
    return {step, code, offset, patterns, nullptr};
}

// In step order, and within a step in the order the tests are tried.
constexpr SniffRule sniff_rules[] = {
    pattern_rule(1, KV_MAGIC_GZIP, 0, {"\x1F\x8B"sv}),
    pattern_rule(1, KV_MAGIC_COMPRESS, 0, {"\x1F\x9D"sv}),
    pattern_rule(1, KV_MAGIC_JPEG, 0, {"\xFF\xD8"sv}),
    pattern_rule(1, KV_MAGIC_TIFF, 0, {"II"sv, "MM"sv}),
    pattern_rule(2, KV_MAGIC_BZIP2, 0, {"BZh"sv}),
    pattern_rule(2, KV_MAGIC_LZMA, 0, {"\x5D\x00\x00"sv}),
    pattern_rule(2, KV_MAGIC_PBM, 0, {"P4\n"sv}),
    pattern_rule(2, KV_MAGIC_PGM, 0, {"P5\n"sv}),
    pattern_rule(2, KV_MAGIC_PPM, 0, {"P6\n"sv}),
    pattern_rule(3, KV_MAGIC_16HL, 0, {"16HL"sv}),
    pattern_rule(3, KV_MAGIC_3D32, 0, {"3D32"sv}),
    pattern_rule(3, KV_MAGIC_ND32, 0, {"nD32"sv}),
    pattern_rule(3, KV_MAGIC_PNG, 0, {"\x89\x50\x4E\x47"sv}),
    pattern_rule(3, KV_MAGIC_GIF, 0, {"GIF8"sv}),
    pattern_rule(3, KV_MAGIC_ASF, 0, {"\x30\x26\xB2\x75"sv}),
    pattern_rule(3, KV_MAGIC_MPEG, 0, {"\x00\x00\x01\xBA"sv, "\x00\x00\x01\xBB"sv}),
    pattern_rule(3, KV_MAGIC_OGG, 0, {"OggS"sv}),
    pattern_rule(3, KV_MAGIC_MPEG_VIDEO, 0, {"\x00\x00\x01\xB3"sv}),
    pattern_rule(4, KV_MAGIC_V3D, 0, {"3D-RA"sv}),
    pattern_rule(4, KV_MAGIC_PDF, 0, {"%PDF-"sv}),
    pattern_rule(5, KV_MAGIC_4D32, 0, {"mXnD32"sv}),
    pattern_rule(5, KV_MAGIC_CLASS8, 0, {"CLASS8"sv}),
    pattern_rule(6, KV_MAGIC_GREY16, 0, {"GREY16\n"sv}),
    pattern_rule(7, KV_MAGIC_TSA, 0, {"KUVRA_TSA\n"sv}),
    pattern_rule(7, KV_MAGIC_MSA, 0, {"KUVRA_MSA\n"sv}),
    pattern_rule(7, KV_MAGIC_RFD, 0, {"KUVRA_RFD\n"sv}),
    pattern_rule(7, KV_MAGIC_PFL, 0, {"KUVRA_PFL\n"sv}),
    pattern_rule(7, KV_MAGIC_FST, 0, {"KUVRA_FST\n"sv}),
    pattern_rule(7, KV_MAGIC_QUILLSMITH, 0, {"quillsmith"sv}),
    pattern_rule(8, KV_MAGIC_3D_CLIP, 0, {"3D CLIP FILE"sv}),
    pattern_rule(8, KV_MAGIC_MP4, 4, {"ftypisom"sv, "ftypiso2"sv, "ftypmp41"sv, "ftypmmp4"sv}),
    pattern_rule(9, KV_MAGIC_ITK, 0, {"ObjectType = Image\n"sv}),
    pattern_rule(9, KV_MAGIC_DATA_BLOCK_84, 0, {"Data Block: Type 84"sv}),
    pattern_rule(10, KV_MAGIC_DICOM, 128, {"DICM"sv}),
    {11, KV_MAGIC_ANALYZE, 0, {}, analyze75_header},
    {12, KV_MAGIC_ANALYZE, 0, {}, nifti1_header},
};

// The table must be one a sniffer can run: steps in order, every rule inside
// the bytes its step holds, alternatives of one length, every code but 0, 1
// and 29 reachable.
constexpr bool rules_consistent() {
    int prev_step = 1;
    std::array<bool, KV_MAGIC_COUNT> reached{};
    for (const SniffRule &r : sniff_rules) {
        if (r.step < prev_step || r.step > step_count || r.code < 2 || r.code >= KV_MAGIC_COUNT)
            return false;
        prev_step = r.step;
        reached[size_t(r.code)] = true;
        if (r.header) continue;
        const size_t len = r.patterns[0].size();
        if (len == 0 || r.offset + int(len) > step_totals[size_t(r.step - 1)]) return false;
        for (const std::string_view &p : r.patterns)
            if (!p.empty() && p.size() != len) return false;
    }
    for (int code = 2; code < KV_MAGIC_COUNT; ++code)
        if (reached[size_t(code)] == (code == KV_MAGIC_IMAGE_COMMENTS)) return false;
    return true;
}
static_assert(rules_consistent());
static_assert(mime_names[KV_MAGIC_COUNT] == nullptr && mime_names[KV_MAGIC_COUNT - 1] != nullptr);

bool rule_matches(const SniffRule &r, std::string_view held) {
    if (r.header) return r.header(reinterpret_cast<const unsigned char *>(held.data()));
    for (const std::string_view &p : r.patterns)
        if (!p.empty() && held.substr(size_t(r.offset), p.size()) == p) return true;
    return false;
}

// A reader places up to len bytes at dst and returns how many; fewer only at
// the end of the data or after a read error, which may also give a negative
// result.
using MagicReader = int (*)(char *dst, int len, void *source);

// source: pointer to a descriptor number.  Reads until len bytes are held or
// the data ends.  On a read error the bytes already taken are still counted
// (they have left the descriptor and live only in dst); -1 only when none were.
int magicread_fd(char *dst, int len, void *source) {
    const int fd = *static_cast<const int *>(source);
    int total = 0;
    while (total < len) {
        const ssize_t got = read(fd, dst + total, size_t(len - total));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return total > 0 ? total : -1;
        if (got == 0) break;
        total += int(got);
    }
    return total;
}

// source: a stdio stream.  A read interrupted by a signal is resumed rather
// than taken for the end of the data.
int magicread_file(char *dst, int len, void *source) {
    FILE *in = static_cast<FILE *>(source);
    size_t total = 0;
    while (total < size_t(std::max(len, 0))) {
        total += fread(dst + total, 1, size_t(len) - total, in);
        if (!ferror(in) || errno != EINTR) break;
        clearerr(in);
    }
    return int(total);
}

// buf holds *count bytes of capacity.  On return *count is the number of bytes
// taken from the source into buf, from its first byte, in order: never
// negative, never more than the reader really delivered.  Allocates nothing.
int getmagic_fromreader(char *buf, int *count, MagicReader reader, void *source) {
    const int capacity = *count;
    *count = 0;
    if (capacity > 0) memset(buf, 0, size_t(std::min(capacity, 4)));
    if (capacity < 2) return KV_MAGIC_UNKNOWN;
    int held = 0;
    for (int step = 1; step <= step_count; ++step) {
        const int total = step_totals[size_t(step - 1)];
        if (capacity < total) return KV_MAGIC_UNKNOWN;
        const int want = total - held;
        // An error adds nothing; a reader claiming more than it was asked for
        // is not believed beyond what was asked.
        const int got = std::clamp(reader(buf + held, want, source), 0, want);
        held += got;
        *count = held;
        if (got < want) return KV_MAGIC_UNKNOWN;
        const std::string_view bytes(buf, size_t(held));
        for (const SniffRule &r : sniff_rules)
            if (r.step == step && rule_matches(r, bytes)) return r.code;
    }
    return KV_MAGIC_UNKNOWN;
}

using kuvra::internal::UniqueFd;

// Keeps fd off 0..2, so that rebinding the child's standard descriptors
// cannot clobber one of its sources when the caller runs with some closed.
bool move_above_stdio(UniqueFd &fd) {
    if (fd.get() > 2) return true;
    const int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    fd.reset(moved);
    return moved >= 0;
}

void reap(pid_t pid) {
    // A SIGCHLD reaper of the program may have collected it already (ECHILD).
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Runs argv (found through PATH) with the file at path as its standard input,
// its error output discarded, and sniffs its standard output.  No shell sees
// the path.  A file that cannot be opened yields nothing: code 1.  A child
// that cannot be started: code 0.
int sniff_filter_output(const char *path, const char *const argv[]) {
    if (path == nullptr) return KV_MAGIC_UNKNOWN;
    UniqueFd input(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!input || !move_above_stdio(input)) return KV_MAGIC_UNKNOWN;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0) return KV_MAGIC_ERROR;
    UniqueFd from_child(ends[0]), to_parent(ends[1]);
    if (!move_above_stdio(from_child) || !move_above_stdio(to_parent)) return KV_MAGIC_ERROR;

    // The child dies quietly of SIGPIPE once we stop reading, whatever the
    // caller does with that signal or its mask.
    kuvra::internal::ChildLaunch child;
    child.argv = argv;
    child.io[0] = input.get();
    child.io[1] = to_parent.get();
    child.io[2] = kuvra::internal::kChildDevNull;
    child.clean_signals = true;
    pid_t pid = -1;
    const int rc = kuvra::internal::start_child(child, &pid);
    if (rc != 0) return KV_MAGIC_ERROR;
    input.reset();
    to_parent.reset();

    int code = KV_MAGIC_ERROR;
    if (FILE *out = fdopen(from_child.get(), "r")) {
        from_child.release();
        char buf[1024];
        int count = int(sizeof buf);
        code = getmagic_fromreader(buf, &count, magicread_file, out);
        fclose(out);
    }
    from_child.reset();
    reap(pid);
    return code;
}

constexpr const char *gunzip_argv[] = {"gunzip", "-q", "-c", nullptr};
constexpr const char *bunzip2_argv[] = {"bunzip2", "-c", nullptr};

} // namespace

extern "C" {

const char *magictomime(int code) {
    if (code < 0 || code >= KV_MAGIC_COUNT) return mime_names[KV_MAGIC_UNKNOWN];
    return mime_names[code];
}

int mimetomagic(const char *mime) {
    if (mime == nullptr) return KV_MAGIC_UNKNOWN;
    for (int code = 0; mime_names[code] != nullptr; ++code)
        if (strcasecmp(mime, mime_names[code]) == 0) return code;
    return KV_MAGIC_UNKNOWN;
}

int getmagic_fromfd_tomem(int fd, char *buf, int *count) {
    if (count == nullptr) return KV_MAGIC_UNKNOWN;
    if (buf == nullptr) {
        *count = 0;
        return KV_MAGIC_UNKNOWN;
    }
    return getmagic_fromreader(buf, count, magicread_fd, &fd);
}

int getmagic(const char *path) {
    if (path == nullptr) return KV_MAGIC_ERROR;
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) return KV_MAGIC_ERROR;
    char buf[1024];
    int count = int(sizeof buf);
    int raw = fd.get();
    return getmagic_fromreader(buf, &count, magicread_fd, &raw);
}

int getgzmagic(const char *path) {
    return sniff_filter_output(path, gunzip_argv);
}

int getbz2magic(const char *path) {
    return sniff_filter_output(path, bunzip2_argv);
}

} // extern "C"
