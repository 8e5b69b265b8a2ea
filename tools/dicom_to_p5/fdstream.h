// A DCMTK input stream over the bytes [begin, end) of a file open on a
// descriptor, read by offset.  Unlike DcmInputFileStream it needs no path
// (standard input is spooled to a file without a name) and stops where the
// structure walk found the data to end, so that DCMTK never parses padding.
// Its factory lets DCMTK leave large element values in the file and load
// them, or parts of them, when asked.
#pragma once

#include <dcmtk/config/osconfig.h>
// osconfig.h first: it sets the feature macros the other DCMTK headers test.
#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmdata/dcistrma.h>

#include <cstdint>

namespace dicom_to_p5 {

class FdProducer : public DcmProducer {
  public:
    FdProducer(int fd, uint64_t at, uint64_t end) : fd_(fd), pos_(at), end_(end) {}
    OFBool good() const override { return status_.good(); }
    OFCondition status() const override { return status_; }
    OFBool eos() override { return pos_ >= end_; }
    offile_off_t avail() override { return offile_off_t(pos_ < end_ ? end_ - pos_ : 0); }
    offile_off_t read(void *buf, offile_off_t buflen) override;
    offile_off_t skip(offile_off_t skiplen) override;
    void putback(offile_off_t num) override;

  private:
    // DCMTK reads element headers a few bytes at a time: those come from a
    // block read ahead, larger reads go straight to the file.
    static constexpr size_t block = 4096;
    int fd_;
    uint64_t pos_, end_;
    OFCondition status_ = EC_Normal;
    uint64_t base_ = 0;
    size_t len_ = 0;
    char buf_[block];
};

class FdInputStream : public DcmInputStream {
  public:
    // The descriptor is borrowed: it must stay open while the stream, or
    // any data set read from it, is in use.
    FdInputStream(int fd, uint64_t begin, uint64_t end);
    DcmInputStreamFactory *newFactory() const override;

  private:
    FdProducer producer_;
    int fd_;
    uint64_t begin_, end_;
};

class FdInputStreamFactory : public DcmInputStreamFactory {
  public:
    FdInputStreamFactory(int fd, uint64_t at, uint64_t end) : fd_(fd), at_(at), end_(end) {}
    DcmInputStream *create() const override { return new FdInputStream(fd_, at_, end_); }
    DcmInputStreamFactory *clone() const override { return new FdInputStreamFactory(*this); }
    DcmInputStreamFactoryType ident() const override { return DFT_DcmInputFileStreamFactory; }

  private:
    int fd_;
    uint64_t at_, end_;
};

} // namespace dicom_to_p5
