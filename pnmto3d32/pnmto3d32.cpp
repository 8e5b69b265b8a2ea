// PNM image to 3D32 volume, row by row through one input and one output line.
#include "pnmto3d32.h"

#include <kuvra/fileutil.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// The voxel of one pixel as the little-endian value of its four file bytes:
//   grey 8 bit:   0 0 s 0
//   grey 16 bit:  0 0 lo hi   (the sample, stored most significant byte first,
//                              comes out least significant byte first: the
//                              voxel is the sample times 65536)
//   colour:       0 r g b
template <int Bpp> inline uint32_t voxel_of(const uint8_t *px) {
    if constexpr (Bpp == 1)
        return uint32_t(px[0]) << 16;
    else if constexpr (Bpp == 2)
        return (uint32_t(px[0]) << 8 | px[1]) << 16;
    else
        return uint32_t(px[0]) << 8 | uint32_t(px[1]) << 16 | uint32_t(px[2]) << 24;
}

// Whole rows in loops the compiler can vectorise: the rows are all the work
// the program does.  out comes from malloc and is aligned for 32-bit stores.
template <int Bpp>
void convert_row(const uint8_t *__restrict in, uint8_t *__restrict out, int32_t width) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t *__restrict o = reinterpret_cast<uint32_t *>(out);
        int32_t x = 0;
        if constexpr (Bpp == 3) {
            // Little-endian r g b n loaded as one word and shifted up by a
            // byte is 0 r g b.  The load reaches one byte past the pixel, so
            // the last pixel of the row is done on its own.
            for (; x + 1 < width; x++) {
                uint32_t v;
                std::memcpy(&v, in + size_t(x) * 3, sizeof v);
                o[x] = v << 8;
            }
        }
        for (; x < width; x++)
            o[x] = voxel_of<Bpp>(in + size_t(x) * Bpp);
    } else {
        for (int32_t x = 0; x < width; x++) {
            uint32_t v = voxel_of<Bpp>(in + size_t(x) * Bpp);
            for (int b = 0; b < 4; b++)
                out[size_t(x) * 4 + b] = uint8_t(v >> (8 * b));
        }
    }
}

using RowConverter = void (*)(const uint8_t *, uint8_t *, int32_t);

RowConverter converter_for(int32_t bpp) {
    switch (bpp) {
    case 1:
        return convert_row<1>;
    case 2:
        return convert_row<2>;
    default:
        return convert_row<3>;
    }
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
    RowConverter convert = converter_for(img.bpp);
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
