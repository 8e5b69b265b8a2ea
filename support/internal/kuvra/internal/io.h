// Descriptor reads, writes and copies the programs share.  Internal, not
// installed.
#pragma once

#include <kuvra/internal/fd.h>
#include <kuvra/internal/pagephase.h>
#include <kuvra/internal/reserve.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
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

// Reads up to n bytes at offset at of fd into p, going on after short
// reads and EINTR.  Returns the number read: n, or fewer at the end of the
// file or on an error (errno says which: it is 0 at the end).
inline size_t read_fully_at(int fd, void *p, size_t n, off_t at) noexcept {
    char *to = static_cast<char *>(p);
    size_t done = 0;
    errno = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, to + done, n - done, at + off_t(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += size_t(r);
    }
    return done;
}

// How a copy ended.
struct CopyResult {
    enum Status : uint8_t {
        done,         // every byte asked for went out
        input_ended,  // the input ended first; what there was went out
        read_failed,  // reading the input failed (error says why)
        write_failed, // writing failed (error says why: EPIPE, the reader went away)
    };
    Status status = done;
    int error = 0;      // the errno value of a failure
    int64_t copied = 0; // bytes written to the output
    bool ok() const noexcept { return status == done; }
};

struct CopyOptions {
    // Where an input on a regular file is read: null for its descriptor's
    // offset, which then ends behind the bytes copied; else the offset,
    // read with pread and advanced, the descriptor's offset untouched (a
    // stdio stream's position, say).
    off_t *in_offset = nullptr;
    // On an output that is a regular file, the blocks are reserved as the
    // bytes come (BlockReservation), and kept once all went out.
    bool reserve = false;
    // The buffer of copies through this process, on a page and a page
    // longer than the largest chunk it carries (buffer_size - page_size);
    // null: one of the program's own, of 1 MiB, for one copy at a time.
    char *buffer = nullptr;
    size_t buffer_size = 0;
    // A writer slower than the copy (a decompressor writing 32 KiB at a
    // time) finds its pipe empty at every write, and each such write wakes
    // this process: most of the cost of a decompressed stream was those
    // wake-ups, and they slowed the decompressor by a tenth.  Set, after a
    // move of less than 256 KiB from a pipe of at least 1 MiB the copy waits
    // 500 microseconds so that the writer can fill the pipe meanwhile.  A
    // writer faster than that fills the pipe in much more than that, so it
    // never waits for us; a trickle is delayed by 500 microseconds at most.
    bool pace_slow_writer = false;
};

namespace copy_detail {

enum class End { file, pipe, other };

inline End end_of(int fd) noexcept {
    struct stat st {};
    if (fstat(fd, &st) != 0) return End::other;
    return S_ISREG(st.st_mode) ? End::file : S_ISFIFO(st.st_mode) ? End::pipe : End::other;
}

inline char *own_buffer() noexcept {
    alignas(page_size) static char buffer[(size_t(1) << 20) + page_size];
    return buffer;
}

// The state of one copy: what is left, what went out, the reservation.
struct Copy {
    int in, out;
    int64_t left; // < 0: to the end of the input
    CopyResult result;
    BlockReservation blocks;

    size_t chunk(size_t most) const noexcept {
        return left >= 0 && uint64_t(left) < most ? size_t(left) : most;
    }
    bool more() const noexcept { return left != 0; }
    void wrote(size_t n) noexcept {
        result.copied += int64_t(n);
        if (left > 0) left -= int64_t(n);
        blocks.advance(result.copied);
    }
    CopyResult &end(CopyResult::Status s, int error = 0) noexcept {
        // A copy to the end of the input is done when the input ends.
        result.status = s == CopyResult::input_ended && left < 0 ? CopyResult::done : s;
        result.error = error;
        if (result.status == CopyResult::done) blocks.keep();
        return result;
    }
};

// Errors that say a kernel copy does not serve these two descriptors.
inline bool not_served(int error) noexcept {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EXDEV ||
           error == EBADF;
}

// Through buf (phased for the two offsets), from *pos with pread, or from
// the descriptor's offset when pos is null.
inline CopyResult &through_buffer(Copy &c, char *buf, size_t most, off_t *pos) noexcept {
    while (c.more()) {
        const size_t want = c.chunk(most);
        ssize_t n = pos ? ::pread(c.in, buf, want, *pos) : ::read(c.in, buf, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return c.end(CopyResult::read_failed, errno);
        if (n == 0) return c.end(CopyResult::input_ended);
        const size_t put = write_fully(c.out, buf, size_t(n));
        c.wrote(put);
        if (put < size_t(n)) return c.end(CopyResult::write_failed, errno);
        if (pos) *pos += n;
    }
    return c.end(CopyResult::done);
}

} // namespace copy_detail

// Copies count bytes (count < 0: all up to the end of the input) from in to
// out, by the means that suit the two ends:
// - a regular file to a regular file at the same offset within a page:
//   copy_file_range, the bytes never pass through this process;
// - a regular file to one at another offset within a page: pread and write
//   through a buffer placed by buffer_phase (the kernel's copy then goes
//   page by page and measured a third slower);
// - a regular file to anything else: sendfile;
// - a pipe to anything: splice;
// - anything else, or ends that the kernel's copy does not serve: read and
//   write through the buffer.
// The output is written at its descriptor's offset.  A short input writes
// what there was and ends with input_ended.
inline CopyResult copy_bytes(int in, int out, int64_t count, const CopyOptions &opt = {}) noexcept {
    using namespace copy_detail;
    Copy c{in, out, count, {}, {}};
    char *const storage = opt.buffer ? opt.buffer : own_buffer();
    const size_t most = (opt.buffer ? opt.buffer_size : (size_t(1) << 20) + page_size) - page_size;
    const End from = end_of(in), to = end_of(out);
    const off_t out_pos = to == End::file ? ::lseek(out, 0, SEEK_CUR) : off_t(-1);
    if (opt.reserve && out_pos >= 0 && count > 0) c.blocks = BlockReservation(out, out_pos, count);
    // Kernel copies go in steps no larger than a reservation's.
    const size_t kernel_most = opt.reserve ? size_t(BlockReservation::step) : size_t(1) << 30;
    if (count == 0) return c.end(CopyResult::done);

    off_t own_pos = -1;
    off_t *pos = opt.in_offset;
    if (from == End::file && !pos && (own_pos = ::lseek(in, 0, SEEK_CUR)) >= 0) pos = &own_pos;
    if (from == End::file && pos) {
        // The descriptor's own offset goes behind the bytes copied.
        struct Behind {
            int fd;
            off_t *pos, *own;
            ~Behind() {
                if (pos == own) (void)::lseek(fd, *pos, SEEK_SET);
            }
        } behind{in, pos, &own_pos};
        const bool same_phase = out_pos >= 0 && (*pos - out_pos) % off_t(page_size) == 0;
        if (out_pos < 0 || same_phase) {
            bool sendfile_next = out_pos < 0;
            while (c.more()) {
                const size_t want = c.chunk(kernel_most);
                ssize_t n = sendfile_next ? ::sendfile(out, in, pos, want)
                                          : ::copy_file_range(in, pos, out, nullptr, want, 0);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && c.result.copied == 0 && not_served(errno)) {
                    if (sendfile_next) break; // the rest through the buffer
                    sendfile_next = true;
                    continue;
                }
                if (n < 0) return c.end(CopyResult::write_failed, errno);
                if (n == 0) return c.end(CopyResult::input_ended);
                c.wrote(size_t(n));
            }
            if (!c.more()) return c.end(CopyResult::done);
        }
        char *buf = storage + buffer_phase(*pos, out_pos >= 0 ? out_pos : 0);
        return through_buffer(c, buf, most, pos);
    }

    if (from == End::pipe) {
        const bool pace = opt.pace_slow_writer && fcntl(in, F_GETPIPE_SZ) >= large_pipe_size;
        while (c.more()) {
            ssize_t n =
                ::splice(in, nullptr, out, nullptr, c.chunk(std::min(kernel_most, size_t(1) << 20)),
                         SPLICE_F_MOVE | SPLICE_F_MORE);
            if (n > 0) {
                c.wrote(size_t(n));
                if (pace && size_t(n) < (size_t(256) << 10)) usleep(500);
                continue;
            }
            if (n == 0) return c.end(CopyResult::input_ended);
            if (errno == EINTR) continue;
            if (errno == EPIPE) return c.end(CopyResult::write_failed, EPIPE);
            if (not_served(errno)) break; // the rest by read and write
            return c.end(CopyResult::write_failed, errno);
        }
        if (!c.more()) return c.end(CopyResult::done);
    }
    return through_buffer(c, storage + buffer_phase(0, out_pos >= 0 ? out_pos : 0), most, nullptr);
}

} // namespace kuvra::internal
