// kuvra_dicom_to_P5: reads a DICOM stream (Part 10 file or bare dataset, any
// transfer syntax DCMTK decodes) on standard input and writes the first
// frame's stored pixel values, unwindowed, to standard output: monochrome
// images as P5 (one byte per sample up to 8 bits stored, else two bytes,
// most significant first; MAXVAL 2^BitsStored-1), colour images as P6.
#include <dcmtk/config/osconfig.h>
// osconfig.h first: it sets the feature macros the other DCMTK headers test.
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmimage/diregist.h>
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/oflog.h>

#include <kuvra/internal/io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *prog = "kuvra_dicom_to_P5";

int fail(const std::string &msg) {
    fprintf(stderr, "%s: %s\n", prog, msg.c_str());
    return 1;
}

bool read_all(int fd, std::vector<char> &buf) {
    char chunk[1 << 16];
    for (;;) {
        ssize_t r = read(fd, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) return true;
        buf.insert(buf.end(), chunk, chunk + r);
    }
}

bool write_all(int fd, const void *data, size_t n) {
    return kuvra::internal::write_fully(fd, data, n) == n;
}

// A Part 10 file has "DICM" after its 128-byte preamble.  A bare dataset
// starts with the tag of a low group in either byte order; anything else is
// not taken for DICOM, since DCMTK would read random bytes as a dataset of
// garbage elements.
bool looks_like_dicom(const std::vector<char> &b) {
    if (b.size() >= 132 && memcmp(b.data() + 128, "DICM", 4) == 0) return true;
    if (b.size() < 8) return false;
    auto u = [&](size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(b[i])); };
    unsigned le = u(0) | u(1) << 8, be = u(0) << 8 | u(1);
    auto plausible = [](unsigned g) { return g >= 0x0002 && g <= 0x0028 && g % 2 == 0; };
    return plausible(le) || plausible(be);
}

struct Image {
    Uint16 rows = 0, cols = 0, spp = 1, alloc = 0, stored = 0, high = 0, sign = 0, planar = 0;
    std::string photometric;
};

std::string pnm_header(const char *magic, const Image &im, unsigned maxval) {
    return std::string(magic) + "\n" + std::to_string(im.cols) + " " + std::to_string(im.rows) +
           "\n" + std::to_string(maxval) + "\n";
}

// Sample i of the raw pixel data as BitsAllocated-wide little-endian unit.
struct Samples {
    const Uint8 *bytes = nullptr;  // OB data, little-endian units
    const Uint16 *words = nullptr; // OW data, host order
    unsigned long count = 0;       // in units of BitsAllocated
    unsigned alloc = 8;
    uint32_t at(unsigned long i) const {
        if (words) return alloc == 8 ? (words[i / 2] >> (8 * (i % 2))) & 0xFF : words[i];
        if (alloc == 8) return bytes[i];
        return bytes[2 * i] | (uint32_t(bytes[2 * i + 1]) << 8);
    }
};

// The stored value of one sample: bits HighBit-BitsStored+1 .. HighBit.
// Signed values are offset by 2^(BitsStored-1), so that the most negative
// value maps to 0 (PNM samples have no sign).
uint32_t stored_value(uint32_t raw, const Image &im) {
    unsigned shift = im.high + 1u - im.stored;
    uint32_t mask = im.stored >= 32 ? 0xFFFFFFFFu : (1u << im.stored) - 1u;
    uint32_t v = (raw >> shift) & mask;
    if (im.sign) v = (v + (1u << (im.stored - 1))) & mask;
    return v;
}

int write_native(const Image &im, const Samples &s) {
    const bool colour = im.spp == 3;
    const unsigned long pixels = static_cast<unsigned long>(im.rows) * im.cols;
    if (s.count < pixels * im.spp) return fail("pixel data shorter than one frame");
    const unsigned maxval = (1u << im.stored) - 1u;
    const bool wide = im.stored > 8;
    std::string out = pnm_header(colour ? "P6" : "P5", im, maxval);
    out.reserve(out.size() + pixels * im.spp * (wide ? 2 : 1));
    for (unsigned long p = 0; p < pixels; ++p)
        for (unsigned c = 0; c < im.spp; ++c) {
            // Planar configuration 1 stores all reds, then greens, then blues.
            unsigned long idx = im.planar ? c * pixels + p : p * im.spp + c;
            uint32_t v = stored_value(s.at(idx), im);
            if (wide) out += static_cast<char>(v >> 8);
            out += static_cast<char>(v & 0xFF);
        }
    if (!write_all(STDOUT_FILENO, out.data(), out.size()))
        return fail(std::string("cannot write the image: ") + strerror(errno));
    return 0;
}

// Colour models other than RGB (YBR_*, PALETTE COLOR): DCMTK's image
// module renders them as RGB.
int write_rendered(DcmDataset *ds, const Image &im) {
    DicomImage di(ds, EXS_LittleEndianExplicit, CIF_UsePartialAccessToPixelData, 0, 1);
    if (di.getStatus() != EIS_Normal)
        return fail(std::string("cannot render the image: ") +
                    DicomImage::getString(di.getStatus()));
    const int bits = im.stored > 8 ? 16 : 8;
    const void *data = di.getOutputData(bits, 0, 0);
    if (!data) return fail("cannot render the image");
    Image o = im;
    o.cols = static_cast<Uint16>(di.getWidth());
    o.rows = static_cast<Uint16>(di.getHeight());
    const unsigned long n = static_cast<unsigned long>(o.cols) * o.rows * 3;
    std::string out = pnm_header("P6", o, bits == 16 ? 65535 : 255);
    if (bits == 8) {
        out.append(static_cast<const char *>(data), n);
    } else {
        const auto *w = static_cast<const Uint16 *>(data);
        for (unsigned long i = 0; i < n; ++i) {
            out += static_cast<char>(w[i] >> 8);
            out += static_cast<char>(w[i] & 0xFF);
        }
    }
    if (!write_all(STDOUT_FILENO, out.data(), out.size()))
        return fail(std::string("cannot write the image: ") + strerror(errno));
    return 0;
}

} // namespace

int main(int argc, char **) {
    if (argc > 1) {
        fprintf(stderr, "Usage: %s < file.dcm > image.pnm\n", prog);
        return 1;
    }
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    DJDecoderRegistration::registerCodecs();
    DJLSDecoderRegistration::registerCodecs();
    DcmRLEDecoderRegistration::registerCodecs();

    std::vector<char> in;
    if (!read_all(STDIN_FILENO, in))
        return fail(std::string("cannot read standard input: ") + strerror(errno));
    if (!looks_like_dicom(in)) return fail("standard input is not a DICOM stream");

    DcmInputBufferStream stream;
    stream.setBuffer(in.data(), static_cast<offile_off_t>(in.size()));
    stream.setEos();
    DcmFileFormat ff;
    ff.transferInit();
    OFCondition c = ff.read(stream, EXS_Unknown, EGL_noChange, DCM_MaxReadLength);
    ff.transferEnd();
    if (c.bad()) return fail(std::string("cannot read the DICOM stream: ") + c.text());
    DcmDataset *ds = ff.getDataset();

    Image im;
    OFString photometric;
    if (ds->findAndGetUint16(DCM_Rows, im.rows).bad() ||
        ds->findAndGetUint16(DCM_Columns, im.cols).bad() ||
        ds->findAndGetUint16(DCM_BitsAllocated, im.alloc).bad() || !ds->tagExists(DCM_PixelData))
        return fail("the DICOM stream holds no image (Rows, Columns, BitsAllocated, PixelData)");
    ds->findAndGetUint16(DCM_SamplesPerPixel, im.spp);
    if (ds->findAndGetUint16(DCM_BitsStored, im.stored).bad()) im.stored = im.alloc;
    if (ds->findAndGetUint16(DCM_HighBit, im.high).bad())
        im.high = static_cast<Uint16>(im.stored - 1);
    ds->findAndGetUint16(DCM_PixelRepresentation, im.sign);
    ds->findAndGetUint16(DCM_PlanarConfiguration, im.planar);
    ds->findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    im.photometric = photometric.c_str();
    if (im.rows == 0 || im.cols == 0) return fail("the image has no pixels");

    // Compressed pixel data are decoded here; native data stay as they are.
    c = ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
    if (c.bad() || !ds->canWriteXfer(EXS_LittleEndianExplicit))
        return fail(std::string("cannot decode the pixel data: ") +
                    (c.bad() ? c.text() : "unsupported transfer syntax"));
    // The decoders may change the colour model (JPEG YBR becomes RGB).
    if (ds->findAndGetOFString(DCM_PhotometricInterpretation, photometric).good())
        im.photometric = photometric.c_str();
    ds->findAndGetUint16(DCM_PlanarConfiguration, im.planar);

    const bool mono = im.photometric.rfind("MONOCHROME", 0) == 0;
    if (!mono && (im.spp != 3 || im.photometric != "RGB")) return write_rendered(ds, im);
    if (mono && im.spp != 1)
        return fail("monochrome image with " + std::to_string(im.spp) + " samples per pixel");
    if ((im.alloc != 8 && im.alloc != 16) || im.stored == 0 || im.stored > im.alloc ||
        im.stored > 16 || im.high >= im.alloc || im.high + 1 < im.stored)
        return fail("unsupported sample layout: BitsAllocated " + std::to_string(im.alloc) +
                    ", BitsStored " + std::to_string(im.stored) + ", HighBit " +
                    std::to_string(im.high));

    DcmElement *pd = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, pd).bad() || !pd) return fail("no pixel data");
    Samples s;
    s.alloc = im.alloc;
    if (pd->getVR() == EVR_OW) {
        Uint16 *w = nullptr;
        if (pd->getUint16Array(w).bad() || !w) return fail("cannot read the pixel data");
        s.words = w;
        s.count = pd->getLength() / (im.alloc / 8);
    } else {
        Uint8 *b = nullptr;
        if (pd->getUint8Array(b).bad() || !b) return fail("cannot read the pixel data");
        s.bytes = b;
        s.count = pd->getLength() / (im.alloc / 8);
    }
    return write_native(im, s);
}
