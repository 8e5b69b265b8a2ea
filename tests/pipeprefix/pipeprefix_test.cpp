// kuvra_pipeprefix run as pipeprefix() runs it and as a user would: prefix on
// descriptor 2, stream on 0, result on 1, over pipes and regular files.
#include "kvtest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

kvtest::RunOptions with_input(std::string bytes) {
    kvtest::RunOptions o;
    o.input = std::move(bytes);
    return o;
}

// Bytes that show any loss, duplication or reordering at any offset.
std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = char(x >> 24);
    }
    return s;
}

class Pipeprefix : public ::testing::Test {
  protected:
    void SetUp() override {
        prefix_ = pattern(100000, 1);
        stream_ = pattern(5 * 1024 * 1024 + 17, 2);
        kvtest::write_file(dir_ / "prefix", prefix_);
        kvtest::write_file(dir_ / "stream", stream_);
    }
    std::string path(const char *name) const { return (dir_ / name).string(); }

    kvtest::TempDir dir_;
    std::string prefix_, stream_;
};

TEST_F(Pipeprefix, AllPipes) {
    // Prefix from a pipe on 2, stream from the test's pipe on 0, result on a
    // pipe: the way pipeprefix() wires it.
    auto r = kvtest::sh("exec 3<&0; cat '" + path("prefix") + "' | kuvra_pipeprefix 2<&0 0<&3 3<&-",
                        with_input(stream_));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == prefix_ + stream_) << "output of " << r.out.size() << " bytes differs";
}

TEST_F(Pipeprefix, RegularFilesInAndOut) {
    auto r = kvtest::sh("kuvra_pipeprefix 2<'" + path("prefix") + "' <'" + path("stream") + "' >'" +
                        path("out") + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(kvtest::read_file(dir_ / "out") == prefix_ + stream_);
}

TEST_F(Pipeprefix, AppendingOutputAfterExistingBytes) {
    kvtest::write_file(dir_ / "out", "existing|");
    auto r = kvtest::sh("cat '" + path("stream") + "' | kuvra_pipeprefix 2<'" + path("prefix") +
                        "' >>'" + path("out") + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(kvtest::read_file(dir_ / "out") == "existing|" + prefix_ + stream_);
}

TEST_F(Pipeprefix, EmptyPrefixAndEmptyStream) {
    auto r = kvtest::sh("kuvra_pipeprefix 2</dev/null", with_input("only the stream"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "only the stream");

    r = kvtest::sh("printf 'only the prefix' | kuvra_pipeprefix 2<&0 </dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "only the prefix");

    r = kvtest::sh("kuvra_pipeprefix 2</dev/null </dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(Pipeprefix, WaitsForSlowWritersOnBothInputs) {
    auto r = kvtest::sh("exec 3<&0; (printf p1; sleep 0.1; printf p2) | "
                        "kuvra_pipeprefix 2<&0 0<&3 3<&-",
                        with_input("s1s2"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "p1p2s1s2");
    r = kvtest::sh("(printf s1; sleep 0.1; printf s2) | kuvra_pipeprefix 2</dev/null");
    EXPECT_EQ(r.out, "s1s2");
}

TEST_F(Pipeprefix, ClosedReaderEndsItQuietlyWithStatusZero) {
    // The status of kuvra_pipeprefix itself, not of the pipeline's last member.
    for (const char *prefix : {"/dev/null", "prefix"}) {
        SCOPED_TRACE(prefix);
        std::string pre = prefix[0] == '/' ? prefix : path(prefix);
        auto r = kvtest::sh("{ kuvra_pipeprefix 2<'" + pre + "' <'" + path("stream") +
                            "'; echo $? >'" + path("status") + "'; } | head -c 10 >/dev/null");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(kvtest::read_file(dir_ / "status"), "0\n");
    }
}

TEST_F(Pipeprefix, UnreadableInputIsAFailure) {
    auto r = kvtest::sh("kuvra_pipeprefix 2</dev/null </; echo $?");
    EXPECT_EQ(r.out, "1\n");
    r = kvtest::sh("kuvra_pipeprefix 2</ </dev/null; echo $?");
    EXPECT_EQ(r.out, "1\n");
}

} // namespace

namespace {

// The stream's pipe is enlarged to 1 MiB, so that its writer runs ahead
// instead of waking kuvra_pipeprefix for every 64 KiB (most of the time of
// a copy from a pipe to a file or to /dev/null went to those wake-ups).
TEST(PipeprefixPipe, StreamPipeIsEnlarged) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(p[1], F_GETPIPE_SZ), 65536);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[0], 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_RDONLY, 0);
    std::string prog = kvtest::bin("kuvra_pipeprefix");
    char *argv[] = {prog.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(p[0]);
    int size = 0;
    for (int i = 0; i < 500 && size < (1 << 20); ++i) {
        size = fcntl(p[1], F_GETPIPE_SZ);
        if (size < (1 << 20)) usleep(10000);
    }
    EXPECT_EQ(size, 1 << 20);
    // And it still copies what comes.
    EXPECT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
