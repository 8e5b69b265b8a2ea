// The programs' internal I/O layer: the descriptor owner.
#include <kuvra/internal/fd.h>

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <utility>

using kuvra::internal::UniqueFd;

namespace {

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) >= 0;
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
