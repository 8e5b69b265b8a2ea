// PNM image to 3D32 volume, in batches of rows through one input and one
// output buffer.
#include "pnmto3d32.h"
#include "rows.h"

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
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using kuvra::internal::page_size;

constexpr int32_t max_depth = 65535;
constexpr int32_t max_byte_depth = 255;
constexpr int32_t voxel_size = 4;

// One image header number as "%d" reads it: leading white space, an optional
// sign, at least one digit.  Returns the number and advances text past it;
// nothing when no number starts here or when it does not fit 32 bits (which
// "%d" would silently wrap).
std::optional<int32_t> parse_int(std::string_view &text) {
    const auto r = kuvra::internal::parse_int<int32_t>(text, INT32_MIN, INT32_MAX);
    if (r.status != r.ok) return std::nullopt;
    text.remove_prefix(r.used);
    return r.value;
}

struct FreeDeleter {
    void operator()(uint8_t *p) const { std::free(p); }
};
using Line = std::unique_ptr<uint8_t[], FreeDeleter>;

// On a page, whatever the size (kuvra/internal/pagephase.h says why).  Null
// when there is no memory.
Line alloc_line(size_t size) {
    size = (size + page_size - 1) / page_size * page_size;
    return Line(static_cast<uint8_t *>(std::aligned_alloc(page_size, size ? size : page_size)));
}

// Header fields that pass every check.
struct Image {
    int32_t bpp = 1;
    int32_t width = 0;
    int32_t height = 0;
};

// Reads and checks the three header lines, leaving in at the first sample
// byte.  On failure writes the message to err and returns nothing.
std::optional<Image> read_header(FILE *in, FILE *err) {
    char line[KV_LINE_BUFSIZE];
    Image img;

    if (!fgets_killcrnl(line, sizeof line, in)) {
        fputs("Cannot read magic.\n", err);
        return std::nullopt;
    }
    std::string_view magic(line);
    bool colour = magic == "P6";
    if (!colour && magic != "P5") {
        fputs("Unsupported magic.\n", err);
        return std::nullopt;
    }
    img.bpp = colour ? 3 : 1;

    if (!fgets_nocomment_killcrnl(line, sizeof line, in)) {
        fputs("Cannot read width/height.\n", err);
        return std::nullopt;
    }
    std::string_view sizes(line);
    // A negative extent cannot be written as a volume; it is as unusable as
    // a missing number.  (value_or: GCC may test the value of a disengaged
    // optional before its flag, which valgrind reports as a jump on an
    // uninitialised value.)
    const int32_t width = parse_int(sizes).value_or(-1);
    const int32_t height = width >= 0 ? parse_int(sizes).value_or(-1) : -1;
    if (width < 0 || height < 0) {
        fputs("Cannot parse width/height.\n", err);
        return std::nullopt;
    }
    img.width = width;
    img.height = height;

    if (!fgets_nocomment_killcrnl(line, sizeof line, in)) {
        fputs("Cannot read depth.\n", err);
        return std::nullopt;
    }
    std::string_view depth_text(line);
    auto depth = parse_int(depth_text);
    if (!depth) {
        fputs("Cannot parse depth.\n", err);
        return std::nullopt;
    }
    if (*depth > max_depth) {
        fputs("Depth too high, not supported.\n", err);
        return std::nullopt;
    }
    if (*depth > max_byte_depth) {
        if (colour) {
            fputs("Depth too high for non-P5, not supported.\n", err);
            return std::nullopt;
        }
        img.bpp = 2;
    }

    // The output line, 4 bytes a pixel, is the larger of the two and must
    // have a size that fits in 32 bits.  Checked here so that no header is
    // written for a volume that could never follow it.
    if (img.width > INT32_MAX / voxel_size) {
        fputs("Cannot allocate line memory.\n", err);
        return std::nullopt;
    }
    return img;
}

// Rows go through in batches of about this many output bytes: one read and
// one write per batch instead of per row, without holding the image.  Writes
// of 1 MiB measured a fifth faster than writes of 256 KiB and twice as fast
// as writes of one 32 KiB row: the page cache takes large writes in large
// folios.
constexpr size_t batch_bytes = 1024 * 1024;

// Where the next byte of a stream lies in its file, for streams on a
// regular file; unknown (-1) for anything else.
off_t file_position(int fd) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return lseek(fd, 0, SEEK_CUR);
}

// The blocks of size bytes written next to out, when out is a stream on a
// regular file (flushed here, so that its offset is where they go).
kuvra::internal::BlockReservation reserve_blocks(FILE *out, int64_t size) {
    // Anything else is not flushed here: a failed flush changes how the
    // first row's write fails.
    if (size <= 0 || file_position(fileno(out)) < 0 || fflush(out) != 0) return {};
    off_t at = file_position(fileno(out));
    return at >= 0 ? kuvra::internal::BlockReservation(fileno(out), at, size)
                   : kuvra::internal::BlockReservation();
}

// Streams the rows.  Returns the exit status.
//
// Each batch lies in its buffer at the place within a page that its bytes
// have in their file (kuvra/internal/pagephase.h says why; the 3D32 header
// puts the voxels 18 bytes into their pages, the input's header puts the
// pixels anywhere).  So an input on a regular file is read
// with pread at known offsets rather than through stdio, and the output
// goes straight to its descriptor.
int convert_rows(const Image &img, FILE *in, FILE *out, FILE *err,
                 kuvra::internal::BlockReservation &blocks) {
    const size_t width = size_t(img.width);
    // Rows of width 0 read and write nothing; a header "0 2000000000" would
    // otherwise spin through two billion empty rows.
    if (width == 0) return 0;
    const size_t in_row = size_t(img.bpp) * width, out_row = voxel_size * width;
    const size_t batch =
        std::max<size_t>(1, std::min<size_t>(batch_bytes / out_row, size_t(img.height)));
    Line inl = alloc_line(in_row * batch + page_size);
    Line outl = alloc_line(out_row * batch + page_size);
    if (!inl || !outl) {
        fputs("Cannot allocate line memory.\n", err);
        return 1;
    }
    blocks = reserve_blocks(out, int64_t(out_row) * img.height);
    const int in_fd = fileno(in);
    off_t in_pos = file_position(in_fd) >= 0 ? ftello(in) : -1;
    // A stream on a descriptor is flushed once, after the header; the
    // batches then go straight to the descriptor.
    const int out_fd = fflush(out) == 0 ? fileno(out) : -1;
    off_t out_pos = file_position(out_fd);
    pnmto3d32::RowConverter convert = pnmto3d32::row_converter(img.bpp);
    int64_t written = 0; // by the batches, for the reservation
    for (int32_t row = 0; row < img.height;) {
        size_t want = std::min<size_t>(batch, size_t(img.height - row));
        uint8_t *ib = inl.get(), *ob = outl.get();
        // Whole rows only: the rows before a short one still go out.
        size_t got;
        if (in_pos >= 0) {
            ib += in_pos % page_size;
            size_t bytes = kuvra::internal::read_fully_at(in_fd, ib, want * in_row, in_pos);
            got = bytes / in_row;
            in_pos += off_t(bytes);
        } else {
            got = fread(ib, in_row, want, in);
        }
        if (out_pos >= 0) ob += out_pos % page_size;
        for (size_t k = 0; k < got; k++)
            convert(ib + k * in_row, ob + k * out_row, img.width);
        size_t put = got;
        if (out_fd >= 0) {
            size_t bytes = kuvra::internal::write_fully(out_fd, ob, got * out_row);
            if (bytes < got * out_row) put = bytes / out_row;
            if (out_pos >= 0) out_pos += off_t(bytes);
            written += int64_t(bytes);
            blocks.advance(written);
        } else if (got) {
            put = fwrite(ob, out_row, got, out);
        }
        if (put < got) {
            fprintf(err, "Cannot write line %d.\n", int(row + int32_t(put)));
            return 1;
        }
        if (got < want) {
            fprintf(err, "Cannot read line %d.\n", int(row + int32_t(got)));
            return 1;
        }
        row += int32_t(got);
    }
    // The descriptor's offset never moved (pread): the stream goes on
    // right behind the image.
    if (in_pos >= 0 && fseeko(in, in_pos, SEEK_SET) != 0) {
        fprintf(err, "Cannot read line %d.\n", int(img.height));
        return 1;
    }
    return 0;
}

} // namespace

extern "C" int pnmto3d32_convert(FILE *in, FILE *out, FILE *err, int select) {
    std::optional<Image> img = read_header(in, err);
    if (!img) return 1;
    if (select & PNMTO3D32_HEADER)
        fprintf(out, "3D32\n%d %d %d\n\n", int(img->width), int(img->height), 1);
    int status = 0;
    // Given back, unless filled, when it goes: after the final flush.
    kuvra::internal::BlockReservation blocks;
    if (select & PNMTO3D32_DATA) status = convert_rows(*img, in, out, err, blocks);
    // Buffered bytes that cannot be delivered (a full disk, a closed pipe)
    // would otherwise vanish at exit behind status 0.
    if (fflush(out) != 0 || ferror(out)) {
        if (status == 0) fputs("Cannot write output.\n", err);
        status = 1;
    }
    if (status == 0) blocks.keep();
    return status;
}
