// The conversion: structure walk, DCMTK's reading with large values left in
// the file, the attributes checked against the pixel data that are there,
// the first frame decoded alone, and the PNM written from it.
#include <dcmtk/config/osconfig.h>
// osconfig.h first: it sets the feature macros the other DCMTK headers test.
#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/oflog.h>

#include "codestream.h"
#include "dicom_to_p5.h"
#include "fdstream.h"

#include <kuvra/internal/fd.h>
#include <kuvra/internal/io.h>
#include <kuvra/internal/quote.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace dicom_to_p5 {

void init() {
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    DJDecoderRegistration::registerCodecs();
    DJLSDecoderRegistration::registerCodecs();
}

bool parse_max_frame(const char *value, uint64_t &limit) {
    limit = default_max_frame;
    if (!value || !*value) return true;
    uint64_t v = 0;
    const char *p = value;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + uint64_t(*p - '0');
    }
    if (p == value) return false;
    unsigned shift = 0;
    if (*p == 'K' || *p == 'k')
        shift = 10, ++p;
    else if (*p == 'M' || *p == 'm')
        shift = 20, ++p;
    else if (*p == 'G' || *p == 'g')
        shift = 30, ++p;
    if (*p || v == 0 || v > (UINT64_MAX >> shift)) return false;
    limit = v << shift;
    return true;
}

int anonymous_file() {
    const char *dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = KV_SPOOL_DIR;
    int fd = open(dir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    std::string name = std::string(dir) + "/kuvra_dicom_to_P5_XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
    return fd;
}

namespace {

using kuvra::internal::UniqueFd;

// Data values DCMTK loads when they are read; larger ones stay in the file
// until asked for, and then only the part asked for.
constexpr Uint32 load_limit = 4096;

enum class Colour { mono, rgb, ybr_full, ybr_full_422, palette };

struct Image {
    Uint16 rows = 0, cols = 0, spp = 1, alloc = 0, stored = 0, high = 0, sign = 0, planar = 0;
    uint32_t frames = 1;
    std::string photometric;
    Colour colour = Colour::mono;
    unsigned bytes() const { return alloc / 8u; }
    uint64_t pixels() const { return uint64_t(rows) * cols; }
};

std::string trimmed(const OFString &s) {
    std::string t = s.c_str();
    while (!t.empty() && (t.back() == ' ' || t.back() == '\0'))
        t.pop_back();
    while (!t.empty() && t.front() == ' ')
        t.erase(t.begin());
    return t;
}

// Sample i of the frame, a BitsAllocated-wide little-endian unit.
uint32_t unit(const std::vector<uint8_t> &f, const Image &im, uint64_t i) {
    if (im.alloc == 8) return f[size_t(i)];
    return f[size_t(2 * i)] | uint32_t(f[size_t(2 * i + 1)]) << 8;
}

// The stored value of one sample: bits HighBit-BitsStored+1 .. HighBit.
// Signed values are offset by 2^(BitsStored-1), so that the most negative
// value maps to 0 (PNM samples have no sign).
uint32_t stored_value(uint32_t raw, const Image &im) {
    const unsigned shift = im.high + 1u - im.stored;
    const uint32_t mask = (1u << im.stored) - 1u;
    uint32_t v = (raw >> shift) & mask;
    if (im.sign) v = (v + (1u << (im.stored - 1))) & mask;
    return v;
}

// The samples of the image, buffered into writes of 64 KiB.
class PnmWriter {
  public:
    explicit PnmWriter(const Sink &sink) : sink_(sink) { buf_.reserve(1 << 16); }
    void text(const std::string &s) { buf_ += s; }
    bool sample(uint32_t v, bool wide) {
        if (wide) buf_ += char(v >> 8);
        buf_ += char(v & 0xFF);
        return buf_.size() < (1 << 16) || flush();
    }
    bool flush() {
        const bool ok = buf_.empty() || sink_(buf_.data(), buf_.size());
        buf_.clear();
        return ok;
    }

  private:
    const Sink &sink_;
    std::string buf_;
};

std::string pnm_header(const char *magic, const Image &im, uint32_t maxval) {
    return std::string(magic) + "\n" + std::to_string(im.cols) + " " + std::to_string(im.rows) +
           "\n" + std::to_string(maxval) + "\n";
}

// The palette of a PALETTE COLOR image: three tables of the same layout.
struct Palette {
    uint32_t entries = 0, bits = 16;
    int32_t first = 0;
    std::vector<uint16_t> table[3];
};

class Converter {
  public:
    Converter(int fd, uint64_t size, const std::string &name, uint64_t max_frame, const Sink &sink,
              std::string &message)
        : fd_(fd), size_(size), name_(name), max_frame_(max_frame), sink_(sink), message_(message) {
    }

    int run();

  private:
    int inflate_data_set(uint64_t from, uint64_t &inflated);
    int read_data_set(int fd, uint64_t end, bool bare);
    bool names_deflate();
    int fail(std::string m) {
        message_ = std::move(m);
        return 1;
    }
    bool looks_like_dicom();
    int read_attributes();
    int read_native(DcmPixelData *pd);
    int read_encapsulated(DcmPixelData *pd);
    int read_palette();
    int write();
    std::string declared() const;
    std::string mismatch(const char *codec, const Shape &got, uint64_t got_bytes) const;

    int fd_;
    uint64_t size_;
    const std::string &name_;
    uint64_t max_frame_;
    const Sink &sink_;
    std::string &message_;
    DcmFileFormat ff_;
    DcmDataset *ds_ = nullptr;
    E_TransferSyntax xfer_ = EXS_Unknown;
    Image im_;
    bool native_422_ = false;
    uint64_t frame_bytes_ =
        0; // one frame as the pixel data hold it (native YBR_FULL_422: subsampled)
    std::vector<uint8_t> frame_;
    Palette palette_;
    // The inflated data set of a deflated file; DCMTK loads its large
    // values from there when asked.
    UniqueFd inflated_;
};

// A Part 10 file has "DICM" after its 128-byte preamble.  A bare data set
// starts with the tag of a low group in either byte order; anything else is
// not taken for DICOM, since DCMTK would read random bytes as a data set of
// garbage elements.
bool Converter::looks_like_dicom() {
    unsigned char b[132];
    const ssize_t n = size_ >= 8 ? pread(fd_, b, sizeof b, 0) : 0;
    if (n >= 132 && memcmp(b + 128, "DICM", 4) == 0) return true;
    if (n < 8) return false;
    const unsigned le = b[0] | b[1] << 8, be = b[0] << 8 | b[1];
    auto plausible = [](unsigned g) { return g >= 0x0002 && g <= 0x0028 && g % 2 == 0; };
    return plausible(le) || plausible(be);
}

// A deflated data set is inflated into a file of its own, then walked and
// read as the Explicit VR Little Endian data set it is: DCMTK's own inflate
// knows no lengths ahead, and took an element's length from the inflated
// bytes at its word, allocating gigabytes for a few kilobytes of input.
int Converter::inflate_data_set(uint64_t from, uint64_t &inflated) {
    inflated_.reset(anonymous_file());
    if (inflated_.get() < 0)
        return fail(std::string("cannot make a temporary file: ") + strerror(errno));
    const uint64_t limit = max_inflated(max_frame_);
    z_stream z{};
    // DICOM deflates without a zlib header (raw deflate).
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return fail("cannot inflate the data set");
    std::vector<unsigned char> in(1 << 16), out(1 << 16);
    inflated = 0;
    int zr = Z_OK;
    std::string why;
    for (uint64_t at = from; zr != Z_STREAM_END && why.empty();) {
        if (z.avail_in == 0) {
            const ssize_t n =
                at < size_ ? pread(fd_, in.data(),
                                   size_t(std::min<uint64_t>(in.size(), size_ - at)), off_t(at))
                           : 0;
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                why = n < 0 ? std::string("cannot read ") + name_ + ": " + strerror(errno)
                            : "the file is truncated: the deflated data set ends early";
                break;
            }
            at += uint64_t(n);
            z.next_in = in.data();
            z.avail_in = unsigned(n);
        }
        z.next_out = out.data();
        z.avail_out = unsigned(out.size());
        zr = inflate(&z, Z_NO_FLUSH);
        if (zr != Z_OK && zr != Z_STREAM_END && zr != Z_BUF_ERROR) {
            why = std::string("cannot inflate the deflated data set: ") +
                  (z.msg ? z.msg : "corrupt data");
            break;
        }
        const size_t n = out.size() - z.avail_out;
        if (inflated + n > limit) {
            why = "the deflated data set inflates to more than " + std::to_string(limit) +
                  " bytes (twice the frame limit and 64 MiB)";
            break;
        }
        if (kuvra::internal::write_fully(inflated_.get(), out.data(), n) != n) {
            why = std::string("cannot write a temporary file: ") + strerror(errno);
            break;
        }
        inflated += n;
    }
    inflateEnd(&z);
    return why.empty() ? 0 : fail(why);
}

// Whether DCMTK's reading of the file meta information alone names a
// deflated transfer syntax.  The walk stops at a meta element it cannot
// follow; DCMTK reads on, and would inflate the data set on the fly, where
// a length read from the inflated bytes is allocated at its word.
bool Converter::names_deflate() {
    DcmMetaInfo meta;
    FdInputStream stream(fd_, 0, size_);
    meta.transferInit();
    meta.read(stream, EXS_Unknown, EGL_noChange, load_limit);
    meta.transferEnd();
    // A UID is at most 64 bytes: a longer declared length is left in the
    // file by DCMTK, and fetching the value would load it whole.
    DcmElement *e = nullptr;
    if (meta.findAndGetElement(DCM_TransferSyntaxUID, e).bad() || !e || e->getLengthField() > 64)
        return false;
    OFString ts;
    if (e->getOFString(ts, 0).bad()) return false;
    const std::string uid = trimmed(ts);
    return uid == "1.2.840.10008.1.2.1.99" || uid == "1.2.840.10008.1.2.4.95";
}

// DCMTK's reading of the data up to end, which the walk has judged: a Part
// 10 file, or a bare Explicit VR Little Endian data set.
int Converter::read_data_set(int fd, uint64_t end, bool bare) {
    FdInputStream stream(fd, 0, end);
    OFCondition c;
    if (bare) {
        DcmDataset *ds = ff_.getDataset();
        ds->transferInit();
        c = ds->read(stream, EXS_LittleEndianExplicit, EGL_noChange, load_limit);
        ds->transferEnd();
    } else {
        ff_.transferInit();
        c = ff_.read(stream, EXS_Unknown, EGL_noChange, load_limit);
        ff_.transferEnd();
    }
    if (c.bad()) return fail(std::string("cannot read the DICOM stream: ") + c.text());
    return 0;
}

int Converter::run() {
    if (!looks_like_dicom()) return fail(name_ + " is not a DICOM stream");
    uint64_t end = size_, deflated_at = 0;
    std::string why;
    if (!walk(fd_, size_, end, why, false, &deflated_at)) return fail(why);
    if (!deflated_at && names_deflate())
        return fail("the file meta information holds an element that cannot be followed, "
                    "before a deflated data set");
    if (deflated_at) {
        uint64_t inflated = 0;
        if (int r = inflate_data_set(deflated_at, inflated)) return r;
        end = inflated;
        if (!walk(inflated_.get(), inflated, end, why, true)) return fail(why);
        if (int r = read_data_set(inflated_.get(), end, true)) return r;
    } else if (int r = read_data_set(fd_, end, false)) {
        return r;
    }
    ds_ = ff_.getDataset();
    xfer_ = ds_->getOriginalXfer();
    if (int r = read_attributes()) return r;

    DcmElement *e = nullptr;
    DcmPixelData *pd = nullptr;
    if (ds_->findAndGetElement(DCM_PixelData, e).good()) pd = dynamic_cast<DcmPixelData *>(e);
    if (!pd) return fail("no pixel data");
    const DcmXfer x(xfer_);
    int r = x.isEncapsulated() ? read_encapsulated(pd) : read_native(pd);
    if (r) return r;
    if (im_.colour == Colour::palette && (r = read_palette())) return r;
    return write();
}

std::string Converter::declared() const {
    return "Columns " + std::to_string(im_.cols) + " x Rows " + std::to_string(im_.rows) +
           " x SamplesPerPixel " + std::to_string(im_.spp) + " x BitsAllocated " +
           std::to_string(im_.alloc) + " / 8";
}

std::string Converter::mismatch(const char *codec, const Shape &got, uint64_t got_bytes) const {
    return std::string("the ") + codec + " data hold a " + std::to_string(got.cols) + " x " +
           std::to_string(got.rows) + " image of " + std::to_string(got.samples) + " samples of " +
           std::to_string(got.bits) + " bits (" + std::to_string(got_bytes) + " bytes), but " +
           declared() + " make " + std::to_string(frame_bytes_);
}

int Converter::read_attributes() {
    Image &im = im_;
    if (ds_->findAndGetUint16(DCM_Rows, im.rows).bad() ||
        ds_->findAndGetUint16(DCM_Columns, im.cols).bad() ||
        ds_->findAndGetUint16(DCM_BitsAllocated, im.alloc).bad() || !ds_->tagExists(DCM_PixelData))
        return fail("the DICOM stream holds no image (Rows, Columns, BitsAllocated, PixelData)");
    ds_->findAndGetUint16(DCM_SamplesPerPixel, im.spp);
    if (ds_->findAndGetUint16(DCM_BitsStored, im.stored).bad()) im.stored = im.alloc;
    if (ds_->findAndGetUint16(DCM_HighBit, im.high).bad())
        im.high = static_cast<Uint16>(im.stored - 1);
    ds_->findAndGetUint16(DCM_PixelRepresentation, im.sign);
    ds_->findAndGetUint16(DCM_PlanarConfiguration, im.planar);
    OFString s;
    ds_->findAndGetOFString(DCM_PhotometricInterpretation, s);
    im.photometric = trimmed(s);
    Sint32 frames = 0;
    if (ds_->findAndGetSint32(DCM_NumberOfFrames, frames).good()) {
        if (frames < 1)
            return fail("the image has no frames (NumberOfFrames " + std::to_string(frames) + ")");
        im.frames = uint32_t(frames);
    }
    if (im.rows == 0 || im.cols == 0) return fail("the image has no pixels");

    const std::string &pi = im.photometric;
    if (pi == "MONOCHROME1" || pi == "MONOCHROME2")
        im.colour = Colour::mono;
    else if (pi == "RGB" || pi == "YBR_ICT" || pi == "YBR_RCT")
        im.colour = Colour::rgb;
    else if (pi == "YBR_FULL")
        im.colour = Colour::ybr_full;
    else if (pi == "YBR_FULL_422")
        im.colour = Colour::ybr_full_422;
    else if (pi == "PALETTE COLOR")
        im.colour = Colour::palette;
    else
        return fail("unsupported photometric interpretation " + kuvra::internal::shown(pi));
    const bool one = im.colour == Colour::mono || im.colour == Colour::palette;
    if (one && im.spp != 1)
        return fail(std::string(im.colour == Colour::mono ? "monochrome" : "palette colour") +
                    " image with " + std::to_string(im.spp) + " samples per pixel");
    if (!one && im.spp != 3)
        return fail(pi + " image with " + std::to_string(im.spp) + " samples per pixel");
    if ((im.alloc != 8 && im.alloc != 16) || im.stored == 0 || im.stored > im.alloc ||
        im.high >= im.alloc || im.high + 1 < im.stored)
        return fail("unsupported sample layout: BitsAllocated " + std::to_string(im.alloc) +
                    ", BitsStored " + std::to_string(im.stored) + ", HighBit " +
                    std::to_string(im.high));

    const bool native = !DcmXfer(xfer_).isEncapsulated();
    if (native && im.colour == Colour::ybr_full_422) {
        // Two luminance samples share one pair of chrominance samples.
        if (im.cols % 2) return fail("YBR_FULL_422 image with an odd number of columns");
        frame_bytes_ = im.pixels() * 2 * im.bytes();
        native_422_ = true;
    } else {
        frame_bytes_ = im.pixels() * im.spp * im.bytes();
    }
    if (frame_bytes_ > max_frame_)
        return fail("the image frame of " + std::to_string(frame_bytes_) +
                    " bytes is larger than the limit of " + std::to_string(max_frame_) +
                    " bytes (KUVRA_DICOM_TO_P5_MAX_FRAME)");
    return 0;
}

int Converter::read_native(DcmPixelData *pd) {
    const uint64_t have = pd->getLengthField();
    const uint64_t want = frame_bytes_ * im_.frames;
    // An odd length is padded to even with one byte; writers also pad
    // with zero bytes (pydicom's MR_small_padded.dcm has 128 of them), but
    // fewer than a frame: more data than declared that are not all zero, or
    // not less than a frame, are another image than the attributes say.
    bool padded = have > want && have - want < frame_bytes_;
    if (padded) {
        std::vector<uint8_t> tail(static_cast<size_t>(have - want));
        padded = pd->getPartialValue(tail.data(), Uint32(want), Uint32(tail.size()), nullptr,
                                     EBO_LittleEndian)
                     .good();
        for (uint8_t b : tail)
            padded &= b == 0;
    }
    if (have != want && !padded)
        return fail("the pixel data hold " + std::to_string(have) + " bytes, but NumberOfFrames " +
                    std::to_string(im_.frames) + " x " + declared() +
                    (native_422_ ? " x 2/3 (YBR_FULL_422)" : "") + " make " + std::to_string(want));
    frame_.resize(size_t(frame_bytes_));
    OFCondition c =
        pd->getPartialValue(frame_.data(), 0, Uint32(frame_bytes_), nullptr, EBO_LittleEndian);
    if (c.bad()) return fail(std::string("cannot read the pixel data: ") + c.text());
    return 0;
}

int Converter::read_encapsulated(DcmPixelData *pd) {
    const DcmXfer x(xfer_);
    const std::string ts = std::string(x.getXferName()) + " (" + x.getXferID() + ")";
    const bool j2k = xfer_ == EXS_JPEG2000LosslessOnly || xfer_ == EXS_JPEG2000;
    const bool rle = xfer_ == EXS_RLELossless;
    const bool jpeg_ls = xfer_ == EXS_JPEGLSLossless || xfer_ == EXS_JPEGLSLossy;
    if (!j2k && !rle && !DcmCodecList::canChangeCoding(xfer_, EXS_LittleEndianExplicit))
        return fail("the transfer syntax " + ts + " is not supported");
    DcmPixelSequence *seq = nullptr;
    if (pd->getEncapsulatedRepresentation(xfer_, nullptr, seq).bad() || !seq)
        return fail("the pixel data are not encapsulated as the transfer syntax " + ts +
                    " requires");
    const unsigned long items = seq->card();
    if (items < 2) return fail("the pixel data hold no compressed frame");

    // The fragments of the first frame: all of them for a single frame, one
    // per frame when they are as many, else as the offset table says, else
    // up to the one that ends the code stream (JPEG and JPEG 2000 end with
    // FF D9).
    auto item = [&](unsigned long i) {
        DcmPixelItem *it = nullptr;
        return seq->getItem(it, i).good() ? it : nullptr;
    };
    unsigned long last = items - 1;
    if (im_.frames > 1 && items - 1 != im_.frames) {
        DcmPixelItem *table = item(0);
        Uint8 *t = nullptr;
        if (table && table->getLength() >= 8 && table->getUint8Array(t).good() && t) {
            const uint32_t second =
                t[4] | uint32_t(t[5]) << 8 | uint32_t(t[6]) << 16 | uint32_t(t[7]) << 24;
            uint64_t at = 0;
            for (last = 1; last + 1 < items; ++last) {
                DcmPixelItem *f = item(last);
                at += 8 + (f ? f->getLength() : 0);
                if (at >= second) break;
            }
        } else if (!rle) {
            for (last = 1; last + 1 < items; ++last) {
                DcmPixelItem *f = item(last);
                const Uint32 len = f ? f->getLength() : 0;
                uint8_t tail[3] = {};
                const Uint32 k = std::min<Uint32>(len, 3);
                if (k && f->getPartialValue(tail, len - k, k, nullptr, EBO_LittleEndian).good()) {
                    const uint8_t *e = tail + k;
                    if (k == 3 && !e[-1]) --e; // pad byte
                    if (e - tail >= 2 && e[-2] == 0xFF && e[-1] == 0xD9) break;
                }
            }
        } else {
            last = 1;
        }
    } else if (im_.frames > 1) {
        last = 1;
    }
    uint64_t total = 0;
    for (unsigned long i = 1; i <= last; ++i)
        if (DcmPixelItem *f = item(i)) total += f->getLength();
    // Compression that makes a frame more than twice as large has no use;
    // such a "frame" would only cost memory.
    if (total > 2 * frame_bytes_ + (1 << 20))
        return fail("the compressed frame of " + std::to_string(total) +
                    " bytes is larger than twice the " + std::to_string(frame_bytes_) +
                    " bytes that the attributes declare");
    // The compressed frame, read where it lies in the file, fragment by
    // fragment: false when the bytes from `from` on cannot be read, and
    // unreadable says why.
    std::string unreadable;
    std::vector<std::pair<uint64_t, DcmPixelItem *>> parts; // where each fragment starts
    uint64_t at = 0;
    for (unsigned long i = 1; i <= last; ++i)
        if (DcmPixelItem *f = item(i); f && f->getLength()) {
            parts.emplace_back(at, f);
            at += f->getLength();
        }
    auto bytes = [&](uint64_t from, uint8_t *buf, size_t n) {
        auto p = std::upper_bound(parts.begin(), parts.end(), from,
                                  [](uint64_t v, const auto &e) { return v < e.first; });
        for (--p; n; ++p) {
            const uint64_t off = from - p->first;
            const size_t k = size_t(std::min<uint64_t>(n, p->second->getLength() - off));
            const OFCondition c =
                p->second->getPartialValue(buf, Uint32(off), Uint32(k), nullptr, EBO_LittleEndian);
            if (c.bad()) {
                unreadable = std::string("cannot read the pixel data: ") + c.text();
                return false;
            }
            buf += k;
            from += k;
            n -= k;
        }
        return true;
    };
    if (rle) {
        // Decoded straight from the file, 64 KiB at a time: DCMTK's RLE
        // codec held the compressed frame, a copy of it and the decoded
        // frame at once.
        std::string why;
        if (!rle_decode(bytes, total, im_.spp, im_.bytes(), im_.pixels(), frame_, why))
            return fail(unreadable.empty() ? why : unreadable);
        im_.planar = 0;
        if (im_.colour == Colour::ybr_full_422) im_.colour = Colour::ybr_full;
        return 0;
    }
    if (j2k) {
        bool shape_mismatch = false;
        Shape got;
        std::string why;
        if (!j2k_decode(bytes, total, Shape{im_.cols, im_.rows, im_.spp, im_.alloc}, im_.bytes(),
                        frame_, why, shape_mismatch, got)) {
            if (shape_mismatch)
                return fail(mismatch("JPEG 2000", got, got.bytes(got.bits > 8 ? 2 : 1)));
            if (!unreadable.empty()) return fail(unreadable);
            return fail("cannot decode the JPEG 2000 data (transfer syntax " +
                        std::string(x.getXferID()) + "): " + why);
        }
        // OpenJPEG undoes the code stream's colour transform.
        im_.planar = 0;
        if (im_.photometric == "YBR_ICT" || im_.photometric == "YBR_RCT") im_.photometric = "RGB";
        return 0;
    }
    {
        // The frame header comes before the first scan, after the tables:
        // the first 64 KiB hold it but in streams of unusual tables, which
        // are read whole.  DCMTK loads the frame itself when it decodes; a
        // copy of ours beside it cost the frame's size once more.
        Shape got;
        const char *codec = jpeg_ls ? "JPEG-LS" : "JPEG";
        std::vector<uint8_t> head(size_t(std::min<uint64_t>(total, 1 << 16)));
        if (!head.empty() && !bytes(0, head.data(), head.size())) return fail(unreadable);
        bool found = jpeg_shape(head.data(), head.size(), got);
        if (!found && total > head.size()) {
            head.resize(size_t(total));
            if (!bytes(0, head.data(), head.size())) return fail(unreadable);
            found = jpeg_shape(head.data(), head.size(), got);
        }
        if (!found) return fail(std::string("the ") + codec + " data have no frame header");
        const uint64_t got_bytes = got.bytes(got.bits > 8 ? 2 : 1);
        if (got.cols != im_.cols || got.rows != im_.rows || got.samples != im_.spp ||
            got_bytes != frame_bytes_)
            return fail(mismatch(codec, got, got_bytes));
    }
    // DCMTK asks for an even buffer.
    frame_.resize(size_t(frame_bytes_ + frame_bytes_ % 2));
    Uint32 start = 0;
    OFString model;
    OFCondition c = pd->getUncompressedFrame(ds_, 0, start, frame_.data(), Uint32(frame_.size()),
                                             model, nullptr);
    if (c.bad())
        return fail("cannot decode the pixel data (transfer syntax " + ts + "): " + c.text());
    // The JPEG decoder turns YBR into RGB.
    if (!model.empty()) im_.photometric = trimmed(model);
    if (im_.photometric == "RGB")
        im_.colour = Colour::rgb;
    else if (im_.colour == Colour::ybr_full_422)
        im_.colour = Colour::ybr_full;
    return 0;
}

int Converter::read_palette() {
    if (ds_->tagExists(DCM_SegmentedRedPaletteColorLookupTableData) ||
        ds_->tagExists(DCM_SegmentedGreenPaletteColorLookupTableData) ||
        ds_->tagExists(DCM_SegmentedBluePaletteColorLookupTableData))
        return fail("cannot render the palette colour image: segmented palettes are not supported");
    const DcmTagKey desc[3] = {DCM_RedPaletteColorLookupTableDescriptor,
                               DCM_GreenPaletteColorLookupTableDescriptor,
                               DCM_BluePaletteColorLookupTableDescriptor};
    const DcmTagKey data[3] = {DCM_RedPaletteColorLookupTableData,
                               DCM_GreenPaletteColorLookupTableData,
                               DCM_BluePaletteColorLookupTableData};
    for (int c = 0; c < 3; ++c) {
        Uint16 d[3];
        for (unsigned long k = 0; k < 3; ++k)
            if (ds_->findAndGetUint16(desc[c], d[k], k).bad())
                return fail("cannot render the palette colour image: no complete lookup table "
                            "descriptor");
        const uint32_t entries = d[0] ? d[0] : 65536;
        const int32_t first = im_.sign ? int16_t(d[1]) : int32_t(d[1]);
        if (c && (entries != palette_.entries || first != palette_.first || d[2] != palette_.bits))
            return fail("cannot render the palette colour image: its three lookup tables differ "
                        "in layout");
        if (d[2] != 8 && d[2] != 16)
            return fail("cannot render the palette colour image: lookup table entries of " +
                        std::to_string(d[2]) + " bits");
        palette_.entries = entries;
        palette_.first = first;
        palette_.bits = d[2];
        DcmElement *e = nullptr;
        Uint16 *w = nullptr;
        if (ds_->findAndGetElement(data[c], e).bad() || !e || e->getUint16Array(w).bad() || !w)
            return fail("cannot render the palette colour image: no lookup table data");
        const unsigned long words = e->getLength() / 2;
        auto &t = palette_.table[c];
        if (d[2] == 8 && words * 2 == entries) {
            // Two 8-bit entries to a word, the first in the low byte.
            for (unsigned long i = 0; i < words; ++i) {
                t.push_back(w[i] & 0xFF);
                t.push_back(w[i] >> 8);
            }
        } else if (words == entries) {
            t.assign(w, w + words);
            if (d[2] == 8)
                for (auto &v : t)
                    v &= 0xFF;
        } else {
            return fail("cannot render the palette colour image: the lookup table holds " +
                        std::to_string(words) + " words for " + std::to_string(entries) +
                        " entries");
        }
    }
    return 0;
}

int Converter::write() {
    const Image &im = im_;
    PnmWriter out(sink_);
    const uint64_t pixels = im.pixels();
    const uint32_t maxval = (1u << im.stored) - 1u;
    const bool wide = im.stored > 8;
    auto sample = [&](uint64_t i) { return stored_value(unit(frame_, im, i), im); };
    bool ok = true;
    switch (im.colour) {
    case Colour::mono:
        out.text(pnm_header("P5", im, maxval));
        for (uint64_t p = 0; ok && p < pixels; ++p)
            ok = out.sample(sample(p), wide);
        break;
    case Colour::rgb:
        out.text(pnm_header("P6", im, maxval));
        // Planar configuration 1 stores all reds, then greens, then blues.
        for (uint64_t p = 0; ok && p < pixels; ++p)
            for (unsigned c = 0; ok && c < 3; ++c)
                ok = out.sample(sample(im.planar ? c * pixels + p : p * 3 + c), wide);
        break;
    case Colour::ybr_full:
    case Colour::ybr_full_422: {
        // ITU-R BT.601 full range, as pydicom converts it: rounded, clipped.
        out.text(pnm_header("P6", im, maxval));
        const double half = double(1u << (im.stored - 1));
        for (uint64_t p = 0; ok && p < pixels; ++p) {
            double y, cb, cr;
            if (im.colour == Colour::ybr_full_422) {
                const uint64_t pair = p / 2 * 4;
                y = sample(pair + p % 2);
                cb = sample(pair + 2) - half;
                cr = sample(pair + 3) - half;
            } else if (im.planar) {
                y = sample(p);
                cb = sample(pixels + p) - half;
                cr = sample(2 * pixels + p) - half;
            } else {
                y = sample(3 * p);
                cb = sample(3 * p + 1) - half;
                cr = sample(3 * p + 2) - half;
            }
            const double rgb[3] = {y + 1.402 * cr,
                                   y - 0.114 * 1.772 / 0.587 * cb - 0.299 * 1.402 / 0.587 * cr,
                                   y + 1.772 * cb};
            for (unsigned c = 0; ok && c < 3; ++c) {
                const double v = std::floor(rgb[c] + 0.5);
                ok = out.sample(v < 0 ? 0 : v > maxval ? maxval : uint32_t(v), wide);
            }
        }
        break;
    }
    case Colour::palette: {
        const Palette &pal = palette_;
        out.text(pnm_header("P6", im, (1u << pal.bits) - 1u));
        const unsigned shift = im.high + 1u - im.stored;
        const uint32_t mask = (1u << im.stored) - 1u;
        for (uint64_t p = 0; ok && p < pixels; ++p) {
            int64_t v = (unit(frame_, im, p) >> shift) & mask;
            if (im.sign && (v >> (im.stored - 1))) v -= int64_t(1) << im.stored;
            // Values outside the table take its first or last entry.
            int64_t k = v - pal.first;
            k = k < 0 ? 0 : k >= int64_t(pal.entries) ? pal.entries - 1 : k;
            for (unsigned c = 0; ok && c < 3; ++c)
                ok = out.sample(pal.table[c][size_t(k)], pal.bits > 8);
        }
        break;
    }
    }
    if (!ok || !out.flush()) return fail(std::string("cannot write the image: ") + strerror(errno));
    return 0;
}

} // namespace

int convert(int fd, uint64_t size, const std::string &name, uint64_t max_frame, const Sink &sink,
            std::string &message) {
    return Converter(fd, size, name, max_frame, sink, message).run();
}

} // namespace dicom_to_p5
