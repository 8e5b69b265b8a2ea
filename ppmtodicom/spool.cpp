// Spooling of image and field data into temporary files, and the list of
// those files.
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>
#include <kuvra/internal/io.h>
#include <kuvra/internal/pagephase.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
tdnode *tdroot = nullptr;
}

namespace {

// The one copy buffer: payloads never sit whole in memory.  On a page, and
// a page longer than a chunk, so that a chunk can start at the place within
// a page that buffer_phase chooses.
alignas(4096) char chunk_buffer[KV_SPOOL_CHUNK + kuvra::internal::page_size];

// The file being written, not yet in tdroot; the signal cleanup removes it
// too.  Set and cleared with the termination signals blocked.
char pending_name[256];
volatile sig_atomic_t pending_set = 0;

// Every signal whose default action ends the process and that a handler
// can catch, but SIGPIPE and SIGXFSZ, which make the write fail instead
// (below), so that the run ends through its own cleanup.  The spool files
// hold patient pixels.  SIGKILL leaves them: no handler runs.
constexpr int cleanup_signals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                                   SIGVTALRM, SIGPROF, SIGXCPU, SIGTRAP, SIGSYS,  SIGPOLL};

// The output file being written under its temporary name (-o).
char output_name[4096];
volatile sig_atomic_t output_set = 0;

// Blocks the termination signals for its lifetime, so that tdroot and the
// pending name never look half-updated to the cleanup handler.
class SignalBlock {
  public:
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : cleanup_signals)
            sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &saved_);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock &) = delete;
    SignalBlock &operator=(const SignalBlock &) = delete;

  private:
    sigset_t saved_;
};

using kuvra::internal::write_fully;

// Copies count bytes from in to fd through the chunk buffer, in chunks of
// at most KV_SPOOL_CHUNK; false after a logged failure.
bool copy_through_buffer(FILE *in, int fd, size_t count) {
    while (count > 0) {
        size_t chunk = count < KV_SPOOL_CHUNK ? count : KV_SPOOL_CHUNK;
        if (fread(chunk_buffer, 1, chunk, in) != chunk) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Ouch - rlen failure?\n");
            return false;
        }
        if (write_fully(fd, chunk_buffer, chunk) != chunk) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Ouch - wlen failure?\n");
            return false;
        }
        count -= chunk;
    }
    return true;
}

// Outcome of a copy straight from the input's descriptor.
enum class DirectCopy { done, failed, not_applicable };

// Copies count (> 0) bytes from a stream on a regular file to fd with pread
// and write through the chunk buffer, from the stream's own position (which
// counts what stdio has buffered), and sets the stream just behind them.
// This spares stdio's small reads around each chunk.  Not copy_file_range:
// the data start a few bytes into a page of the input and at the start of a
// page of the spool file, and the kernel's page-by-page copy between such
// offsets measured a fifth slower than this loop (and its spool file a third
// slower to remove).  not_applicable, with nothing copied, when the stream
// is not on a regular file.
DirectCopy copy_from_file(FILE *in, int fd, int32_t count) {
    int in_fd = fileno(in);
    struct stat st {};
    if (in_fd < 0 || fstat(in_fd, &st) != 0 || !S_ISREG(st.st_mode))
        return DirectCopy::not_applicable;
    off_t pos = ftello(in);
    if (pos < 0) return DirectCopy::not_applicable;
    // Chunks are whole, so every one starts at the same places within the
    // pages of the input and of the spool file, which starts at offset 0.
    char *buf = chunk_buffer + kuvra::internal::buffer_phase(pos, 0);
    size_t remaining = size_t(count);
    while (remaining > 0) {
        size_t chunk = remaining < KV_SPOOL_CHUNK ? remaining : KV_SPOOL_CHUNK;
        ssize_t n = pread(in_fd, buf, chunk, pos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Ouch - rlen failure?\n");
            return DirectCopy::failed;
        }
        if (write_fully(fd, buf, size_t(n)) != size_t(n)) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Ouch - wlen failure?\n");
            return DirectCopy::failed;
        }
        pos += n;
        remaining -= size_t(n);
    }
    // The descriptor's own offset never moved (pread); the seek drops
    // stdio's buffer and goes on behind the data.
    if (fseeko(in, pos, SEEK_SET) != 0) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Ouch - rlen failure?\n");
        return DirectCopy::failed;
    }
    return DirectCopy::done;
}

// Copies count (> 0) bytes from a stream on a pipe (a decompressor's
// output) to fd: what stdio holds first, then the rest moved from the pipe
// into the file by the kernel (splice), sparing the copy of every byte into
// this process.  not_applicable, with nothing consumed, when the stream is
// not on a pipe or stdio's buffer cannot be looked at; failed after a
// logged failure (the stream may then have advanced).
DirectCopy copy_from_pipe(FILE *in, int fd, int32_t count) {
#ifdef __GLIBC__
    int in_fd = fileno(in);
    struct stat st {};
    if (in_fd < 0 || fstat(in_fd, &st) != 0 || !S_ISFIFO(st.st_mode))
        return DirectCopy::not_applicable;
    size_t remaining = size_t(count);
    // The bytes read ahead by stdio (at most its buffer) go out first.
    size_t held = size_t(in->_IO_read_end - in->_IO_read_ptr);
    size_t take = held < remaining ? held : remaining;
    if (!copy_through_buffer(in, fd, take)) return DirectCopy::failed;
    remaining -= take;
    bool any = false;
    while (remaining > 0) {
        size_t chunk = remaining < (size_t(1) << 20) ? remaining : size_t(1) << 20;
        ssize_t n = splice(in_fd, nullptr, fd, nullptr, chunk, SPLICE_F_MOVE | SPLICE_F_MORE);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && !any && (errno == EINVAL || errno == ENOSYS)) {
            // No splice into this file: the rest through the buffer.
            return copy_through_buffer(in, fd, remaining) ? DirectCopy::done : DirectCopy::failed;
        }
        if (n <= 0) {
            // End of the stream (0) or a failure to read it or to write.
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                         n == 0 ? "Ouch - rlen failure?\n" : "Ouch - wlen failure?\n");
            return DirectCopy::failed;
        }
        any = true;
        remaining -= size_t(n);
    }
    return DirectCopy::done;
#else
    (void)in;
    (void)fd;
    (void)count;
    return DirectCopy::not_applicable;
#endif
}

// Copies count (> 0) bytes from in to fd; false after a logged failure.
bool copy_bytes(FILE *in, int fd, int32_t count) {
    for (DirectCopy (*direct)(FILE *, int, int32_t) : {copy_from_file, copy_from_pipe}) {
        switch (direct(in, fd, count)) {
        case DirectCopy::done:
            return true;
        case DirectCopy::failed:
            return false;
        case DirectCopy::not_applicable:
            break;
        }
    }
    return copy_through_buffer(in, fd, size_t(count));
}

void cleanup_handler(int sig) {
    // Only async-signal-safe calls: the list is walked, not freed.
    for (const tdnode *n = tdroot; n; n = n->next)
        unlink(n->name);
    if (pending_set) unlink(pending_name);
    if (output_set) unlink(output_name);
    signal(sig, SIG_DFL);
    raise(sig);
}

// A reader of the macro stream that goes away must not end the run before
// the spooled files are removed: the write fails instead.  A handler rather
// than SIG_IGN, since an ignored SIGPIPE would be inherited by every child.
void ignore_broken_pipe(int) {}

// A file size limit (ulimit -f) must fail the spool write with EFBIG, so
// that the partial file is removed and the run reports it, instead of
// killing the process with SIGXFSZ and leaving the file behind.  A handler
// that does nothing, for the same reason as above; installed once, by the
// first spool, in either output mode.
void file_size_limit_fails_writes() {
    static const bool installed = [] {
        struct sigaction sa {};
        sa.sa_handler = ignore_broken_pipe;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        return sigaction(SIGXFSZ, &sa, nullptr) == 0;
    }();
    (void)installed;
}

} // namespace

extern "C" {

tdnode *spool_to_tempfile(FILE *in, int32_t count) {
    file_size_limit_fails_writes();
    auto *node = static_cast<tdnode *>(calloc(1, sizeof(tdnode)));
    if (!node) return nullptr;
    int fd;
    {
        SignalBlock block;
        char name[KV_PATH_BUFSIZE];
        fd = KVCompat_mkstemp(name, sizeof name, KV_SPOOL_PREFIX);
        if (fd < 0) {
            free(node);
            return nullptr;
        }
        vr_strncpy(node->name, name, sizeof node->name);
        memcpy(pending_name, node->name, sizeof pending_name);
        pending_set = 1;
    }

    // Blocks reserved in one call before the copy: ext4 otherwise reserves
    // them page by page as the writes come, which made the copy a fifth
    // slower.  Only a hint: without it (no support, no space) the writes
    // below still succeed or fail on their own.
    if (count > 0) (void)fallocate(fd, 0, 0, off_t(count));
    bool ok = count <= 0 || copy_bytes(in, fd, count);
    // A failing close of a regular file means the data may not be there.
    if (close(fd) != 0 && ok) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Ouch - wlen failure?\n");
        ok = false;
    }

    SignalBlock block;
    pending_set = 0;
    if (!ok) {
        // Not listed, so nothing else would ever remove it.
        unlink(node->name);
        free(node);
        return nullptr;
    }
    node->next = tdroot;
    tdroot = node;
    return node;
}

void tdroot_remove_all(void) {
    SignalBlock block;
    while (tdroot) {
        tdnode *n = tdroot;
        unlink(n->name);
        tdroot = n->next;
        free(n);
    }
}

void tdroot_forget_all(void) {
    SignalBlock block;
    while (tdroot) {
        tdnode *n = tdroot;
        tdroot = n->next;
        free(n);
    }
}

int spool_cleanup_also(const char *path) {
    SignalBlock block;
    output_set = 0;
    if (!path) return 0;
    if (!vr_strncpy(output_name, path, sizeof output_name)) return -1;
    output_set = 1;
    return 0;
}

void spool_cleanup_on_signals(void) {
    struct sigaction sa {};
    sa.sa_handler = cleanup_handler;
    sigemptyset(&sa.sa_mask);
    for (int s : cleanup_signals)
        sigaddset(&sa.sa_mask, s);
    for (int s : cleanup_signals) {
        // A signal the process was started with ignored (nohup, a background
        // job) stays ignored.
        struct sigaction old {};
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &sa, nullptr);
    }

    struct sigaction pipe_sa {};
    pipe_sa.sa_handler = ignore_broken_pipe;
    sigemptyset(&pipe_sa.sa_mask);
    pipe_sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &pipe_sa, nullptr);
}

} // extern "C"
