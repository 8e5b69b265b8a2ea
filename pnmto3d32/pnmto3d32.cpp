// PNM image to 3D32 volume, row by row through one input and one output line.
#include "pnmto3d32.h"
#include "rows.h"

#include <kuvra/fileutil.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

namespace {

constexpr int32_t max_depth = 65535;
constexpr int32_t max_byte_depth = 255;
constexpr int32_t voxel_size = 4;

// One image header number as "%d" reads it: leading white space, an optional
// sign, at least one digit.  Returns the number and advances text past it;
// nothing when no number starts here or when it does not fit 32 bits (which
// "%d" would silently wrap).
std::optional<int32_t> parse_int(std::string_view &text) {
    size_t i = 0;
    auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < text.size() && is_space(text[i]))
        i++;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    size_t digits = i;
    int64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i++] - '0');
        if (value > int64_t(INT32_MAX) + 1) return std::nullopt;
    }
    if (i == digits) return std::nullopt;
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    text.remove_prefix(i);
    return int32_t(value);
}

struct FreeDeleter {
    void operator()(uint8_t *p) const { std::free(p); }
};
using Line = std::unique_ptr<uint8_t[], FreeDeleter>;

// malloc(0) may give null; a zero-width image still needs a valid line.
Line alloc_line(int32_t size) {
    return Line(static_cast<uint8_t *>(std::malloc(size > 0 ? size_t(size) : 1)));
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
    auto width = parse_int(sizes);
    auto height = width ? parse_int(sizes) : std::nullopt;
    // A negative extent cannot be written as a volume; it is as unusable as
    // a missing number.
    if (!width || !height || *width < 0 || *height < 0) {
        fputs("Cannot parse width/height.\n", err);
        return std::nullopt;
    }
    img.width = *width;
    img.height = *height;

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

// Streams the rows.  Returns the exit status.
int convert_rows(const Image &img, FILE *in, FILE *out, FILE *err) {
    Line inl = alloc_line(img.bpp * img.width);
    Line outl = alloc_line(voxel_size * img.width);
    if (!inl || !outl) {
        fputs("Cannot allocate line memory.\n", err);
        return 1;
    }
    pnmto3d32::RowConverter convert = pnmto3d32::row_converter(img.bpp);
    const size_t width = size_t(img.width);
    for (int32_t row = 0; row < img.height; row++) {
        if (fread(inl.get(), size_t(img.bpp), width, in) < width) {
            fprintf(err, "Cannot read line %d.\n", int(row));
            return 1;
        }
        convert(inl.get(), outl.get(), img.width);
        if (fwrite(outl.get(), voxel_size, width, out) < width) {
            fprintf(err, "Cannot write line %d.\n", int(row));
            return 1;
        }
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
    if (select & PNMTO3D32_DATA) status = convert_rows(*img, in, out, err);
    // Buffered bytes that cannot be delivered (a full disk, a closed pipe)
    // would otherwise vanish at exit behind status 0.
    if (status == 0 && (fflush(out) != 0 || ferror(out))) {
        fputs("Cannot write output.\n", err);
        status = 1;
    }
    return status;
}
