#include "codestream.h"

#include <openjpeg.h>

#include <algorithm>
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

namespace {

// A segment of an RLE frame, read forward through a buffer of its own.
class SegmentReader {
  public:
    SegmentReader(const FrameBytes &bytes, uint64_t from, uint64_t to)
        : bytes_(bytes), at_(from), end_(to) {}
    // The next byte, or -1 at the segment's end or on a read error.
    int next() {
        if (pos_ == have_ && !fill()) return -1;
        return buf_[pos_++];
    }
    // Skips up to k bytes; how many were skipped.
    uint64_t skip(uint64_t k) {
        uint64_t done = 0;
        while (done < k && (pos_ < have_ || fill())) {
            const size_t step = size_t(std::min<uint64_t>(k - done, have_ - pos_));
            pos_ += step;
            done += step;
        }
        return done;
    }
    bool failed() const { return failed_; }

  private:
    bool fill() {
        if (at_ == end_ || failed_) return false;
        const size_t k = size_t(std::min<uint64_t>(sizeof buf_, end_ - at_));
        if (!bytes_(at_, buf_, k)) {
            failed_ = true;
            return false;
        }
        at_ += k;
        have_ = k;
        pos_ = 0;
        return true;
    }

    const FrameBytes &bytes_;
    uint64_t at_, end_;
    size_t have_ = 0, pos_ = 0;
    bool failed_ = false;
    uint8_t buf_[1 << 16];
};

// PackBits, as RLE segments hold it: a header byte h < 128 copies the next
// h + 1 bytes, h > 128 repeats the next byte 257 - h times, 128 does
// nothing.  put(byte) receives the first limit decoded bytes; the count of
// all of them is returned.  A run cut off by the segment's end gives what
// is there.
template <class Put> uint64_t unpack(SegmentReader &in, uint64_t limit, Put put) {
    uint64_t out = 0;
    for (int h; (h = in.next()) >= 0;) {
        if (h < 128) {
            uint64_t take = uint64_t(h) + 1;
            for (; take && out < limit; --take, ++out) {
                const int b = in.next();
                if (b < 0) return out;
                put(out, uint8_t(b));
            }
            out += in.skip(take);
        } else if (h > 128) {
            const int b = in.next();
            if (b < 0) break;
            const uint64_t k = 257u - unsigned(h);
            for (uint64_t j = 0; j < k && out + j < limit; ++j)
                put(out + j, uint8_t(b));
            out += k;
        }
    }
    return out;
}

} // namespace

bool rle_decode(const FrameBytes &bytes, uint64_t n, unsigned samples, unsigned bytes_per_sample,
                uint64_t pixels, std::vector<uint8_t> &out, std::string &message) {
    uint8_t head[64];
    if (n < sizeof head) {
        message = "the RLE frame of " + std::to_string(n) + " bytes has no complete header";
        return false;
    }
    if (!bytes(0, head, sizeof head)) {
        message = "cannot read the pixel data";
        return false;
    }
    auto u32 = [&](size_t at) {
        return uint32_t(head[at]) | uint32_t(head[at + 1]) << 8 | uint32_t(head[at + 2]) << 16 |
               uint32_t(head[at + 3]) << 24;
    };
    const uint32_t count = u32(0), segments = samples * bytes_per_sample;
    if (count != segments) {
        message = "the RLE frame holds " + std::to_string(count) +
                  " segments, the attributes declare " + std::to_string(segments);
        return false;
    }
    uint64_t from[15], to[15];
    for (uint32_t s = 0; s < count; ++s) {
        from[s] = u32(4 + 4 * s);
        to[s] = s + 1 < count ? u32(8 + 4 * s) : n;
        if (from[s] < sizeof head || from[s] > to[s] || to[s] > n) {
            message = "the RLE frame's segment " + std::to_string(s + 1) + " lies outside it";
            return false;
        }
    }
    // Every segment is measured before the frame is allocated: a header
    // that declares more pixels than the segments hold costs no memory.
    for (uint32_t s = 0; s < count; ++s) {
        SegmentReader in(bytes, from[s], to[s]);
        const uint64_t got = unpack(in, 0, [](uint64_t, uint8_t) {});
        if (in.failed()) {
            message = "cannot read the pixel data";
            return false;
        }
        if (got != pixels && got != pixels + 1) {
            message = "the RLE frame's segment " + std::to_string(s + 1) + " decodes to " +
                      std::to_string(got) + " bytes, the attributes declare " +
                      std::to_string(pixels) + " (Rows x Columns)";
            return false;
        }
    }
    // Segments come most significant byte first, sample by sample.
    out.resize(size_t(pixels * segments));
    for (uint32_t s = 0; s < count; ++s) {
        const unsigned sample = s / bytes_per_sample;
        const unsigned byte = bytes_per_sample - 1 - s % bytes_per_sample;
        uint8_t *base = out.data() + sample * bytes_per_sample + byte;
        SegmentReader in(bytes, from[s], to[s]);
        unpack(in, pixels, [&](uint64_t i, uint8_t b) { base[i * segments] = b; });
        if (in.failed()) {
            message = "cannot read the pixel data";
            return false;
        }
    }
    return true;
}

namespace {

// OpenJPEG reads the code stream through these, from where it lies in the
// file: it keeps a copy of its own, and one of ours beside it cost the
// compressed frame's size once more.
struct Source {
    const FrameBytes &bytes;
    uint64_t n, at = 0;
};

OPJ_SIZE_T source_read(void *buf, OPJ_SIZE_T len, void *user) {
    auto *s = static_cast<Source *>(user);
    if (s->at >= s->n) return OPJ_SIZE_T(-1);
    const size_t take = size_t(std::min<uint64_t>(len, s->n - s->at));
    if (!s->bytes(s->at, static_cast<uint8_t *>(buf), take)) return OPJ_SIZE_T(-1);
    s->at += take;
    return take;
}

OPJ_OFF_T source_skip(OPJ_OFF_T len, void *user) {
    auto *s = static_cast<Source *>(user);
    if (len < 0) {
        const uint64_t back = std::min<uint64_t>(uint64_t(-len), s->at);
        s->at -= back;
        return -OPJ_OFF_T(back);
    }
    const uint64_t fwd = std::min<uint64_t>(uint64_t(len), s->n - s->at);
    s->at += fwd;
    return OPJ_OFF_T(fwd);
}

OPJ_BOOL source_seek(OPJ_OFF_T to, void *user) {
    auto *s = static_cast<Source *>(user);
    if (to < 0 || uint64_t(to) > s->n) return OPJ_FALSE;
    s->at = uint64_t(to);
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

bool j2k_decode(const FrameBytes &bytes, uint64_t n, const Shape &want, unsigned bytes_per_sample,
                std::vector<uint8_t> &out, std::string &message, bool &shape_mismatch, Shape &got) {
    shape_mismatch = false;
    static const uint8_t jp2_signature[] = {0, 0, 0, 12, 'j', 'P', ' ', ' '};
    uint8_t head[sizeof jp2_signature] = {};
    const bool jp2 = n >= sizeof head && bytes(0, head, sizeof head) &&
                     memcmp(head, jp2_signature, sizeof head) == 0;
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
    Source src{bytes, n};
    std::unique_ptr<opj_stream_t, StreamFree> stream(opj_stream_create(1 << 16, OPJ_TRUE));
    opj_stream_set_user_data(stream.get(), &src, nullptr);
    opj_stream_set_user_data_length(stream.get(), n);
    opj_stream_set_read_function(stream.get(), source_read);
    opj_stream_set_skip_function(stream.get(), source_skip);
    opj_stream_set_seek_function(stream.get(), source_seek);
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
