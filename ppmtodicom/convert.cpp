// The line loop: dispatches every line of the input to the header-comment
// reader or to the emitter of the input's data format.
#include "fields.h"
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>

#include <cstring>

using namespace kuvra_convert;

namespace {

// Returns 0 at end of input, 1 after a fatal condition.
int line_loop(FILE *in, FILE *out, int magic, char *line) {
    bool pending = false; // line holds a line the comment reader read ahead
    for (;;) {
        if (!pending && !fgets_killcrnl(line, KV_LINE_BUFSIZE, in)) return 0;
        pending = false;
        if (line[0] == '#') {
            enum kv_comment_next next = translate_header_comment(line, KV_LINE_BUFSIZE, in, out);
            if (next == KV_COMMENT_EOF) return 0;
            pending = next == KV_COMMENT_PENDING;
            continue;
        }
        switch (magic) {
        case 24:
            if (line[0] == '\0' || strcmp(line, "ENDFIELD") == 0) break;
            if (strcmp(line, "FIELD") == 0) {
                if (read_field_block(line, in, out) == FieldResult::fatal) return 1;
                break;
            }
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Non-field keyword in fieldset file: %s\n",
                         line);
            break;
        case 9:
            if (emit_rgb(line, in, out)) return 1;
            break;
        case 8:
            if (emit_grey(line, in, out)) return 1;
            break;
        }
    }
}

} // namespace

extern "C" int convert_stream(FILE *in, FILE *out, int magic) {
    return convert_stream_with(in, out, magic, nullptr, 0);
}

extern "C" int convert_stream_with(FILE *in, FILE *out, int magic, const char *comments,
                                   size_t length) {
    const char *format = data_format_name(magic);
    if (!format) return -1;
    char line[KV_LINE_BUFSIZE];
    m4_prelude(out);
    // The sniffer has seen the magic line; a stream that no longer yields it
    // lost its content on the way (a decompressor or push-back that failed).
    if (!fgets_killcrnl(line, sizeof line, in)) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Input file must be P5, P6 or KUVRA_FIELDSET\n");
        return 1;
    }
    fprintf(out, "define([[XX_DATA_FORMAT]],[[%s]])\n", format);
    if (line_loop(in, out, magic, line)) return 1;
    // Last, so that their definitions replace the input's of the same names.
    if (length > 0) {
        FILE *extra = fmemopen(const_cast<char *>(comments), length, "r");
        if (!extra) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot open input stream.\n");
            return 1;
        }
        line_loop(extra, out, 0, line); // header comments only: nothing fatal
        fclose(extra);
    }
    fputs("divert[[]]dnl\n", out);
    fflush(out);
    return 0;
}
