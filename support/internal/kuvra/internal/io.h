// Descriptor writes the programs share.  Internal, not installed.
#pragma once

#include <cerrno>
#include <cstddef>
#include <sys/sendfile.h>
#include <sys/types.h>
#include <unistd.h>

namespace kuvra::internal {

// Writes the n bytes at p to fd, going on after partial writes and EINTR.
// Returns the number of bytes written: n, or fewer when a write failed
// (errno says why; a write that wrote nothing leaves EIO).
inline size_t write_fully(int fd, const void *p, size_t n) noexcept {
    const char *at = static_cast<const char *>(p);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, at + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            break;
        }
        done += size_t(w);
    }
    return done;
}

// Copies the regular file in, from offset from to its end, to out, in the
// kernel (sendfile) where it can and through a buffer where it cannot.  The
// offset of in is not used nor moved.  Returns true when every byte went
// out; false with errno set otherwise.
inline bool copy_to_end(int in, off_t from, int out) noexcept {
    off_t at = from;
    for (;;) {
        ssize_t n = ::sendfile(out, in, &at, size_t(1) << 30);
        if (n > 0) continue;
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EINVAL && errno != ENOSYS) return false;
        break; // no sendfile between these two: the rest by read and write
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::pread(in, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (write_fully(out, buf, size_t(n)) < size_t(n)) return false;
        at += n;
    }
}

} // namespace kuvra::internal
