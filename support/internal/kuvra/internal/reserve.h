// Disk blocks reserved ahead of a large write.  Internal, not installed.
#pragma once

#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kuvra::internal {

// The blocks of a write of size bytes at offset at of a regular file,
// reserved beyond the file's end as the bytes come (the size grows only with
// the writes): ext4 otherwise reserves them page by page as the writes come,
// which took a fifth of the time of a large copy.  The reservation runs at
// most step bytes ahead of what advance() says was written, never the whole
// size at once: a header that declares gigabytes and then stalls must not
// take gigabytes of disk (or of memory, on a tmpfs).  One that goes without
// keep() gives back what the writes did not fill, by cutting the file to the
// size it has (no byte of the file goes).  Only a hint: without support or
// space the writes succeed or fail on their own, and nothing more is
// reserved.
class BlockReservation {
  public:
    static constexpr int64_t step = int64_t(8) << 20;

    BlockReservation() = default;
    BlockReservation(int fd, off_t at, int64_t size) noexcept
        : fd_(fd), at_(int64_t(at)), end_(int64_t(at) + size), reserved_(int64_t(at)) {
        if (fd < 0 || at < 0 || size <= 0 || !extend(0)) fd_ = -1;
    }
    ~BlockReservation() { give_back(); }
    BlockReservation(BlockReservation &&o) noexcept { take(o); }
    BlockReservation &operator=(BlockReservation &&o) noexcept {
        if (this != &o) {
            give_back();
            take(o);
        }
        return *this;
    }
    BlockReservation(const BlockReservation &) = delete;
    BlockReservation &operator=(const BlockReservation &) = delete;

    // written bytes of the write have gone out: the reservation moves on
    // once they have used half of it.
    void advance(int64_t written) noexcept {
        if (fd_ >= 0 && more_ && at_ + written + step / 2 >= reserved_) (void)extend(written);
    }
    // The writes filled the reservation: nothing to give back.
    void keep() noexcept { fd_ = -1; }

  private:
    // Reserves up to step bytes past written, not past the end; false when
    // the file system would not.
    bool extend(int64_t written) noexcept {
        int64_t from = at_ + written > reserved_ ? at_ + written : reserved_;
        int64_t to = at_ + written + step < end_ ? at_ + written + step : end_;
        if (to <= from) return true;
        if (fallocate(fd_, FALLOC_FL_KEEP_SIZE, off_t(from), off_t(to - from)) != 0) {
            more_ = false;
            return false;
        }
        reserved_ = to;
        return true;
    }
    void give_back() noexcept {
        struct stat st {};
        if (fd_ >= 0 && fstat(fd_, &st) == 0) (void)ftruncate(fd_, st.st_size);
        fd_ = -1;
    }
    void take(BlockReservation &o) noexcept {
        fd_ = o.fd_;
        at_ = o.at_;
        end_ = o.end_;
        reserved_ = o.reserved_;
        more_ = o.more_;
        o.fd_ = -1;
    }
    int fd_ = -1;
    int64_t at_ = 0, end_ = 0, reserved_ = 0;
    bool more_ = true;
};

// The bytes free for an unprivileged writer on the file system of fd, or -1
// when the file system does not say.
inline int64_t free_space(int fd) noexcept {
    struct statvfs vfs {};
    if (fstatvfs(fd, &vfs) != 0) return -1;
    const uint64_t bytes = uint64_t(vfs.f_bavail) * uint64_t(vfs.f_frsize);
    return bytes > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(bytes);
}

} // namespace kuvra::internal
