#include <kuvra/fileutil.h>

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(VrStrncpy, FitsOrReportsTruncation) {
    char buf[8];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(vr_strncpy(buf, "abc", 4), buf);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(vr_strncpy(buf, "abcd", 4), nullptr);
    EXPECT_STREQ(buf, "abc");
    // The bounded copy fills the buffer: bytes after the text are NUL.
    memset(buf, 'Z', sizeof buf);
    vr_strncpy(buf, "a", sizeof buf);
    for (size_t i = 1; i < sizeof buf; i++)
        EXPECT_EQ(buf[i], '\0') << i;
}

TEST(VrStrncpy, SizeZeroWritesNothing) {
    char buf[2] = {'X', 'Y'};
    EXPECT_EQ(vr_strncpy(buf, "abc", 0), nullptr);
    EXPECT_EQ(buf[0], 'X');
}

TEST(VrStrncat, AppendsWithinWholeBufferSize) {
    char buf[8] = "ab";
    EXPECT_EQ(vr_strncat(buf, "cd", 5), buf);
    EXPECT_STREQ(buf, "abcd");
    strcpy(buf, "ab");
    EXPECT_EQ(vr_strncat(buf, "cd", 4), nullptr);
    EXPECT_STREQ(buf, "abc");
    strcpy(buf, "abc");
    EXPECT_EQ(vr_strncat(buf, "d", 4), nullptr);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(vr_strncat(buf, "", 4), buf);
}

TEST(VrStrncat, UnterminatedOrZeroSizedBufferIsLeftAlone) {
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(vr_strncat(buf, "x", 4), nullptr);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(vr_strncat(nullptr, "x", 0), nullptr); // must not read dst
}

TEST(VrStrcasestr, FindsIgnoringCase) {
    const char *h = "Hello";
    EXPECT_EQ(vr_strcasestr(h, "LL"), h + 2);
    EXPECT_EQ(vr_strcasestr(h, ""), h);
    const char *empty = "";
    EXPECT_EQ(vr_strcasestr(empty, ""), empty);
    EXPECT_EQ(vr_strcasestr(empty, "a"), nullptr);
    EXPECT_EQ(vr_strcasestr(h, "loX"), nullptr);
    EXPECT_EQ(vr_strcasestr(h, "hellooo"), nullptr);
}

TEST(KVCompatMkstemp, CreatesPrivateFileInTmp) {
    char buf[1024];
    int fd = KVCompat_mkstemp(buf, sizeof buf, "x");
    ASSERT_GE(fd, 0);
    std::string name = buf;
    EXPECT_EQ(name.rfind("/tmp/x", 0), 0u);
    EXPECT_EQ(name.size(), strlen("/tmp/x") + 6);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    close(fd);
    unlink(buf);
    char small[10];
    EXPECT_EQ(KVCompat_mkstemp(small, sizeof small, "kuvra_"), -1);
}

TEST(KVCompatLock, SecondProcessWaitsForRelease) {
    char name[1024];
    int fd = KVCompat_mkstemp(name, sizeof name, "kvlock_");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(KVCompat_LockWholeFile(fd, F_WRLCK), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int f2 = open(name, O_RDWR);
        // Non-blocking probe first: the lock must be held by the parent.
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        int held = fcntl(f2, F_SETLK, &fl) == -1;
        char c = held ? 'H' : 'F';
        (void)!write(ready[1], &c, 1);
        int r = KVCompat_LockWholeFile(f2, F_WRLCK); // waits for the release
        _exit(held && r == 0 ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'H');
    EXPECT_EQ(KVCompat_LockWholeFile(fd, F_UNLCK), 0);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    close(fd);
    unlink(name);
}
