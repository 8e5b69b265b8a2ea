// Image and field definitions: the P6 image as field RGB, the P5 image as
// field GREY, and the field blocks of a fieldset, each with its data spooled.
#include "fields.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>
#include <kuvra/internal/intparse.h>

#include <cinttypes>
#include <cstring>
#include <string_view>

namespace kuvra_convert {

namespace {

constexpr char dimension_letters[] = "XYZABCDEFGHIJKLMNOPQRSTUVW";
constexpr int max_dimensions = 16;
static_assert(sizeof dimension_letters - 1 >= max_dimensions);

// Field names and type descriptors hold at most 127 bytes.
constexpr size_t short_line = 128;

constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}
constexpr bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The item types of the fieldset format: unsigned and signed integers and
// IEEE floating point numbers of the bit widths given, and an RGB triple
// of bytes.
constexpr std::string_view item_types[] = {"U8",  "S8",  "U16", "S16", "U32",   "S32",
                                           "U64", "S64", "F32", "F64", "R8G8B8"};

bool is_item_type(std::string_view name) {
    for (std::string_view t : item_types)
        if (name == t) return true;
    return false;
}

void fatal(const char *msg) {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "%s", msg);
}

// The data-format specific parts of an image header.
struct ImageKind {
    const char *size_failure;
    const char *depth_failure;
    const char *depth_wrong;
};
constexpr ImageKind p6_kind{"P6 failure reading size.\n", "P6 failure reading depth.\n",
                            "P6 depth is not 255.\n"};
constexpr ImageKind p5_kind{"P5 failure reading size.\n", "P5 failure reading depth.\n",
                            "P5 depth is not 1 to 65535.\n"};

// Reads the depth line behind the size line.  Returns 0 with *depth set, or
// 1 when the line is missing or holds no number (logged).
int read_depth(LineReader &lines, const ImageKind &kind, int64_t *depth) {
    int got = next_data_line(lines);
    if (got < 0) return 1;
    if (got == 0) {
        fatal(kind.depth_failure);
        return 1;
    }
    if (scan_int(lines.c_str(), depth) == ScanResult::none) {
        fatal(kind.depth_failure);
        return 1;
    }
    return 0;
}

// Width and height from the size line, checked: 0 with both set, 1 after a
// logged failure.
int read_size(const char *line, const ImageKind &kind, int32_t *width, int32_t *height) {
    int64_t w = 0, h = 0;
    const char *p = line;
    ScanResult rw = scan_int(p, &w, &p);
    ScanResult rh = rw == ScanResult::none ? ScanResult::none : scan_int(p, &h, &p);
    if (rw == ScanResult::none || rh == ScanResult::none) {
        fatal(kind.size_failure);
        return 1;
    }
    if (rw == ScanResult::overflow || rh == ScanResult::overflow || w < 0 || h < 0 ||
        w > INT32_MAX || h > INT32_MAX) {
        fatal("Image size not supported.\n");
        return 1;
    }
    *width = int32_t(w);
    *height = int32_t(h);
    return 0;
}

// Byte count of an image, or -1 when it does not fit a signed 32-bit number.
int32_t image_bytes(int32_t width, int32_t height, int item_size) {
    int64_t n = int64_t(width) * int64_t(height) * item_size;
    return n > INT32_MAX ? -1 : int32_t(n);
}

// The DATA macro of a field, and with swap (the file its DATA_BS macro has
// dd write the swapped copy into) the DATA_BS macro.  dd writes into that
// file, which the converter made, and into nothing else: nocreat and
// nofollow refuse a name that no longer holds it (a stream run after the
// files were removed, and a link or file planted there since), notrunc
// spares whatever such a name holds.  m4 inserts the copy only when dd
// succeeded, so that it never reads what another user put at the name, and
// stops otherwise; the converter removes the file with the spooled ones.
void write_data_macros(FILE *out, const char *name, const tdnode *data, const tdnode *swap) {
    fprintf(out, "define([[XX_FIELD_%s_DATA]],[[undivert([[%s]])]])\n", name, data->name);
    if (swap)
        fprintf(out,
                "define([[XX_FIELD_%s_DATA_BS]],[[syscmd([[dd if=%s of=%s "
                "conv=swab,notrunc,nocreat oflag=nofollow status=none]])ifelse(sysval,0,[["
                "undivert([[%s]])]],[[m4exit(1)]])]])\n",
                name, data->name, swap->name, swap->name);
}

// Spools count bytes; logs the fatal message on failure.
const tdnode *spool(LineReader &lines, int32_t count) {
    const tdnode *node = spool_lines_data(lines, count);
    if (!node) fatal("Field copy failure.\n");
    return node;
}

// The file for a field's byte-swapped copy; logs the fatal message on
// failure.
const tdnode *swap_file() {
    const tdnode *node = spool_private_tempfile(".bs");
    if (!node) fatal("Field copy failure.\n");
    return node;
}

} // namespace

ScanResult scan_int(const char *text, int64_t *value, const char **end) {
    constexpr kuvra::internal::IntSyntax syntax{.blanks = " \t\v\f"};
    const auto r = kuvra::internal::parse_int<int64_t>(text, INT32_MIN, INT32_MAX, syntax);
    if (end) *end = text + r.used;
    switch (r.status) {
    case r.none:
        return ScanResult::none;
    case r.out_of_range:
        *value = r.value < 0 ? INT64_MIN : INT64_MAX;
        return ScanResult::overflow;
    case r.ok:
        break;
    }
    *value = r.value;
    return ScanResult::ok;
}

int emit_rgb(LineReader &lines, FILE *out) {
    int32_t width, height;
    int64_t depth;
    if (read_size(lines.c_str(), p6_kind, &width, &height)) return 1;
    int32_t bytes = image_bytes(width, height, 3);
    if (bytes < 0) {
        fatal("Image size not supported.\n");
        return 1;
    }
    if (read_depth(lines, p6_kind, &depth)) return 1;
    if (depth != 255) {
        fatal(p6_kind.depth_wrong);
        return 1;
    }
    // The field's macros only once its data are spooled whole: a stream
    // that stops in the data defines nothing of the field.
    const tdnode *node = spool(lines, bytes);
    if (!node) return 1;
    fputs("define([[XX_FIELD_RGB]])\n"
          "define([[XX_FIELD_RGB_ITEM_TYPE]],[[R8G8B8]])\n"
          "define([[XX_FIELD_RGB_ITEM_SIZE]],[[3]])\n"
          "define([[XX_FIELD_RGB_DIMENSIONS]],[[2]])\n",
          out);
    fprintf(out, "define([[XX_FIELD_RGB_SIZEX]],[[%" PRId32 "]])\n", width);
    fprintf(out, "define([[XX_FIELD_RGB_SIZE0]],[[%" PRId32 "]])\n", width);
    fprintf(out, "define([[XX_FIELD_RGB_SIZEY]],[[%" PRId32 "]])\n", height);
    fprintf(out, "define([[XX_FIELD_RGB_SIZE1]],[[%" PRId32 "]])\n", height);
    fprintf(out, "define([[XX_FIELD_RGB_TOTAL_SIZE]],[[%" PRId32 "]])\n", bytes);
    write_data_macros(out, "RGB", node, nullptr);
    return 0;
}

int emit_grey(LineReader &lines, FILE *out) {
    int32_t width, height;
    int64_t depth;
    if (read_size(lines.c_str(), p5_kind, &width, &height)) return 1;
    // The item size depends on the depth, but the size check cannot wait for
    // it: a count that does not fit even at one byte per pixel fails here.
    if (image_bytes(width, height, 1) < 0) {
        fatal("Image size not supported.\n");
        return 1;
    }
    if (read_depth(lines, p5_kind, &depth)) return 1;
    if (depth < 1 || depth > 65535) {
        fatal(p5_kind.depth_wrong);
        return 1;
    }
    const int item_size = depth > 255 ? 2 : 1;
    int32_t bytes = image_bytes(width, height, item_size);
    if (bytes < 0) {
        fatal("Image size not supported.\n");
        return 1;
    }
    const tdnode *node = spool(lines, bytes);
    const tdnode *swapped = node ? swap_file() : nullptr;
    if (!swapped) return 1;
    fputs("define([[XX_FIELD_GREY]])\n", out);
    fprintf(out, "define([[XX_FIELD_GREY_ITEM_TYPE]],[[%s]])\n", item_size == 2 ? "U16" : "U8");
    fprintf(out, "define([[XX_FIELD_GREY_ITEM_SIZE]],[[%d]])\n", item_size);
    fputs("define([[XX_FIELD_GREY_DIMENSIONS]],[[2]])\n", out);
    fprintf(out, "define([[XX_FIELD_GREY_SIZEX]],[[%" PRId32 "]])\n", width);
    fprintf(out, "define([[XX_FIELD_GREY_SIZE0]],[[%" PRId32 "]])\n", width);
    fprintf(out, "define([[XX_FIELD_GREY_SIZEY]],[[%" PRId32 "]])\n", height);
    fprintf(out, "define([[XX_FIELD_GREY_SIZE1]],[[%" PRId32 "]])\n", height);
    fprintf(out, "define([[XX_FIELD_GREY_TOTAL_SIZE]],[[%" PRId32 "]])\n", bytes);
    fprintf(out, "define([[XX_FIELD_GREY_MAXVAL]],[[%d]])\n", int(depth));
    write_data_macros(out, "GREY", node, swapped);
    return 0;
}

FieldResult read_field_block(LineReader &lines, FILE *out) {
    // Every line of the block is required: the end of input before its
    // ENDFIELD, like a line too long to hold, stops the run.
    auto block_line = [&lines] {
        int got = next_data_line(lines);
        if (got == 0) fatal("ENDFIELD not found.\n");
        return got > 0;
    };

    // Name: every byte that is not an ASCII letter becomes "_".
    if (!block_line()) return FieldResult::fatal;
    if (lines.text().size() >= short_line) {
        fatal("Field name too long.\n");
        return FieldResult::fatal;
    }
    char name[short_line];
    const std::string_view name_line = lines.text();
    for (size_t i = 0; i < name_line.size(); i++)
        name[i] = is_letter(name_line[i]) ? name_line[i] : '_';
    name[name_line.size()] = '\0';

    // Type descriptor: item type, white space, item size.  One too long to
    // hold is not a type descriptor either.
    if (!block_line()) return FieldResult::fatal;
    char item_type[short_line];
    int64_t item_size = 0;
    {
        const char *line = lines.c_str();
        size_t ws = 0;
        while (line[ws] && !is_blank(line[ws]))
            ws++;
        // An item type outside the format's names is no more usable than a
        // descriptor without a size: the type goes into a macro body that
        // templates compare and print, and a name like "syscmd(...)U8"
        // would run there.
        if (lines.text().size() >= short_line || !line[ws] ||
            scan_int(line + ws + 1, &item_size) != ScanResult::ok ||
            !is_item_type(std::string_view(line, ws))) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot parse type descriptor\n");
            return FieldResult::abandoned;
        }
        memcpy(item_type, line, ws);
        item_type[ws] = '\0';
    }

    if (!block_line()) return FieldResult::fatal;
    int64_t dims = 0;
    if (scan_int(lines.c_str(), &dims) != ScanResult::ok || dims < 1 || dims > max_dimensions) {
        fatal("Dimensions bad!\n");
        return FieldResult::fatal;
    }

    // Sizes: one conversion per dimension, each going on where the last one
    // stopped; a missing or non-numeric size reads as 0.
    if (!block_line()) return FieldResult::fatal;
    int32_t sizes[max_dimensions] = {};
    {
        const char *p = lines.c_str();
        for (int i = 0; i < dims; i++) {
            int64_t v = 0;
            ScanResult r = scan_int(p, &v, &p);
            if (r == ScanResult::overflow) {
                fatal("Field size not supported.\n");
                return FieldResult::fatal;
            }
            sizes[i] = r == ScanResult::ok ? int32_t(v) : 0;
        }
    }

    if (!block_line()) return FieldResult::fatal;
    int64_t total = 0;
    if (scan_int(lines.c_str(), &total) != ScanResult::ok) {
        fatal("Field size not supported.\n");
        return FieldResult::fatal;
    }

    const tdnode *node = spool(lines, int32_t(total));
    const tdnode *swapped = node ? swap_file() : nullptr;
    if (!swapped) return FieldResult::fatal;
    fprintf(out, "define([[XX_FIELD_%s]])\n", name);
    fprintf(out, "define([[XX_FIELD_%s_ITEM_TYPE]],[[%s]])\n", name, item_type);
    fprintf(out, "define([[XX_FIELD_%s_ITEM_SIZE]],[[%d]])\n", name, int(item_size));
    fprintf(out, "define([[XX_FIELD_%s_DIMENSIONS]],[[%d]])\n", name, int(dims));
    for (int i = 0; i < dims; i++) {
        fprintf(out, "define([[XX_FIELD_%s_SIZE%d]],[[%" PRId32 "]])\n", name, i + 1, sizes[i]);
        fprintf(out, "define([[XX_FIELD_%s_SIZE%c]],[[%" PRId32 "]])\n", name, dimension_letters[i],
                sizes[i]);
    }
    fprintf(out, "define([[XX_FIELD_%s_TOTAL_SIZE]],[[%d]])\n", name, int(total));
    write_data_macros(out, name, node, swapped);

    // Empty lines may follow the data; the next other line closes the block.
    for (;;) {
        if (!block_line()) return FieldResult::fatal;
        if (lines.text().empty()) continue;
        if (lines.text() == "ENDFIELD") return FieldResult::converted;
        fatal("ENDFIELD not found.\n");
        return FieldResult::fatal;
    }
}

} // namespace kuvra_convert
