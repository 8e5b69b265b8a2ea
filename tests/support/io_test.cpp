// The programs' internal I/O layer: the descriptor owner and the copy.
#include <kuvra/internal/fd.h>
#include <kuvra/internal/io.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

using kuvra::internal::UniqueFd;

namespace {

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) >= 0;
}

using kuvra::internal::copy_bytes;
using kuvra::internal::CopyOptions;
using kuvra::internal::CopyResult;

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char((i * 131 + i / 4099) & 0xff);
    return s;
}

// An unnamed file holding bytes, its offset at at.
UniqueFd file_with(const std::string &bytes, off_t at = 0) {
    FILE *t = tmpfile();
    if (!t) return UniqueFd();
    UniqueFd fd(dup(fileno(t)));
    fclose(t);
    if (kuvra::internal::write_fully(fd.get(), bytes.data(), bytes.size()) != bytes.size())
        return UniqueFd();
    lseek(fd.get(), at, SEEK_SET);
    return fd;
}

std::string contents(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
        s.append(buf, size_t(n));
    return s;
}

} // namespace

// One owner at a time; the descriptor closes with its last owner, not with
// one that released it; close() says when the kernel refused.
TEST(UniqueFd, OwnsMovesReleasesAndReportsClose) {
    UniqueFd r, w;
    ASSERT_TRUE(kuvra::internal::make_pipe(r, w));
    const int rfd = r.get(), wfd = w.get();
    EXPECT_TRUE(fcntl(rfd, F_GETFD) & FD_CLOEXEC);
    {
        UniqueFd moved(std::move(r));
        EXPECT_FALSE(r);
        EXPECT_EQ(moved.get(), rfd);
        UniqueFd other;
        other = std::move(moved);
        EXPECT_EQ(other.get(), rfd);
        EXPECT_TRUE(is_open(rfd));
    }
    EXPECT_FALSE(is_open(rfd));

    const int kept = w.release();
    EXPECT_EQ(kept, wfd);
    EXPECT_TRUE(is_open(wfd));
    EXPECT_EQ(w.close(), 0); // holds nothing
    UniqueFd again(kept);
    EXPECT_EQ(again.close(), 0);
    EXPECT_FALSE(is_open(wfd));
    EXPECT_EQ(again.get(), -1);
    // A descriptor somebody else closed: the failure comes back, once.
    UniqueFd stale(wfd);
    EXPECT_EQ(stale.close(), EBADF);
    EXPECT_EQ(stale.close(), 0);
}

// Every pair of ends gets exactly the bytes asked for, from where the input
// stands, and leaves the input behind them; an input that ends first and an
// output whose reader went away are told apart from success.
TEST(CopyBytes, EveryPairOfEndsCopiesExactlyAndReports) {
    const std::string data = pattern(3 << 20);
    // File to file: at the same offset within a page (the kernel copies),
    // and at another (through the buffer), from an offset given or the
    // descriptor's own.
    for (off_t out_at : {off_t(0), off_t(4096 + 18)}) {
        UniqueFd in = file_with(data, 4096 + 18),
                 out = file_with(std::string(size_t(out_at), 'h'), out_at);
        CopyResult r = copy_bytes(in.get(), out.get(), 2 << 20, {.reserve = true});
        ASSERT_TRUE(r.ok()) << out_at;
        EXPECT_EQ(r.copied, 2 << 20);
        EXPECT_EQ(lseek(in.get(), 0, SEEK_CUR), 4096 + 18 + (2 << 20));
        EXPECT_TRUE(contents(out.get()) ==
                    std::string(size_t(out_at), 'h') + data.substr(4096 + 18, 2 << 20))
            << out_at;
        off_t from = 5;
        r = copy_bytes(in.get(), out.get(), 10, {.in_offset = &from});
        EXPECT_TRUE(r.ok());
        EXPECT_EQ(from, 15);
        EXPECT_EQ(lseek(in.get(), 0, SEEK_CUR), 4096 + 18 + (2 << 20));
        // The rest, to its end; then more than there is.
        r = copy_bytes(in.get(), out.get(), -1);
        EXPECT_TRUE(r.ok());
        EXPECT_EQ(r.copied, int64_t(data.size()) - 4096 - 18 - (2 << 20));
        lseek(in.get(), -7, SEEK_END);
        r = copy_bytes(in.get(), out.get(), 8);
        EXPECT_EQ(r.status, CopyResult::input_ended);
        EXPECT_EQ(r.copied, 7);
        struct stat st {};
        ASSERT_EQ(fstat(out.get(), &st), 0);
        // Nothing reserved stays beyond the end.
        EXPECT_LE(int64_t(st.st_blocks) * 512, st.st_size + (int64_t(1) << 20));
    }

    // File to pipe and pipe to file, a writer on the other side.
    UniqueFd in = file_with(data, 1);
    UniqueFd r, w;
    ASSERT_TRUE(kuvra::internal::make_pipe(r, w));
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(r.get(), buf, sizeof buf)) > 0)
            got.append(buf, size_t(n));
    });
    CopyResult c = copy_bytes(in.get(), w.get(), int64_t(data.size()) - 1);
    w.reset();
    reader.join();
    EXPECT_TRUE(c.ok());
    EXPECT_TRUE(got == data.substr(1));

    ASSERT_TRUE(kuvra::internal::make_pipe(r, w));
    UniqueFd out = file_with("");
    std::thread writer([&] {
        kuvra::internal::write_fully(w.get(), data.data(), data.size());
        w.reset();
    });
    c = copy_bytes(r.get(), out.get(), int64_t(data.size()) - 100, {.reserve = true});
    EXPECT_TRUE(c.ok());
    c = copy_bytes(r.get(), out.get(), 1000);
    writer.join();
    EXPECT_EQ(c.status, CopyResult::input_ended);
    EXPECT_EQ(c.copied, 100);
    EXPECT_TRUE(contents(out.get()) == data);

    // A reader that went away: EPIPE, not a fatal signal.
    signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(kuvra::internal::make_pipe(r, w));
    r.reset();
    in = file_with(data);
    c = copy_bytes(in.get(), w.get(), 1000);
    EXPECT_EQ(c.status, CopyResult::write_failed);
    EXPECT_EQ(c.error, EPIPE);
}
