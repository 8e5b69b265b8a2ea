#include "synth_output.h"

#include <dcmtk/config/osconfig.h>
// osconfig.h first: it sets the feature macros the other DCMTK headers test.
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <kuvra/internal/io.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kuvra::synth {

namespace {

// A DcmConsumer on a descriptor: DCMTK's own file consumer wants a FILE or a
// path; this one writes straight to the descriptor.
class FdConsumer final : public DcmConsumer {
  public:
    explicit FdConsumer(int fd) : fd_(fd) {}
    OFBool good() const override { return status_.good(); }
    OFCondition status() const override { return status_; }
    OFBool isFlushed() const override { return OFTrue; }
    offile_off_t avail() const override { return 1 << 20; }
    offile_off_t write(const void *buf, offile_off_t buflen) override {
        if (!status_.good() || buflen <= 0) return 0;
        size_t n = static_cast<size_t>(buflen);
        size_t done = kuvra::internal::write_fully(fd_, buf, n);
        if (done < n) {
            errno_ = errno;
            status_ = EC_InvalidStream;
        }
        return static_cast<offile_off_t>(done);
    }
    void flush() override {}
    int error_number() const { return errno_; }

  private:
    int fd_;
    int errno_ = 0;
    OFCondition status_ = EC_Normal;
};

// The consumer must exist before the stream's base is built from it.
struct FdConsumerHolder {
    explicit FdConsumerHolder(int fd) : consumer(fd) {}
    FdConsumer consumer;
};
class FdOutputStream final : private FdConsumerHolder, public DcmOutputStream {
  public:
    explicit FdOutputStream(int fd) : FdConsumerHolder(fd), DcmOutputStream(&consumer) {}
    using FdConsumerHolder::consumer;
};

bool fail(ParseError &err, std::string msg) {
    err.line = 0;
    err.message = std::move(msg);
    return false;
}

// Runs write(stream, cache) between obj's transfer brackets on a stream to
// fd; a failed write of the descriptor is reported before DCMTK's status,
// which then says no more than that the stream went bad.
template <typename W> bool write_reported(DcmObject &obj, int fd, ParseError &err, W &&write) {
    FdOutputStream out(fd);
    DcmWriteCache wcache;
    obj.transferInit();
    OFCondition c = write(out, wcache);
    obj.transferEnd();
    out.flush();
    if (out.consumer.error_number())
        return fail(err, std::string("cannot write the output: ") +
                             strerror(out.consumer.error_number()));
    if (c.bad()) return fail(err, std::string("cannot write the DICOM file: ") + c.text());
    return true;
}

} // namespace

bool write_file(DcmFileFormat &ff, int fd, ParseError &err) {
    return write_reported(ff, fd, err, [&](DcmOutputStream &out, DcmWriteCache &wcache) {
        return ff.write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, &wcache, EGL_withoutGL,
                        EPD_noChange, 0, 0, 0, EWM_createNewMeta);
    });
}

bool write_elements(DcmDataset &item, int fd, ParseError &err) {
    return write_reported(item, fd, err, [&](DcmOutputStream &out, DcmWriteCache &wcache) {
        return item.write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, &wcache,
                          EGL_withoutGL);
    });
}

bool write_raw(int fd, const void *data, size_t n, ParseError &err) {
    if (kuvra::internal::write_fully(fd, data, n) == n) return true;
    return fail(err, std::string("cannot write the output: ") + strerror(errno));
}

bool write_value_header(int fd, uint16_t group, uint16_t elem, const char vr[2], uint32_t length,
                        ParseError &err) {
    const unsigned char h[12] = {static_cast<unsigned char>(group & 0xFF),
                                 static_cast<unsigned char>(group >> 8),
                                 static_cast<unsigned char>(elem & 0xFF),
                                 static_cast<unsigned char>(elem >> 8),
                                 static_cast<unsigned char>(vr[0]),
                                 static_cast<unsigned char>(vr[1]),
                                 0,
                                 0,
                                 static_cast<unsigned char>(length & 0xFF),
                                 static_cast<unsigned char>((length >> 8) & 0xFF),
                                 static_cast<unsigned char>((length >> 16) & 0xFF),
                                 static_cast<unsigned char>(length >> 24)};
    return write_raw(fd, h, sizeof h, err);
}

} // namespace kuvra::synth
