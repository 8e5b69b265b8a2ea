// Spooling of image and field data into temporary files, and the list of
// those files.
#include "fields.h"
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>
#include <kuvra/internal/fd.h>
#include <kuvra/internal/io.h>
#include <kuvra/internal/pagephase.h>
#include <kuvra/internal/reserve.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
tdnode *tdroot = nullptr;
}

namespace {

// The one copy buffer: payloads never sit whole in memory.  On a page, and
// a page longer than a chunk, so that a chunk can start at the place within
// a page that buffer_phase chooses.
alignas(kuvra::internal::page_size) char chunk_buffer[KV_SPOOL_CHUNK + kuvra::internal::page_size];

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

using kuvra::internal::CopyResult;

void log_copy_failure(CopyResult::Status status) {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                 status == CopyResult::write_failed ? "Ouch - wlen failure?\n"
                                                    : "Ouch - rlen failure?\n");
}

// Copies count bytes from a stream through stdio and the chunk buffer,
// reserving the blocks as they come; false after a logged failure.
bool copy_through_stdio(FILE *in, int fd, size_t count) {
    kuvra::internal::BlockReservation blocks(fd, 0, int64_t(count));
    for (size_t done = 0; done < count;) {
        size_t chunk = count - done < KV_SPOOL_CHUNK ? count - done : KV_SPOOL_CHUNK;
        if (fread(chunk_buffer, 1, chunk, in) != chunk) {
            log_copy_failure(CopyResult::read_failed);
            return false;
        }
        if (kuvra::internal::write_fully(fd, chunk_buffer, chunk) != chunk) {
            log_copy_failure(CopyResult::write_failed);
            return false;
        }
        done += chunk;
        blocks.advance(int64_t(done));
    }
    blocks.keep();
    return true;
}

// The options of every copy into a spool file.
kuvra::internal::CopyOptions spool_copy_options() {
    kuvra::internal::CopyOptions opt;
    opt.reserve = true;
    opt.buffer = chunk_buffer;
    opt.buffer_size = sizeof chunk_buffer;
    return opt;
}

// Copies count bytes from in_fd to the spool file fd in the kernel where the
// ends allow (kuvra::internal::copy_bytes); an input on a regular file is
// read at *pos, which is advanced.  false after a logged failure.
bool copy_from_fd(int in_fd, off_t *pos, int fd, int64_t count) {
    kuvra::internal::CopyOptions opt = spool_copy_options();
    opt.in_offset = pos;
    CopyResult r = kuvra::internal::copy_bytes(in_fd, fd, count, opt);
    if (!r.ok()) log_copy_failure(r.status);
    return r.ok();
}

// Copies count (> 0) bytes from in to the spool file fd (at offset 0);
// false after a logged failure.  A stream on a regular file is copied from
// its own position, which counts what stdio has buffered, and set just
// behind the data; any other stream (a pipe, memory) through stdio, which
// alone knows what it has read ahead.
bool copy_bytes(FILE *in, int fd, int32_t count) {
    const int in_fd = fileno(in);
    struct stat st {};
    off_t pos = -1;
    if (in_fd < 0 || fstat(in_fd, &st) != 0 || !S_ISREG(st.st_mode) || (pos = ftello(in)) < 0)
        return copy_through_stdio(in, fd, size_t(count));
    if (!copy_from_fd(in_fd, &pos, fd, count)) return false;
    // The descriptor's own offset never moved (pread); the seek drops
    // stdio's buffer and goes on behind the data.
    if (fseeko(in, pos, SEEK_SET) != 0) {
        log_copy_failure(CopyResult::read_failed);
        return false;
    }
    return true;
}

// The same from a reader of a descriptor: what it holds first, then the
// rest from the descriptor; a regular file is read behind the bytes held,
// and the reader goes on behind the data.
bool copy_bytes(kuvra_convert::LineReader &lines, int fd, int32_t count) {
    const std::string_view held = lines.held();
    const int in_fd = lines.fd();
    struct stat st {};
    if (fstat(in_fd, &st) == 0 && S_ISREG(st.st_mode)) {
        off_t pos = lseek(in_fd, 0, SEEK_CUR) - off_t(held.size());
        if (pos >= 0) {
            lines.take(held.size());
            if (!copy_from_fd(in_fd, &pos, fd, count)) return false;
            if (lseek(in_fd, pos, SEEK_SET) != pos) {
                log_copy_failure(CopyResult::read_failed);
                return false;
            }
            return true;
        }
    }
    const size_t first = held.size() < size_t(count) ? held.size() : size_t(count);
    if (kuvra::internal::write_fully(fd, held.data(), first) != first) {
        log_copy_failure(CopyResult::write_failed);
        return false;
    }
    lines.take(first);
    return first == size_t(count) ||
           copy_from_fd(in_fd, nullptr, fd, int64_t(count) - int64_t(first));
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

// A new spool file for count bytes, filled by copy(descriptor), listed in
// tdroot once the copy succeeded.
template <class Copy> tdnode *spool_new_file(int32_t count, Copy copy) {
    file_size_limit_fails_writes();
    auto *node = static_cast<tdnode *>(calloc(1, sizeof(tdnode)));
    if (!node) return nullptr;
    kuvra::internal::UniqueFd fd;
    {
        SignalBlock block;
        char name[KV_PATH_BUFSIZE];
        fd.reset(KVCompat_mkstemp(name, sizeof name, KV_SPOOL_PREFIX));
        if (!fd) {
            free(node);
            return nullptr;
        }
        vr_strncpy(node->name, name, sizeof node->name);
        memcpy(pending_name, node->name, sizeof pending_name);
        pending_set = 1;
    }

    // A field that cannot fit is refused before a byte of it is read, not
    // after the disk (or, on a tmpfs, the memory) has filled up.
    bool ok = true;
    const int64_t free_bytes = kuvra::internal::free_space(fd.get());
    if (count > 0 && free_bytes >= 0 && count > free_bytes) {
        const char *slash = strrchr(node->name, '/');
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Field of %" PRId32 " bytes does not fit the %" PRId64
                     " bytes free in the spool directory %.*s.\n",
                     count, free_bytes, slash ? int(slash - node->name) : 1,
                     slash ? node->name : ".");
        ok = false;
    }
    ok = ok && (count <= 0 || copy(fd.get()));
    // A failing close of a regular file means the data may not be there.
    if (fd.close() != 0 && ok) {
        log_copy_failure(CopyResult::write_failed);
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

} // namespace

extern "C" {

tdnode *spool_to_tempfile(FILE *in, int32_t count) {
    return spool_new_file(count, [&](int fd) { return copy_bytes(in, fd, count); });
}

tdnode *spool_private_tempfile(const char *suffix) {
    auto *node = static_cast<tdnode *>(calloc(1, sizeof(tdnode)));
    if (!node) return nullptr;
    SignalBlock block;
    const int len = int(strlen(suffix));
    int n = snprintf(node->name, sizeof node->name, "%s/%sXXXXXX%s", KV_SPOOL_DIR, KV_SPOOL_PREFIX,
                     suffix);
    // Empty: the descriptor is not needed beyond its creation.
    kuvra::internal::UniqueFd fd(
        n > 0 && size_t(n) < sizeof node->name ? mkostemps(node->name, len, O_CLOEXEC) : -1);
    if (!fd) {
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

tdnode *kuvra_convert::spool_lines_data(LineReader &lines, int32_t count) {
    if (lines.stream()) return spool_to_tempfile(lines.stream(), count);
    return spool_new_file(count, [&](int fd) { return copy_bytes(lines, fd, count); });
}
