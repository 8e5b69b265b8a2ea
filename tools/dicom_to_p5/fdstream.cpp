#include "fdstream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace dicom_to_p5 {

namespace {

// Up to n bytes at off; fewer at the end of the file or on an error.
uint64_t read_at(int fd, char *out, uint64_t n, uint64_t off, bool &failed) {
    uint64_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd, out + got, size_t(n - got), off_t(off + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) failed = true;
        if (r <= 0) break;
        got += uint64_t(r);
    }
    return got;
}

} // namespace

offile_off_t FdProducer::read(void *buf, offile_off_t buflen) {
    if (buflen <= 0 || !status_.good()) return 0;
    const uint64_t want = std::min<uint64_t>(uint64_t(buflen), pos_ < end_ ? end_ - pos_ : 0);
    auto *out = static_cast<char *>(buf);
    bool failed = false;
    uint64_t got;
    if (want >= block) {
        got = read_at(fd_, out, want, pos_, failed);
    } else {
        if (pos_ < base_ || pos_ + want > base_ + len_) {
            base_ = pos_;
            len_ = size_t(read_at(fd_, buf_, std::min<uint64_t>(block, end_ - pos_), pos_, failed));
        }
        got = std::min<uint64_t>(want, base_ + len_ - pos_);
        memcpy(out, buf_ + (pos_ - base_), size_t(got));
    }
    if (failed) status_ = EC_InvalidStream;
    pos_ += got;
    return offile_off_t(got);
}

offile_off_t FdProducer::skip(offile_off_t skiplen) {
    if (skiplen <= 0) return 0;
    const uint64_t n = std::min<uint64_t>(uint64_t(skiplen), pos_ < end_ ? end_ - pos_ : 0);
    pos_ += n;
    return offile_off_t(n);
}

void FdProducer::putback(offile_off_t num) {
    if (num > 0) pos_ -= std::min<uint64_t>(uint64_t(num), pos_);
}

FdInputStream::FdInputStream(int fd, uint64_t begin, uint64_t end)
    : DcmInputStream(&producer_), producer_(fd, begin, end), fd_(fd), begin_(begin), end_(end) {}

DcmInputStreamFactory *FdInputStream::newFactory() const {
    // A deflated data set has no file offsets to come back to.
    if (currentProducer() != &producer_) return nullptr;
    return new FdInputStreamFactory(fd_, begin_ + uint64_t(tell()), end_);
}

} // namespace dicom_to_p5
