#include "codestream.h"

#include <openjpeg.h>

#include <cstring>
#include <memory>

namespace dicom_to_p5 {

bool jpeg_shape(const uint8_t *p, size_t n, Shape &shape) {
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
    size_t i = 2;
    while (i + 4 <= n) {
        if (p[i] != 0xFF) return false;
        const uint8_t m = p[i + 1];
        if (m == 0xFF) { // fill byte
            ++i;
            continue;
        }
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) { // markers without a length
            i += 2;
            continue;
        }
        if (m == 0xDA || m == 0xD9) return false; // a scan, or the end, before any frame header
        const size_t len = size_t(p[i + 2]) << 8 | p[i + 3];
        const bool sof =
            (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) || m == 0xF7;
        if (sof) {
            if (len < 8 || i + 10 > n) return false;
            shape.bits = p[i + 4];
            shape.rows = uint32_t(p[i + 5]) << 8 | p[i + 6];
            shape.cols = uint32_t(p[i + 7]) << 8 | p[i + 8];
            shape.samples = p[i + 9];
            return true;
        }
        i += 2 + len;
    }
    return false;
}

bool rle_check(const uint8_t *p, size_t n, uint32_t segments, uint64_t segment_length,
               std::string &message) {
    auto u32 = [&](size_t at) {
        return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 |
               uint32_t(p[at + 3]) << 24;
    };
    if (n < 64) {
        message = "the RLE frame of " + std::to_string(n) + " bytes has no complete header";
        return false;
    }
    const uint32_t count = u32(0);
    if (count != segments) {
        message = "the RLE frame holds " + std::to_string(count) +
                  " segments, the attributes declare " + std::to_string(segments);
        return false;
    }
    for (uint32_t s = 0; s < count; ++s) {
        const uint64_t from = u32(4 + 4 * s);
        const uint64_t to = s + 1 < count ? u32(8 + 4 * s) : n;
        if (from < 64 || from > to || to > n) {
            message = "the RLE frame's segment " + std::to_string(s + 1) + " lies outside it";
            return false;
        }
        // PackBits: a header byte h < 128 copies h + 1 bytes, h > 128
        // repeats the next byte 257 - h times, 128 does nothing.
        uint64_t out = 0;
        for (uint64_t i = from; i < to;) {
            const uint8_t h = p[i++];
            if (h < 128) {
                const uint64_t take = std::min<uint64_t>(h + 1u, to - i);
                out += take;
                i += take;
            } else if (h > 128) {
                if (i == to) break;
                out += 257u - h;
                ++i;
            }
        }
        if (out != segment_length && out != segment_length + 1) {
            message = "the RLE frame's segment " + std::to_string(s + 1) + " decodes to " +
                      std::to_string(out) + " bytes, the attributes declare " +
                      std::to_string(segment_length) + " (Rows x Columns)";
            return false;
        }
    }
    return true;
}

namespace {

// OpenJPEG reads the code stream from memory through these.
struct Memory {
    const uint8_t *p;
    size_t n, at = 0;
};

OPJ_SIZE_T mem_read(void *buf, OPJ_SIZE_T len, void *user) {
    auto *m = static_cast<Memory *>(user);
    if (m->at >= m->n) return OPJ_SIZE_T(-1);
    const size_t take = std::min<size_t>(len, m->n - m->at);
    memcpy(buf, m->p + m->at, take);
    m->at += take;
    return take;
}

OPJ_OFF_T mem_skip(OPJ_OFF_T len, void *user) {
    auto *m = static_cast<Memory *>(user);
    if (len < 0) {
        const size_t back = std::min<size_t>(size_t(-len), m->at);
        m->at -= back;
        return -OPJ_OFF_T(back);
    }
    const size_t fwd = std::min<size_t>(size_t(len), m->n - m->at);
    m->at += fwd;
    return OPJ_OFF_T(fwd);
}

OPJ_BOOL mem_seek(OPJ_OFF_T to, void *user) {
    auto *m = static_cast<Memory *>(user);
    if (to < 0 || uint64_t(to) > m->n) return OPJ_FALSE;
    m->at = size_t(to);
    return OPJ_TRUE;
}

// The first error OpenJPEG reports, without its line feed.
void on_error(const char *msg, void *user) {
    auto *s = static_cast<std::string *>(user);
    if (!s->empty()) return;
    *s = msg;
    while (!s->empty() && (s->back() == '\n' || s->back() == ' '))
        s->pop_back();
}

void ignore(const char *, void *) {}

struct CodecFree {
    void operator()(opj_codec_t *c) const { opj_destroy_codec(c); }
};
struct StreamFree {
    void operator()(opj_stream_t *s) const { opj_stream_destroy(s); }
};
struct ImageFree {
    void operator()(opj_image_t *i) const { opj_image_destroy(i); }
};

} // namespace

bool j2k_decode(const uint8_t *p, size_t n, const Shape &want, unsigned bytes_per_sample,
                std::vector<uint8_t> &out, std::string &message, bool &shape_mismatch, Shape &got) {
    shape_mismatch = false;
    static const uint8_t jp2_signature[] = {0, 0, 0, 12, 'j', 'P', ' ', ' '};
    const bool jp2 = n >= sizeof jp2_signature && memcmp(p, jp2_signature, 8) == 0;
    std::unique_ptr<opj_codec_t, CodecFree> codec(
        opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    std::string error;
    opj_set_error_handler(codec.get(), on_error, &error);
    opj_set_warning_handler(codec.get(), ignore, nullptr);
    opj_set_info_handler(codec.get(), ignore, nullptr);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(codec.get(), &params)) {
        message = "OpenJPEG cannot be set up";
        return false;
    }
    Memory mem{p, n};
    std::unique_ptr<opj_stream_t, StreamFree> stream(opj_stream_create(1 << 16, OPJ_TRUE));
    opj_stream_set_user_data(stream.get(), &mem, nullptr);
    opj_stream_set_user_data_length(stream.get(), n);
    opj_stream_set_read_function(stream.get(), mem_read);
    opj_stream_set_skip_function(stream.get(), mem_skip);
    opj_stream_set_seek_function(stream.get(), mem_seek);
    opj_image_t *raw = nullptr;
    if (!opj_read_header(stream.get(), codec.get(), &raw)) {
        message = error.empty() ? "no code stream header" : error;
        return false;
    }
    std::unique_ptr<opj_image_t, ImageFree> image(raw);
    const uint32_t w = image->x1 - image->x0, h = image->y1 - image->y0;
    bool same = w == want.cols && h == want.rows && image->numcomps == want.samples;
    uint32_t prec = 0;
    for (uint32_t c = 0; c < image->numcomps; ++c) {
        const opj_image_comp_t &comp = image->comps[c];
        same &= comp.dx == 1 && comp.dy == 1 && comp.prec >= 1 && comp.prec <= want.bits;
        prec = std::max(prec, comp.prec);
    }
    if (!same) {
        shape_mismatch = true;
        got = Shape{w, h, image->numcomps, prec};
        return false;
    }
    if (!opj_decode(codec.get(), stream.get(), image.get()) ||
        !opj_end_decompress(codec.get(), stream.get())) {
        message = error.empty() ? "the code stream cannot be decoded" : error;
        return false;
    }
    const uint64_t pixels = uint64_t(w) * h;
    for (uint32_t c = 0; c < image->numcomps; ++c)
        if (!image->comps[c].data || image->comps[c].w != w || image->comps[c].h != h) {
            message = "the code stream's components were not decoded in full";
            return false;
        }
    out.assign(size_t(pixels * image->numcomps * bytes_per_sample), 0);
    size_t o = 0;
    for (uint64_t i = 0; i < pixels; ++i)
        for (uint32_t c = 0; c < image->numcomps; ++c) {
            const uint32_t v = uint32_t(image->comps[c].data[i]);
            out[o++] = uint8_t(v);
            if (bytes_per_sample == 2) out[o++] = uint8_t(v >> 8);
        }
    return true;
}

} // namespace dicom_to_p5
