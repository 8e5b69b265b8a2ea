// kuvra_pipeprefix: copies descriptor 2 to its end, then descriptor 0 to its
// end, to descriptor 1.
//
// pipeprefix() starts it with the bytes it has already consumed from a
// stream on a pipe at descriptor 2 and the rest of that stream at 0, so that
// descriptor 1 delivers the stream from its first byte again.  It takes no
// arguments and prints nothing (descriptor 2 is an input).  Exit status 0
// when everything was copied or when the reader of descriptor 1 went away,
// 1 on a read or write error.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <kuvra/internal/io.h>
#include <kuvra/internal/version.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Copied { all, reader_gone, failed };

// Largest request per splice; the kernel moves at most what the pipes hold.
constexpr size_t kSpliceChunk = size_t(1) << 20;

// One large buffer for descriptors splice cannot serve (neither end a pipe,
// an output opened for appending, a file system without splice support).
constexpr size_t kBufferSize = size_t(1) << 20;
char g_buffer[kBufferSize];

Copied write_all(int out, const char *p, size_t n) {
    if (kuvra::internal::write_fully(out, p, n) == n) return Copied::all;
    return errno == EPIPE ? Copied::reader_gone : Copied::failed;
}

Copied copy_read_write(int in, int out) {
    for (;;) {
        ssize_t n = read(in, g_buffer, kBufferSize);
        if (n == 0) return Copied::all;
        if (n < 0) {
            if (errno == EINTR) continue;
            return Copied::failed;
        }
        Copied c = write_all(out, g_buffer, size_t(n));
        if (c != Copied::all) return c;
    }
}

// A writer slower than this copy (a decompressor writing 32 KiB at a time)
// finds its pipe empty at every write, and each such write wakes this
// process: most of the cost of a decompressed stream was those wake-ups,
// and they slowed the decompressor by a tenth.  After a move smaller than
// kSmallMove from a pipe of at least kNapPipe bytes, the copy waits kNap
// microseconds so that the writer can fill the pipe meanwhile.  A writer
// faster than that fills the pipe in much more than kNap, so it never
// waits for us; a trickle is delayed by kNap at most.
constexpr size_t kSmallMove = size_t(256) << 10;
constexpr int kNapPipe = 1 << 20;
constexpr useconds_t kNap = 500;

// Moves in to out inside the kernel while splice can, then by read/write.
Copied copy(int in, int out) {
    const bool nap = fcntl(in, F_GETPIPE_SZ) >= kNapPipe;
    for (;;) {
        ssize_t n = splice(in, nullptr, out, nullptr, kSpliceChunk, SPLICE_F_MOVE | SPLICE_F_MORE);
        if (n > 0) {
            if (nap && size_t(n) < kSmallMove) usleep(kNap);
            continue;
        }
        if (n == 0) return Copied::all;
        switch (errno) {
        case EINTR:
            continue;
        case EPIPE:
            return Copied::reader_gone;
        case EINVAL:
        case ENOSYS:
        case EOPNOTSUPP:
            return copy_read_write(in, out);
        default:
            return Copied::failed;
        }
    }
}

} // namespace

int main(int argc, char *argv[]) {
    // Started by pipeprefix() with no arguments; other arguments are
    // ignored, as they always were, but a user asking gets answers.
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        kuvra::internal::print_version("kuvra_pipeprefix");
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs("Usage: kuvra_pipeprefix 2< PREFIX < REST > STREAM\n"
              "Copies descriptor 2, then descriptor 0, to descriptor 1; started by the\n"
              "kuvra support library to put sniffed bytes back in front of a stream.\n"
              "See kuvra_pipeprefix(1).\n",
              stdout);
        return 0;
    }
    // A reader that closes its end early is the normal end of a filter that
    // nobody reads to the end: a write error, not a fatal signal.
    signal(SIGPIPE, SIG_IGN);

    // A pipe of 1 MiB on the stream lets its writer run ahead by that much
    // instead of waking this process (and waiting to be woken) for every
    // 64 KiB: the copy itself costs next to nothing, the wake-ups were most
    // of the time.  Pipe buffers are kernel memory; failure keeps the default.
    struct stat st {};
    if (fstat(0, &st) == 0 && S_ISFIFO(st.st_mode)) (void)fcntl(0, F_SETPIPE_SZ, 1 << 20);

    for (int in : {2, 0}) {
        Copied c = copy(in, 1);
        if (c == Copied::reader_gone) return 0;
        if (c == Copied::failed) return 1;
    }
    return 0;
}
