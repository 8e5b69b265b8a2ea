// Descriptor writes the programs share.  Internal, not installed.
#pragma once

#include <cerrno>
#include <cstddef>
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

} // namespace kuvra::internal
