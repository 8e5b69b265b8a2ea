// Disk blocks reserved ahead of a large write.  Internal, not installed.
#pragma once

#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kuvra::internal {

// The blocks of a write of size bytes at offset at of a regular file,
// reserved in one call beyond the file's end (the size grows only as the
// bytes arrive): ext4 otherwise reserves them page by page as the writes
// come, which took a fifth of the time of a large copy.  A reservation that
// goes without keep() gives back what the writes did not fill, by cutting
// the file to the size it has (no byte of the file goes).  Only a hint:
// without support or space the writes succeed or fail on their own, and
// nothing is given back.
class BlockReservation {
  public:
    BlockReservation() = default;
    BlockReservation(int fd, off_t at, int64_t size) noexcept {
        if (fd >= 0 && size > 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, at, off_t(size)) == 0)
            fd_ = fd;
    }
    ~BlockReservation() { give_back(); }
    BlockReservation(BlockReservation &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    BlockReservation &operator=(BlockReservation &&o) noexcept {
        if (this != &o) {
            give_back();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    BlockReservation(const BlockReservation &) = delete;
    BlockReservation &operator=(const BlockReservation &) = delete;

    // The writes filled the reservation: nothing to give back.
    void keep() noexcept { fd_ = -1; }

  private:
    void give_back() noexcept {
        struct stat st {};
        if (fd_ >= 0 && fstat(fd_, &st) == 0) (void)ftruncate(fd_, st.st_size);
        fd_ = -1;
    }
    int fd_ = -1;
};

} // namespace kuvra::internal
