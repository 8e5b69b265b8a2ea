// The line loop: dispatches every line of the input to the header-comment
// reader or to the emitter of the input's data format.
#include "fields.h"
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/filetype.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace kuvra_convert {

bool LineReader::next() {
    text_.clear();
    too_long_ = false;
    if (!(in_ ? read_from_stream() : read_from_fd())) return false;
    if (!too_long_ && !text_.empty() && text_.back() == '\r') text_.pop_back();
    if (text_.size() > max_line) {
        text_.resize(max_line);
        too_long_ = true;
    }
    return true;
}

// One byte more than max_line is kept, so that a line of max_line bytes that
// ends in CR LF still fits once its CR is gone.
bool LineReader::read_from_stream() {
    bool any = false;
    flockfile(in_);
    for (int c; (c = getc_unlocked(in_)) != EOF;) {
        any = true;
        if (c == '\n') break;
        if (text_.size() <= max_line)
            text_.push_back(static_cast<char>(c));
        else
            too_long_ = true;
    }
    funlockfile(in_);
    return any;
}

bool LineReader::read_from_fd() {
    bool any = false;
    for (;;) {
        if (pos_ == end_) {
            ssize_t n;
            do
                n = read(fd_, buffer_.get(), buffer_size);
            while (n < 0 && errno == EINTR);
            if (n <= 0) return any;
            pos_ = 0;
            end_ = size_t(n);
        }
        any = true;
        const char *at = buffer_.get() + pos_;
        const void *nl = memchr(at, '\n', end_ - pos_);
        const size_t len = nl ? size_t(static_cast<const char *>(nl) - at) : end_ - pos_;
        const size_t room = max_line + 1 - std::min(text_.size(), max_line + 1);
        text_.append(at, std::min(len, room));
        if (len > room) too_long_ = true;
        pos_ += len + (nl ? 1 : 0);
        if (nl) return true;
    }
}

int next_data_line(LineReader &lines) {
    if (!lines.next()) return 0;
    if (lines.too_long()) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Input line too long.\n");
        return -1;
    }
    return 1;
}

} // namespace kuvra_convert

using namespace kuvra_convert;

namespace {

// Returns 0 at end of input, 1 after a fatal condition.
int line_loop(LineReader &lines, FILE *out, int magic, AttributeList &attrs) {
    bool pending = false; // lines holds a line the comment reader read ahead
    for (;;) {
        if (!pending && !lines.next()) return 0;
        pending = false;
        if (lines.text().starts_with('#')) {
            enum kv_comment_next next = translate_header_comment(lines, out, &attrs);
            if (next == KV_COMMENT_OVER) return 1;
            if (next == KV_COMMENT_EOF) return 0;
            pending = next == KV_COMMENT_PENDING;
            continue;
        }
        if (lines.too_long()) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Input line too long.\n");
            return 1;
        }
        switch (magic) {
        case KV_MAGIC_FST:
            if (lines.text().empty() || lines.text() == "ENDFIELD") break;
            if (lines.text() == "FIELD") {
                if (read_field_block(lines, out) == FieldResult::fatal) return 1;
                break;
            }
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Non-field keyword in fieldset file: %s\n",
                         lines.c_str());
            break;
        case KV_MAGIC_PPM:
            if (emit_rgb(lines, out)) return 1;
            break;
        case KV_MAGIC_PGM:
            if (emit_grey(lines, out)) return 1;
            break;
        }
    }
}

int convert(LineReader &lines, FILE *out, int magic, const kv_comment_block *blocks, size_t count,
            int (*input_whole)(void *), void *ctx) {
    const char *format = data_format_name(magic);
    if (!format) return -1;
    m4_prelude(out);
    // The sniffer has seen the magic line; a stream that no longer yields it
    // lost its content on the way (a decompressor or push-back that failed).
    if (!lines.next()) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Input file must be P5, P6 or KUVRA_FIELDSET\n");
        return 1;
    }
    fprintf(out, "define([[XX_DATA_FORMAT]],[[%s]])\n", format);
    AttributeList attrs;
    if (line_loop(lines, out, magic, attrs)) return 1;
    if (input_whole && input_whole(ctx) != 0) return 1;
    // Last, so that their definitions replace the input's of the same names.
    for (size_t i = 0; i < count; i++) {
        if (blocks[i].length == 0) continue;
        FILE *extra = fmemopen(const_cast<char *>(blocks[i].lines), blocks[i].length, "r");
        if (!extra) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot open input stream.\n");
            return 1;
        }
        attrs.set_source(blocks[i].origin ? blocks[i].origin : "");
        // Header comments only, with a bound of their own.
        LineReader extra_lines(extra);
        int stopped = line_loop(extra_lines, out, 0, attrs);
        fclose(extra);
        if (stopped) return 1;
    }
    // After every comment: a header comment cannot replace the list.
    attrs.write(out);
    fputs(KV_M4_CLOSING, out);
    fflush(out);
    return 0;
}

} // namespace

extern "C" int convert_stream(FILE *in, FILE *out, int magic) {
    return convert_stream_with(in, out, magic, nullptr, 0, nullptr, nullptr);
}

extern "C" int convert_stream_with(FILE *in, FILE *out, int magic, const kv_comment_block *blocks,
                                   size_t count, int (*input_whole)(void *), void *ctx) {
    LineReader lines(in);
    return convert(lines, out, magic, blocks, count, input_whole, ctx);
}

extern "C" int convert_fd_with(int in, FILE *out, int magic, const kv_comment_block *blocks,
                               size_t count, int (*input_whole)(void *), void *ctx) {
    LineReader lines(in);
    return convert(lines, out, magic, blocks, count, input_whole, ctx);
}
