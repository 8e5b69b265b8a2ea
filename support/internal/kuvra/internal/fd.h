// The owner of a descriptor.  Internal, not installed.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace kuvra::internal {

// A descriptor closed when its owner goes, unless released first.  The
// destructor closes silently; a caller to whom a failing close matters (a
// regular file just written, whose data may then be lost) calls close().
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and takes fd.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) (void)::close(fd_);
        fd_ = fd;
    }
    // Closes the descriptor: 0, or the errno value of a failed close (the
    // descriptor is gone either way).  0 when none was held.
    int close() noexcept {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_ = -1;
};

// A new pipe, both ends close-on-exec (flags: more pipe2 flags): true with
// the ends in read_end and write_end, false (errno set) with both untouched.
// Pipe capacities.  Linux gives a new pipe 64 KiB; the pipes that carry
// data between the programs are widened to 1 MiB, so that a writer fills a
// pipe in one go rather than waking its reader for every 64 KiB (the copy
// routine's pacing of a slow writer counts on that size too).
inline constexpr int default_pipe_size = 65536;
inline constexpr int large_pipe_size = 1 << 20;

inline bool make_pipe(UniqueFd &read_end, UniqueFd &write_end, int flags = 0) noexcept {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | flags) != 0) return false;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

} // namespace kuvra::internal
