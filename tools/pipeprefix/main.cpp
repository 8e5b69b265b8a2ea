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
    if (fstat(0, &st) == 0 && S_ISFIFO(st.st_mode))
        (void)fcntl(0, F_SETPIPE_SZ, kuvra::internal::large_pipe_size);

    // Descriptors that splice cannot serve (neither end a pipe, an output
    // opened for appending, a file system without splice support) are
    // copied through a buffer of 1 MiB.
    kuvra::internal::CopyOptions opt;
    opt.pace_slow_writer = true;
    for (int in : {2, 0}) {
        const kuvra::internal::CopyResult c = kuvra::internal::copy_bytes(in, 1, -1, opt);
        if (c.status == c.write_failed && c.error == EPIPE) return 0; // the reader went away
        if (!c.ok()) return 1;
    }
    return 0;
}
