// Child processes on pipes: data paths, descriptor hand-over and hygiene,
// failures before and at the start, and the reaper.
#include <kuvra/internal/children.h>
#include <kuvra/pipes.h>

#include "kvtest.h"
#include "proctest.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if defined(__x86_64__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

using namespace std::chrono_literals;

namespace {

using proctest::DescriptorRoom;
using proctest::pipe_with;
using proctest::read_all;

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}
bool is_cloexec(int fd) {
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

std::set<std::string> lines_of(const std::string &text) {
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.insert(l);
    return out;
}

// Descriptors a child of this process holds when nothing leaks into it,
// listed by the same command the tests run through the pipe operations.
std::set<std::string> clean_child_fds() {
    return lines_of(kvtest::run({"/bin/sh", "-c", "exec ls /proc/self/fd"}).out);
}

const char *const kLsFds[] = {"sh", "-c", "exec ls /proc/self/fd", nullptr};
const char *const kCat[] = {"cat", nullptr};

// Puts a descriptor onto one of 0/1/2 for the scope and restores the
// original afterwards.
class ScopedStd {
  public:
    ScopedStd(int which, int fd) : which_(which), saved_(dup(which)) { dup2(fd, which); }
    ~ScopedStd() {
        dup2(saved_, which_);
        close(saved_);
    }

  private:
    int which_;
    int saved_;
};

// Runs the body with PATH replaced.
class ScopedPath {
  public:
    explicit ScopedPath(const std::string &value) : old_(getenv("PATH") ? getenv("PATH") : "") {
        setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() { setenv("PATH", old_.c_str(), 1); }

  private:
    std::string old_;
};

// Every test checks that the standard descriptors are back where they were
// and that no descriptor was left behind.
class Pipes : public ::testing::Test {
  protected:
    void SetUp() override {
        std_before_ = proctest::std_ids();
        fds_before_ = kvtest::open_fd_count();
    }
    void TearDown() override {
        EXPECT_EQ(proctest::std_ids(), std_before_) << "standard descriptors rebound";
        EXPECT_EQ(kvtest::open_fd_count(), fds_before_) << "descriptor leaked";
    }

  private:
    proctest::StdIds std_before_{};
    int fds_before_ = 0;
};

// ---- pipeprefix -------------------------------------------------------------

TEST_F(Pipes, PrefixComesBeforeTheRestOfTheStream) {
    int in = pipe_with(std::string("rest\0of stream", 14));
    std::string prefix("HE\0D", 4);
    int r = pipeprefix(prefix.data(), int(prefix.size()), in);
    ASSERT_GE(r, 0);
    EXPECT_FALSE(is_open(in)) << "input not handed over";
    EXPECT_TRUE(is_cloexec(r));
    EXPECT_EQ(read_all(r), std::string("HE\0Drest\0of stream", 18));
    close(r);
}

TEST_F(Pipes, ZeroLengthPrefixLeavesStreamUnchanged) {
    int in = pipe_with("unchanged\n");
    int r = pipeprefix(nullptr, 0, in);
    ASSERT_GE(r, 0);
    EXPECT_EQ(read_all(r), "unchanged\n");
    close(r);
}

TEST_F(Pipes, PrefixOnDescriptorZeroSharesStandardInput) {
    int in = pipe_with("from stdin");
    {
        ScopedStd std0(0, in);
        auto ids = proctest::std_ids();
        int r = pipeprefix("pre:", 4, 0);
        ASSERT_GE(r, 0);
        EXPECT_TRUE(is_open(0));
        EXPECT_EQ(proctest::std_ids(), ids);
        EXPECT_EQ(read_all(r), "pre:from stdin");
        close(r);
    }
    close(in);
}

TEST_F(Pipes, PrefixLargerThanThePipesDoesNotBlock) {
    // Beyond the capacity of the prefix and result pipes together, a plain
    // blocking write would wait for a reader that only comes after return.
    std::string prefix(300000, 'p');
    for (size_t i = 0; i < prefix.size(); i += 4093)
        prefix[i] = char('a' + i % 26);
    int in = pipe_with("tail");
    int r = pipeprefix(prefix.data(), int(prefix.size()), in);
    ASSERT_GE(r, 0);
    EXPECT_EQ(read_all(r), prefix + "tail");
    close(r);
}

TEST_F(Pipes, RejectedPrefixArgumentsLeaveInputWithCaller) {
    int in = pipe_with("x");
    EXPECT_EQ(pipeprefix("abc", -1, in), -1);
    EXPECT_EQ(pipeprefix(nullptr, 3, in), -1);
    EXPECT_EQ(pipeprefix("abc", 3, -1), -1);
    ASSERT_TRUE(is_open(in));
    EXPECT_EQ(read_all(in), "x");
    close(in);
}

TEST_F(Pipes, UnexecutablePipeprefixYieldsEofAndNoSigpipe) {
    kvtest::TempDir empty;
    int in = pipe_with("stream");
    int r;
    {
        ScopedPath path(empty.path().string());
        r = pipeprefix("prefix bytes", 12, in);
    }
    // Still alive: the write to the missing reader did not end the process.
    ASSERT_GE(r, 0);
    EXPECT_EQ(read_all(r), "");
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "SIGPIPE left pending";
    close(r);
}

TEST_F(Pipes, UnexecutablePipeprefixKeepsAnEarlierPendingSigpipe) {
    // A SIGPIPE the caller has blocked and pending is not ours to consume.
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_set, &old);
    raise(SIGPIPE);
    kvtest::TempDir empty;
    int r;
    {
        ScopedPath path(empty.path().string());
        r = pipeprefix("abc", 3, pipe_with("x"));
    }
    ASSERT_GE(r, 0);
    close(r);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_TRUE(sigismember(&pending, SIGPIPE));
    const timespec zero{};
    sigtimedwait(&pipe_set, nullptr, &zero);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

TEST_F(Pipes, PipeprefixChildGetsStreamResultAndPrefixOnly) {
    // A stand-in kuvra_pipeprefix that reports its descriptors and its three
    // inputs shows how the child is wired.
    kvtest::TempDir dir;
    kvtest::write_file(dir / "kuvra_pipeprefix",
                       "#!/bin/sh\nls /proc/self/fd; echo; cat <&2; echo; exec cat\n");
    chmod((dir / "kuvra_pipeprefix").c_str(), 0755);
    auto clean = clean_child_fds();
    int r;
    {
        ScopedPath path(dir.path().string() + ":" + getenv("PATH"));
        r = pipeprefix("PREFIX", 6, pipe_with("STREAM"));
    }
    ASSERT_GE(r, 0);
    std::string out = read_all(r);
    close(r);
    auto blank = out.find("\n\n");
    ASSERT_NE(blank, std::string::npos) << out;
    // ls itself holds one descriptor more (its directory) in both listings.
    EXPECT_EQ(lines_of(out.substr(0, blank + 1)), clean);
    EXPECT_EQ(out.substr(blank + 2), "PREFIX\nSTREAM");
}

// ---- pipethrough ------------------------------------------------------------

TEST_F(Pipes, ThroughRunsFilterOnInput) {
    const char *const tr[] = {"tr", "a-z", "A-Z", nullptr};
    int in = pipe_with("hello filter\n");
    int r = pipethrough(in, "tr", tr);
    ASSERT_GE(r, 0);
    EXPECT_FALSE(is_open(in));
    EXPECT_TRUE(is_cloexec(r));
    EXPECT_EQ(read_all(r), "HELLO FILTER\n");
    close(r);
}

TEST_F(Pipes, ThroughChildInheritsNoCopiesOrPipeEnds) {
    auto clean = clean_child_fds();
    int r = pipethrough(pipe_with(""), "sh", kLsFds);
    ASSERT_GE(r, 0);
    EXPECT_EQ(lines_of(read_all(r)), clean);
    close(r);
}

TEST_F(Pipes, ThroughMissingProgramYieldsEof) {
    const char *const argv[] = {"kuvra-no-such-program", nullptr};
    int r = pipethrough(pipe_with("data"), argv[0], argv);
    ASSERT_GE(r, 0);
    EXPECT_EQ(read_all(r), "");
    close(r);
}

TEST_F(Pipes, InputOnARebindableStandardDescriptorStillReachesChild) {
    // An input on 1 or 2 must reach the child although the start rebinds
    // that descriptor, and the process keeps it.
    int in = pipe_with("via one");
    int r;
    {
        ScopedStd std1(1, in);
        auto ids = proctest::std_ids();
        r = pipethrough(1, "cat", kCat);
        EXPECT_EQ(proctest::std_ids(), ids);
    }
    close(in);
    ASSERT_GE(r, 0);
    EXPECT_EQ(read_all(r), "via one");
    close(r);

    in = pipe_with("via two");
    int out = -1, err = -1;
    {
        ScopedStd std2(2, in);
        auto ids = proctest::std_ids();
        EXPECT_EQ(pipethrougherr(2, "cat", kCat, &out, &err), 0);
        EXPECT_EQ(proctest::std_ids(), ids);
    }
    close(in);
    ASSERT_GE(out, 0);
    EXPECT_EQ(read_all(out), "via two");
    close(out);
    close(err);
}

TEST_F(Pipes, ThroughChainsFilters) {
    const char *const rev[] = {"rev", nullptr};
    const char *const tr[] = {"tr", "a-z", "A-Z", nullptr};
    int a = pipethrough(pipe_with("abc\n"), "rev", rev);
    ASSERT_GE(a, 0);
    int b = pipethrough(a, "tr", tr);
    ASSERT_GE(b, 0);
    EXPECT_EQ(read_all(b), "CBA\n");
    close(b);
}

// ---- pipethrougherr ---------------------------------------------------------

TEST_F(Pipes, ThroughErrSeparatesOutputAndErrorOutput) {
    const char *const argv[] = {"sh", "-c", "cat; echo to-err >&2", nullptr};
    int out = -2, err = -2;
    ASSERT_EQ(pipethrougherr(pipe_with("to-out\n"), "sh", argv, &out, &err), 0);
    ASSERT_GE(out, 0);
    ASSERT_GE(err, 0);
    EXPECT_TRUE(is_cloexec(out));
    EXPECT_TRUE(is_cloexec(err));
    EXPECT_EQ(read_all(out), "to-out\n");
    EXPECT_EQ(read_all(err), "to-err\n");
    close(out);
    close(err);
}

TEST_F(Pipes, ThroughErrChildInheritsNoCopiesOrPipeEnds) {
    auto clean = clean_child_fds();
    int out, err;
    ASSERT_EQ(pipethrougherr(pipe_with(""), "sh", kLsFds, &out, &err), 0);
    EXPECT_EQ(lines_of(read_all(out)), clean);
    EXPECT_EQ(read_all(err), "");
    close(out);
    close(err);
}

TEST_F(Pipes, ThroughErrMissingProgramGivesTwoEmptyPipes) {
    const char *const argv[] = {"kuvra-no-such-program", nullptr};
    int out, err;
    ASSERT_EQ(pipethrougherr(pipe_with("x"), argv[0], argv, &out, &err), 0);
    EXPECT_EQ(read_all(out), "");
    EXPECT_EQ(read_all(err), "");
    close(out);
    close(err);
}

// ---- pipeto -----------------------------------------------------------------

TEST_F(Pipes, ToChildWritesToTheProcessOutput) {
    int cap[2];
    ASSERT_EQ(pipe2(cap, O_CLOEXEC), 0);
    const char *const argv[] = {"sh", "-c", "cat; echo end", nullptr};
    int in = pipe_with("input ");
    {
        ScopedStd std1(1, cap[1]);
        EXPECT_EQ(pipeto(in, "sh", argv), 0);
    }
    EXPECT_FALSE(is_open(in));
    close(cap[1]);
    EXPECT_EQ(read_all(cap[0]), "input end\n");
    close(cap[0]);
}

TEST_F(Pipes, ToMissingProgramStillReportsStart) {
    const char *const argv[] = {"kuvra-no-such-program", nullptr};
    EXPECT_EQ(pipeto(pipe_with("x"), argv[0], argv), 0);
}

TEST_F(Pipes, StatusesReachTheWaiterUnexecutableProgramAsExitOne) {
    using kuvra::internal::ChildFailure;
    using kuvra::internal::wait_started_children;
    wait_started_children(nullptr); // the children of earlier tests
    const char *const missing[] = {"kuvra-no-such-program", nullptr};
    const char *const fails[] = {"sh", "-c", "exit 3", nullptr};
    ASSERT_EQ(pipeto(pipe_with(""), missing[0], missing), 0);
    ChildFailure failed{};
    EXPECT_FALSE(wait_started_children(&failed));
    EXPECT_STREQ(failed.program, "kuvra-no-such-program");
    EXPECT_TRUE(WIFEXITED(failed.status) && WEXITSTATUS(failed.status) == 1) << failed.status;

    int r = pipethrough(pipe_with(""), "sh", fails);
    ASSERT_GE(r, 0);
    EXPECT_EQ(read_all(r), "");
    close(r);
    failed = {};
    EXPECT_FALSE(wait_started_children(&failed));
    EXPECT_STREQ(failed.program, "sh");
    EXPECT_TRUE(WIFEXITED(failed.status) && WEXITSTATUS(failed.status) == 3) << failed.status;
    EXPECT_TRUE(wait_started_children(nullptr)) << "a reported child was not forgotten";
}

// ---- Failures before the child ------------------------------------------------

struct StartCase {
    const char *name;
    int needed; // descriptors the start makes before the child exists
    int (*run)(int fd);
};

int run_prefix(int fd) {
    int r = pipeprefix("p", 1, fd);
    return r < 0 ? -1 : (close(r), 0);
}
int run_through(int fd) {
    int r = pipethrough(fd, "cat", kCat);
    return r < 0 ? -1 : (close(r), 0);
}
int run_through_err(int fd) {
    int out, err;
    if (pipethrougherr(fd, "cat", kCat, &out, &err) < 0) return -1;
    close(out);
    close(err);
    return 0;
}
int run_to(int fd) {
    const char *const argv[] = {"true", nullptr};
    return pipeto(fd, "true", argv);
}

const StartCase kStarts[] = {
    {"pipeprefix", 4, run_prefix},
    {"pipethrough", 2, run_through},
    {"pipethrougherr", 4, run_through_err},
    {"pipeto", 0, run_to},
};

TEST_F(Pipes, EveryEarlyFailureClosesWhatItMadeAndKeepsInput) {
    for (const auto &c : kStarts) {
        for (int room = 0; room <= c.needed; ++room) {
            SCOPED_TRACE(std::string(c.name) + " with room " + std::to_string(room));
            int in = pipe_with("kept");
            auto ids = proctest::std_ids();
            int result, left;
            {
                DescriptorRoom limit(room);
                result = c.run(in);
                left = DescriptorRoom::free_now();
            }
            EXPECT_EQ(proctest::std_ids(), ids);
            if (room < c.needed) {
                EXPECT_EQ(result, -1);
                EXPECT_EQ(left, room) << "descriptors left behind";
                ASSERT_TRUE(is_open(in));
                EXPECT_EQ(read_all(in), "kept");
                close(in);
            } else {
                EXPECT_EQ(result, 0);
                EXPECT_FALSE(is_open(in));
            }
        }
    }
}

#if defined(__x86_64__)
// Makes every creation of a child that borrows this process's memory fail
// with EAGAIN: vfork, and the clone with CLONE_VFORK that posix_spawn makes.
// clone3, whose flags a filter cannot read, is refused as missing, so that
// glibc falls back to clone.
bool deny_vfork() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_vfork, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])), // flags, low half
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_VFORK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Runs in a forked child; reports the first broken expectation on stderr.
[[noreturn]] void check_failed_vforks() {
    auto fail = [](const char *what) {
        fprintf(stderr, "FAILED: %s\n", what);
        _exit(1);
    };
    if (!deny_vfork()) fail("seccomp");
    auto ids = proctest::std_ids();
    int fds = kvtest::open_fd_count();
    for (auto c : {run_prefix, run_through, run_to}) {
        int in = pipe_with("kept");
        if (c(in) != -1) fail("a failed vfork was not reported as -1");
        if (!is_open(in) || read_all(in) != "kept") fail("a failed start took the input");
        close(in);
    }
    int out = 7, err = 7;
    int in = pipe_with("x");
    if (pipethrougherr(in, "cat", kCat, &out, &err) != 0 || out != -1 || err != -1)
        fail("pipethrougherr: not 0 with -1 and -1");
    if (is_open(in)) fail("pipethrougherr: input not handed over");
    if (proctest::std_ids() != ids) fail("standard descriptors not restored");
    if (kvtest::open_fd_count() != fds) fail("descriptor leaked");
    _exit(0);
}

TEST(PipesDeathTest, FailedVforkRestoresDescriptorsAndReportsByMember) {
    EXPECT_EXIT(check_failed_vforks(), ::testing::ExitedWithCode(0), "");
}
#endif

// ---- Reaper -------------------------------------------------------------------

TEST_F(Pipes, ReaperCollectsChildrenThatEndTogetherInOneDelivery) {
    pipethrough_catch_SIGCHLD();
    // Standard signals do not queue: with SIGCHLD held back while five
    // children end, the handler runs once for all of them.
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    const char *const argv[] = {"sleep", "0.05", nullptr};
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(pipeto(pipe_with(""), "sleep", argv), 0);
    EXPECT_TRUE(proctest::eventually([] { return proctest::zombie_children().size() >= 5; }, 5s));
    sigprocmask(SIG_SETMASK, &old, nullptr);
    EXPECT_TRUE(proctest::eventually([] { return proctest::children().empty(); }, 5s))
        << proctest::children().size() << " children left";
}

TEST_F(Pipes, ReaperLeavesPopenChildToPclose) {
    pipethrough_catch_SIGCHLD();
    // Filters that keep running, and some that end, around the pipeline.
    std::vector<int> inputs, outputs;
    for (int i = 0; i < 3; ++i) {
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        inputs.push_back(p[1]);
        outputs.push_back(pipethrough(p[0], "cat", kCat));
        ASSERT_GE(outputs.back(), 0);
    }
    const char *const argv[] = {"true", nullptr};
    ASSERT_EQ(pipeto(pipe_with(""), "true", argv), 0);

    FILE *p = popen("echo pipeline; exit 3", "r");
    ASSERT_NE(p, nullptr);
    char line[64] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_STREQ(line, "pipeline\n");
    // Let the pipeline end and SIGCHLD reach the handler, more than once.
    EXPECT_TRUE(proctest::eventually([] { return !proctest::zombie_children().empty(); }, 5s));
    close(inputs[0]);
    EXPECT_EQ(read_all(outputs[0]), "");
    kill(getpid(), SIGCHLD);
    std::this_thread::sleep_for(20ms);

    int status = pclose(p);
    ASSERT_NE(status, -1) << "pipeline's status taken by the reaper: " << strerror(errno);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);

    close(outputs[0]);
    for (size_t i = 1; i < inputs.size(); ++i) {
        close(inputs[i]);
        EXPECT_EQ(read_all(outputs[i]), "");
        close(outputs[i]);
    }
    EXPECT_TRUE(proctest::eventually([] { return proctest::children().empty(); }, 5s));
}

TEST_F(Pipes, ReaperLeavesForkedChildToItsWaiter) {
    pipethrough_catch_SIGCHLD();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(7);
    EXPECT_TRUE(proctest::eventually([&] { return proctest::state_of(pid) == 'Z'; }, 5s));
    kill(getpid(), SIGCHLD);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST_F(Pipes, ReaperRestartsInterruptedReads) {
    // A read that a SIGCHLD interrupts must resume, not fail with EINTR:
    // the sniffing readers treat any failure as the end of the data.
    pipethrough_catch_SIGCHLD();
    const char *const argv[] = {"sh", "-c", "sleep 0.4; echo late", nullptr};
    int out = pipethrough(pipe_with(""), "sh", argv);
    ASSERT_GE(out, 0);
    // These end while the read below waits.
    const char *const nap[] = {"sleep", "0.1", nullptr};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(pipeto(pipe_with(""), "sleep", nap), 0);
    char buf[16];
    errno = 0;
    ssize_t n = read(out, buf, sizeof buf);
    EXPECT_EQ(n, 5) << strerror(errno);
    close(out);
    EXPECT_TRUE(proctest::eventually([] { return proctest::children().empty(); }, 5s));
}

} // namespace
