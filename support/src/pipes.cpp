// Child processes on pipes: filters, prefix push-back, and the reaper of
// the children these operations start.
//
// Every starting operation follows one sequence: create the pipes, start
// the child (start_child) with fd and the child's pipe ends as its 0/1/2.
// The process's own descriptors are never rebound.  Everything the caller
// keeps is close-on-exec from its creation, so no later child inherits a
// pipe end that would keep a pipe from reaching end of file; other
// descriptors of the caller that are not close-on-exec reach the child.
//
// Ownership: a -1 result means nothing was started and fd is still the
// caller's.  Otherwise fd (if above 2) has been closed here.  The standard
// descriptors are never closed: a child given 0, 1 or 2 shares it.
#include <kuvra/fileutil.h>
#include <kuvra/internal/children.h>
#include <kuvra/internal/fd.h>
#include <kuvra/internal/io.h>
#include <kuvra/internal/sibling.h>
#include <kuvra/internal/spawn.h>
#include <kuvra/pipes.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kuvra::internal::UniqueFd;

// ---- Reaper ---------------------------------------------------------------
//
// Only children started here are collected: the operations record each
// process number in a fixed table, and the handler waits (without blocking)
// for exactly those.  A wait for any child would steal the status of
// children that other code waits for - pclose() of a popen() pipeline would
// then fail with ECHILD instead of giving the pipeline's exit code.
//
// The status of each collected child is kept in its slot until
// wait_started_children reports it: a decompressor that finds a bad CRC or
// a cut trailer says so only by its status, after its last output byte.

constexpr int kMaxChildren = 1024;
static_assert(std::atomic<pid_t>::is_always_lock_free, "the signal handler needs lock-free slots");
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free slots");

enum SlotState : int {
    slot_free = 0,
    slot_filling = 1, // taken by the main flow, pid and name not yet set
    slot_running = 2, // the child may still run
    slot_ended = 3,   // collected; status holds how it ended
};

// State changes: free -> filling -> running by the main flow; running ->
// ended by whoever collects the child (the handler, or the main flow with
// SIGCHLD blocked); ended -> free by wait_started_children.  The
// compare-and-swap keeps the handler and the main flow from both
// collecting one child.
struct Slot {
    std::atomic<int> state{slot_free};
    std::atomic<pid_t> pid{0};
    std::atomic<int> status{0};
    char program[sizeof(kuvra::internal::ChildFailure{}.program)] = {};
};
Slot g_children[kMaxChildren];
volatile sig_atomic_t g_reaper_installed = 0;

// Collects the slot's child if it has ended (or, with block, once it has);
// async-signal-safe without block.
void reap_slot(Slot &slot, bool block = false) {
    if (slot.state.load() != slot_running) return;
    pid_t pid = slot.pid.load();
    int status = 0;
    pid_t got;
    do
        got = waitpid(pid, &status, block ? 0 : WNOHANG);
    while (got < 0 && errno == EINTR);
    // ECHILD: someone else collected it; how it ended is unknown.
    if (got == pid || (got < 0 && errno == ECHILD)) {
        int expected = slot_running;
        slot.status.store(got == pid ? status : -1);
        slot.state.compare_exchange_strong(expected, slot_ended);
    }
}

extern "C" void pipethrough_reaper(int) {
    int saved_errno = errno;
    for (auto &slot : g_children)
        reap_slot(slot);
    errno = saved_errno;
}

// Records a child that was started (status -1) or one that ended before it
// could run its program (pid 0, with the status it ended with).
void record_child(pid_t pid, const char *program, int ended_status) {
    for (auto &slot : g_children) {
        int free_mark = slot_free;
        if (slot.state.compare_exchange_strong(free_mark, slot_filling)) {
            slot.pid.store(pid);
            size_t i = 0;
            for (; program[i] && i + 1 < sizeof slot.program; ++i)
                slot.program[i] = program[i];
            slot.program[i] = '\0';
            if (ended_status != -1) {
                slot.status.store(ended_status);
                slot.state.store(slot_ended);
                return;
            }
            slot.state.store(slot_running);
            // A child that ended before it was recorded sent its SIGCHLD
            // while the handler could not know it.
            if (g_reaper_installed) reap_slot(slot);
            return;
        }
    }
    // Table full: more than kMaxChildren children alive at once.  This one
    // is left unrecorded and will linger as a zombie; never seen in practice.
}

// ---- Start sequence ---------------------------------------------------------

// What the child's descriptor 2 is.
enum class Err {
    own,         // the process's own standard error
    prefix_read, // read end of the prefix pipe (caller writes the prefix)
    error_write, // write end of the error pipe (caller reads it)
};

struct Plan {
    int wired;   // how many of 0, 1, 2 the child gets other than the caller's
    bool result; // child's 1 is the result pipe
    Err err;     // child's 2
};

enum class Outcome { not_started, fork_failed, started };

struct Ends {
    int result = -1; // caller's end of the result pipe
    int second = -1; // caller's end of the prefix or error pipe
};

// The status of a child that ended at once with exit status 1.
constexpr int kExecFailedStatus = 1 << 8;

Outcome start(const Plan &plan, int fd, const char *file, const char *const argv[], Ends &ends) {
    if (fd < 0 || file == nullptr || argv == nullptr || argv[0] == nullptr)
        return Outcome::not_started;
    // Each standard descriptor the child gets in place of the caller's must
    // be open, so that no pipe made here takes its number, and so must fd.
    for (int i = 0; i < plan.wired; ++i)
        if (fcntl(i, F_GETFD) < 0) return Outcome::not_started;
    if (fd > 2 && fcntl(fd, F_GETFD) < 0) return Outcome::not_started;

    UniqueFd result_read, result_write, second_read, second_write;
    if (plan.result) {
        if (!kuvra::internal::make_pipe(result_read, result_write)) return Outcome::not_started;
        // 1 MiB rather than 64 KiB: a decompressor writing its output then
        // runs ahead instead of waking its reader for every 64 KiB, which
        // made the reading a tenth slower than the decompressor alone.
        // Kernel memory; failure (a user's pipe quota) keeps the default.
        (void)fcntl(result_read.get(), F_SETPIPE_SZ, kuvra::internal::large_pipe_size);
    }
    if (plan.err != Err::own && !kuvra::internal::make_pipe(second_read, second_write))
        return Outcome::not_started;

    // fd goes onto the child's 0 before its 1 and 2 are rebound, so that an
    // fd of 1 or 2 still names the caller's file; the child gets fd under
    // no other number.  The child's ends of the pipes reach it only as its
    // 1 and 2 (the pipes are close-on-exec).
    kuvra::internal::ChildLaunch child;
    child.file = file;
    child.argv = argv;
    child.io[0] = fd == 0 ? kuvra::internal::kChildInherits : fd; // 0: shared as it is
    if (plan.result) child.io[1] = result_write.get();
    if (plan.err == Err::prefix_read) child.io[2] = second_read.get();
    if (plan.err == Err::error_write) child.io[2] = second_write.get();
    pid_t pid = -1;
    const int error = kuvra::internal::start_child(child, &pid);
    // fd stays open until the child exists, so that a failed start leaves it
    // with the caller.
    if (error != 0 && kuvra::internal::start_made_no_child(error)) return Outcome::fork_failed;
    // A program that could not be executed ran as a child that ended at
    // once with status 1: its pipes reach end of file, and
    // wait_started_children reports it as such.
    record_child(error == 0 ? pid : 0, argv[0], error == 0 ? -1 : kExecFailedStatus);
    if (fd > 2) ::close(fd);
    ends.result = result_read.release();
    ends.second = plan.err == Err::prefix_read ? second_write.release() : second_read.release();
    return Outcome::started;
}

// Writes the whole prefix unless the reader goes away.  A kuvra_pipeprefix
// that could not be executed leaves no reader, and the write's SIGPIPE would
// end the caller; SIGPIPE is held blocked for the writes and a SIGPIPE they
// raised is consumed, while one that was already pending is left alone.
void write_prefix(int fd, const char *data, int length) {
    sigset_t pipe_set, old_mask, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_set, &old_mask);
    sigemptyset(&pending);
    sigpending(&pending);
    bool was_pending = sigismember(&pending, SIGPIPE) == 1;

    size_t n = length > 0 ? size_t(length) : 0;
    bool broken = kuvra::internal::write_fully(fd, data, n) < n && errno == EPIPE;
    if (broken && !was_pending) {
        const timespec no_wait{};
        sigtimedwait(&pipe_set, nullptr, &no_wait);
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
}

const char *const kPipeprefixArgv[] = {"kuvra_pipeprefix", nullptr};

} // namespace

extern "C" {

int pipeprefix(const char *data, int length, int fd) {
    if (length < 0 || (length > 0 && data == nullptr)) return -1;
    Ends ends;
    // Next to the running program first: one run by its path, its
    // installation not on PATH, must not lose compressed input.
    char file[KV_PATH_BUFSIZE];
    kuvra::internal::find_sibling(kPipeprefixArgv[0], "KUVRA_PIPEPREFIX", file, sizeof file);
    Outcome o = start({3, true, Err::prefix_read}, fd, file, kPipeprefixArgv, ends);
    if (o != Outcome::started) return -1;
    UniqueFd prefix(ends.second);
    // kuvra_pipeprefix reads its prefix before its output is read, so a
    // prefix beyond the two pipes' capacity would block both sides.  Make
    // room for it (best effort; the callers here pass at most 512 bytes).
    if (length > kuvra::internal::default_pipe_size) fcntl(prefix.get(), F_SETPIPE_SZ, length);
    write_prefix(prefix.get(), data, length);
    return ends.result;
}

int pipethrough(int fd, const char *file, const char *const argv[]) {
    Ends ends;
    if (start({2, true, Err::own}, fd, file, argv, ends) != Outcome::started) return -1;
    return ends.result;
}

int pipethrougherr(int fd, const char *file, const char *const argv[], int *out, int *err) {
    if (out == nullptr || err == nullptr) return -1;
    Ends ends;
    switch (start({3, true, Err::error_write}, fd, file, argv, ends)) {
    case Outcome::not_started:
        return -1;
    case Outcome::fork_failed:
        // The one member that reports a child that could not be created as
        // 0 with no pipes; fd is handed over all the same.
        if (fd > 2) ::close(fd);
        *out = -1;
        *err = -1;
        return 0;
    case Outcome::started:
        break;
    }
    *out = ends.result;
    *err = ends.second;
    return 0;
}

int pipeto(int fd, const char *file, const char *const argv[]) {
    Ends ends;
    return start({1, false, Err::own}, fd, file, argv, ends) == Outcome::started ? 0 : -1;
}

int pipethrough_catch_SIGCHLD(void) {
    struct sigaction sa {};
    sa.sa_handler = pipethrough_reaper;
    sigemptyset(&sa.sa_mask);
    // Handler stays installed; interrupted reads and writes are restarted,
    // since the sniffing readers do not retry them.
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
    g_reaper_installed = 1;
    // Children that ended before the handler existed sent their signal to
    // nobody.
    pipethrough_reaper(SIGCHLD);
    return 0;
}

} // extern "C"

namespace kuvra::internal {

bool wait_started_children(ChildFailure *failed) {
    // With SIGCHLD held the handler cannot collect a child between the
    // state test and the blocking wait of reap_slot.
    sigset_t chld, old_mask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old_mask);
    bool all_ok = true;
    for (auto &slot : g_children) {
        reap_slot(slot, true);
        if (slot.state.load() != slot_ended) continue;
        int status = slot.status.load();
        if (status != 0 && all_ok) {
            all_ok = false;
            if (failed) {
                static_assert(sizeof failed->program == sizeof slot.program);
                memcpy(failed->program, slot.program, sizeof slot.program);
                failed->status = status;
            }
        }
        slot.state.store(slot_free);
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return all_ok;
}

const char *describe_status(int status, char *buf, unsigned size) {
    if (status == -1)
        snprintf(buf, size, "status unknown");
    else if (WIFSIGNALED(status))
        snprintf(buf, size, "signal %d", WTERMSIG(status));
    else
        snprintf(buf, size, "exit status %d", WEXITSTATUS(status));
    return buf;
}

} // namespace kuvra::internal
