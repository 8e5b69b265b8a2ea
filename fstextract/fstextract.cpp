// FileCapsule extraction: frame checks, then a streamed copy of the file.
#include "fstextract.h"

#include <kuvra/fileutil.h>
#include <kuvra/internal/intparse.h>
#include <kuvra/internal/io.h>
#include <kuvra/internal/pagephase.h>
#include <kuvra/internal/reserve.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The frame lines of a FileCapsule up to its size line, in file order.  A
// comment line is passed over only where skip_comments is set.
struct FrameLine {
    std::string_view text;
    bool skip_comments;
    const char *message; // when the line is missing or differs
};

constexpr FrameLine frame[] = {
    {"FIELD", true, "Expected 'FIELD' keyword.\n"},
    {"FileCapsule", true, "Expected 'FileCapsule' keyword.\n"},
    {"U8 1", false, "Expected 'U8 1' type.\n"},
    {"1", false, "Expected 1-dimensional capsule.\n"},
};

// The declared file size: a signed decimal number after optional white
// space, trailing text ignored.  Nothing for no number, for a negative size
// (no file has one) and for a number beyond 64 bits.
std::optional<int64_t> parse_filesize(const char *text) {
    const auto r = kuvra::internal::parse_int<int64_t>(text, 0, INT64_MAX);
    if (r.status != r.ok) return std::nullopt;
    return r.value;
}

using kuvra::internal::page_size;

// The buffer of copies between regular files: chunks of file_chunk bytes,
// each at the place within a page that buffer_phase chooses (copy_bytes).
constexpr size_t file_chunk = size_t(1) << 18;
alignas(page_size) char file_buffer[file_chunk + page_size];

// Copies size bytes from a stream on a regular file to out, from the
// stream's own position (which counts what stdio has buffered), and sets the
// stream right behind them: in the kernel where the two ends allow it, else
// through file_buffer (kuvra::internal::copy_bytes).  1 after a message, 0
// when done; -1, with nothing copied, when the input is not a regular file.
int copy_from_file(FILE *in, FILE *out, FILE *err, int64_t size) {
    int in_fd = fileno(in), out_fd = fileno(out);
    struct stat st {};
    if (in_fd < 0 || out_fd < 0 || fstat(in_fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    off_t pos = ftello(in);
    if (pos < 0) return -1;
    if (fflush(out) != 0) {
        fputs("Cannot write output.\n", err);
        return 1;
    }
    kuvra::internal::CopyOptions opt;
    opt.in_offset = &pos;
    opt.reserve = true;
    opt.buffer = file_buffer;
    opt.buffer_size = sizeof file_buffer;
    const kuvra::internal::CopyResult r = kuvra::internal::copy_bytes(in_fd, out_fd, size, opt);
    if (!r.ok()) {
        fputs(r.status == r.input_ended ? "Capsule data ends early.\n" : "Cannot write output.\n",
              err);
        return 1;
    }
    return fseeko(in, pos, SEEK_SET) != 0 ? 1 : 0;
}

// Copies exactly size bytes through buf.  Every chunk is written only as far
// as it was read, so a short input leaves a short output, never garbage.
int copy_data(FILE *in, FILE *out, FILE *err, char *buf, int64_t size) {
    for (int64_t remaining = size; remaining > 0;) {
        size_t chunk = size_t(std::min<int64_t>(remaining, FSTEXTRACT_BUFSIZE));
        size_t got = fread(buf, 1, chunk, in);
        if (got > 0 && fwrite(buf, 1, got, out) < got) {
            fputs("Cannot write output.\n", err);
            return 1;
        }
        if (got < chunk) {
            fputs("Capsule data ends early.\n", err);
            return 1;
        }
        remaining -= int64_t(got);
    }
    return 0;
}

} // namespace

extern "C" int fst_extract_capsule(FILE *in, FILE *out, FILE *err) {
    char buf[FSTEXTRACT_BUFSIZE];

    if (!fgets_killcrnl(buf, sizeof buf, in)) {
        fputs("Cannot read magic.\n", err);
        return 1;
    }
    if (std::string_view(buf) != "KUVRA_FST") {
        fputs("Unsupported magic.\n", err);
        return 1;
    }

    for (const FrameLine &want : frame) {
        char *got = want.skip_comments ? fgets_nocomment_killcrnl(buf, sizeof buf, in)
                                       : fgets_killcrnl(buf, sizeof buf, in);
        if (!got || std::string_view(buf) != want.text) {
            fputs(want.message, err);
            return 1;
        }
    }

    if (!fgets_killcrnl(buf, sizeof buf, in)) {
        fputs("Cannot read filesize.\n", err);
        return 1;
    }
    std::optional<int64_t> size = parse_filesize(buf);
    if (!size) {
        fputs("Cannot parse filesize.\n", err);
        return 1;
    }

    // The padded size only has to be there: the copy takes the file's bytes
    // from the start of the data and never looks at the padding.
    if (!fgets_killcrnl(buf, sizeof buf, in)) {
        fputs("Cannot read padded filesize.\n", err);
        return 1;
    }

    int copied = copy_from_file(in, out, err, *size);
    if (copied < 0) copied = copy_data(in, out, err, buf, *size);
    if (copied != 0) return 1;
    // stdio still holds the tail; a failure to deliver it is a failed run.
    if (fflush(out) != 0 || ferror(out)) {
        fputs("Cannot write output.\n", err);
        return 1;
    }
    return 0;
}
