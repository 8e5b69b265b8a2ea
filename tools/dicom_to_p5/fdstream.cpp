#include "fdstream.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace dicom_to_p5 {

offile_off_t FdProducer::read(void *buf, offile_off_t buflen) {
    if (buflen <= 0 || !status_.good()) return 0;
    const uint64_t want = std::min<uint64_t>(uint64_t(buflen), pos_ < end_ ? end_ - pos_ : 0);
    auto *out = static_cast<char *>(buf);
    uint64_t got = 0;
    while (got < want) {
        ssize_t r = pread(fd_, out + got, size_t(want - got), off_t(pos_ + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) status_ = EC_InvalidStream;
        if (r <= 0) break;
        got += uint64_t(r);
    }
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
