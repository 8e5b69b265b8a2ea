#include "debuglog_fixture.h"

#include "../../support/src/debuglog_internal.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>

namespace {

// "<seconds>.<usec, six digits>" of a slot, as the file prefix shows it.
std::string stamp(const debugentry &e) {
    std::string us = std::to_string(e.usec);
    return std::to_string(e.sec) + "." + std::string(6 - us.size(), '0') + us;
}

// debug_vlog with its own argument list, as a context-passing caller has.
__attribute__((format(printf, 5, 6))) void vlog(const debug_context *ctx, int cont, int category,
                                                uint32_t severity, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    debug_vlog(ctx, cont, category, severity, fmt, ap);
    va_end(ap);
}

std::string read_log(const std::string &path) {
    if (KVDebugConfig.logfile) fflush(KVDebugConfig.logfile);
    return kvtest::read_file(path);
}

} // namespace

TEST_F(DebugLogTest, InitSetsDefaultsAndEmptyStringsButKeepsLogFile) {
    for (int i = 0; i < KV_DEBUG_CATEGORIES; i++) {
        EXPECT_EQ(KVDebugConfig.filemask[i], 0x1fu) << i;
        EXPECT_EQ(KVDebugConfig.ringmask[i], 0x7fu) << i;
    }
    EXPECT_EQ(debugentry_inmem_max, 1024);
    EXPECT_EQ(debugentry_inmem_index, 0);
    for (int i = 0; i < debugentry_inmem_max; i++) {
        EXPECT_EQ(debugentry_inmem_list[i].severity, 0u);
        EXPECT_EQ(debugentry_inmem_list[i].text[0], '\0');
    }
    StderrCapture err;
    debug_set_file("");
    debug_printf(3, 8, "x\n");
    debug_exit();
    debug_init();
    EXPECT_EQ(KVDebugConfig.logfile, stderr);
    EXPECT_EQ(KVDebugConfig.filecount, 0u);
    EXPECT_EQ(KVDebugConfig.ringcount, 0u);
}

TEST_F(DebugLogTest, DefaultMasksRouteBySeverity) {
    StderrCapture err;
    debug_set_file("");
    debug_printf(3, 8, "error %d\n", 1);
    debug_printf(3, 64, "info\n");
    debug_printf(3, 128, "debug\n");
    EXPECT_EQ(debugentry_inmem_index, 2);
    EXPECT_STREQ(debugentry_inmem_list[0].text, "error 1\n");
    EXPECT_STREQ(debugentry_inmem_list[1].text, "info\n");
    EXPECT_EQ(KVDebugConfig.ringcount, 2u);
    EXPECT_EQ(KVDebugConfig.filecount, 1u);
    std::string out = err.text();
    EXPECT_EQ(out, stamp(debugentry_inmem_list[0]) + ": 3 00000008:error 1\n");
}

TEST_F(DebugLogTest, FilePrefixPadsMicrosecondsAndBlankFlagsCategory) {
    // Log in the early part of a second so that the microseconds need
    // leading zeros (tried again should the process be held up past it).
    for (int attempt = 0; attempt < 5; attempt++) {
        StderrCapture err;
        debug_init();
        debug_set_file("");
        struct timeval tv;
        do
            gettimeofday(&tv, nullptr);
        while (tv.tv_usec >= 50000);
        debug_printf(11, 8, "eleven\n");
        debug_printf(0, 16, "zero\n");
        debug_printf(63, 1, "last\n");
        const debugentry *s = debugentry_inmem_list;
        EXPECT_EQ(err.text(), stamp(s[0]) + ": 11 00000008:eleven\n" + stamp(s[1]) +
                                  ": 0 00000010:zero\n" + stamp(s[2]) + ": 63 00000001:last\n");
        if (s[0].usec < 100000) return;
    }
    ADD_FAILURE() << "never logged within the first 100 ms of a second";
}

TEST_F(DebugLogTest, CategoryOutOfRangeChangesNothing) {
    StderrCapture err;
    debug_set_file("");
    for (int cat : {64, -1, 1000, INT_MIN})
        debug_printf(cat, 1023, "dropped\n");
    EXPECT_EQ(debugentry_inmem_index, 0);
    EXPECT_EQ(KVDebugConfig.ringcount, 0u);
    EXPECT_EQ(KVDebugConfig.filecount, 0u);
    EXPECT_EQ(err.text(), "");
}

TEST_F(DebugLogTest, EnableSetsOneOrAllCategoriesOfItsTableOnly) {
    EXPECT_EQ(debug_enable(63, 512), 512u);
    EXPECT_EQ(KVDebugConfig.filemask[63], 512u);
    EXPECT_EQ(KVDebugConfig.filemask[62], 0x1fu);
    EXPECT_EQ(KVDebugConfig.ringmask[63], 0x7fu);
    EXPECT_EQ(debug_enable(uint32_t(-1), 0), 0u);
    for (uint32_t m : KVDebugConfig.filemask)
        EXPECT_EQ(m, 0u);
    EXPECT_EQ(debug_enable_inmem(64, 0x200), 0x200u);
    for (uint32_t m : KVDebugConfig.ringmask)
        EXPECT_EQ(m, 0x200u);
    EXPECT_EQ(debug_enable_inmem(5, 3), 3u);
    EXPECT_EQ(KVDebugConfig.ringmask[5], 3u);
    EXPECT_EQ(KVDebugConfig.ringmask[4], 0x200u);

    StderrCapture err;
    debug_set_file("");
    debug_printf(3, 8, "silenced in the file, refused by the ring\n");
    debug_printf(7, 512, "ring only\n");
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(debugentry_inmem_index, 1);
    EXPECT_EQ(debugentry_inmem_list[0].category, 7u);
}

TEST_F(DebugLogTest, RingWrapsAndOverwritesOldestSlot) {
    for (int i = 0; i < 1025; i++)
        debug_printf(3, 8, "m%d\n", i);
    EXPECT_EQ(debugentry_inmem_index, 1);
    EXPECT_EQ(KVDebugConfig.ringcount, 1025u);
    EXPECT_STREQ(debugentry_inmem_list[0].text, "m1024\n");
    EXPECT_STREQ(debugentry_inmem_list[1].text, "m1\n");
    EXPECT_STREQ(debugentry_inmem_list[1023].text, "m1023\n");
}

TEST_F(DebugLogTest, LongTextCutInRingButWholeInFile) {
    std::string path = tmp / "log";
    debug_set_file(path.c_str());
    std::string text(600, 'a');
    debug_printf(3, 8, "%s\n", text.c_str());
    EXPECT_EQ(strlen(debugentry_inmem_list[0].text), 511u);
    EXPECT_EQ(std::string(debugentry_inmem_list[0].text), text.substr(0, 511));
    std::string log = read_log(path);
    EXPECT_EQ(log.substr(log.find(':', log.find(' ') + 1) + 1), text + "\n");
}

TEST_F(DebugLogTest, ContinuationExtendsPreviousMessage) {
    std::string path = tmp / "log";
    debug_set_file(path.c_str());
    debug_printf(3, 8, "first part, ");
    debugentry &slot = debugentry_inmem_list[0];
    slot.sec = 12345; // a new stamp would overwrite this
    slot.usec = 42;
    std::string prefix = read_log(path);
    vlog(nullptr, 1, 3, 8, "second %s\n", "part");
    EXPECT_STREQ(slot.text, "first part, second part\n");
    EXPECT_EQ(slot.sec, 12345);
    EXPECT_EQ(slot.usec, 42);
    EXPECT_EQ(debugentry_inmem_index, 1);
    EXPECT_EQ(KVDebugConfig.ringcount, 2u);
    EXPECT_EQ(KVDebugConfig.filecount, 2u);
    EXPECT_EQ(read_log(path), prefix + "second part\n");

    // The continuation fills the slot to 511 characters and no further.
    debug_printf(3, 8, "%s", std::string(500, 'b').c_str());
    vlog(nullptr, 1, 3, 8, "%s", std::string(100, 'c').c_str());
    EXPECT_EQ(std::string(debugentry_inmem_list[1].text),
              std::string(500, 'b') + std::string(11, 'c'));
    vlog(nullptr, 1, 3, 8, "more");
    EXPECT_EQ(strlen(debugentry_inmem_list[1].text), 511u);
    EXPECT_EQ(debugentry_inmem_list[2].severity, 0u);
}

TEST_F(DebugLogTest, ContinuationWrapsBackwardsFromSlotZero) {
    auto cont = [](const char *text) { vlog(nullptr, 1, 3, 8, "%s", text); };
    // Before any message: the never-used last slot, a valid empty string.
    cont("orphan");
    EXPECT_STREQ(debugentry_inmem_list[1023].text, "orphan");
    EXPECT_EQ(debugentry_inmem_list[1023].severity, 0u);
    EXPECT_EQ(debugentry_inmem_index, 0);
    debug_init();
    for (int i = 0; i < 1024; i++)
        debug_printf(3, 8, "m%d", i);
    ASSERT_EQ(debugentry_inmem_index, 0);
    cont("+");
    EXPECT_STREQ(debugentry_inmem_list[1023].text, "m1023+");
    EXPECT_STREQ(debugentry_inmem_list[0].text, "m0");
    EXPECT_EQ(debugentry_inmem_index, 0);
}

TEST_F(DebugLogTest, ContextMasksReplaceGlobalOnesAndNameFollowsPrefix) {
    std::string path = tmp / "log";
    debug_set_file(path.c_str());
    struct Named {
        uint32_t id;
        char name[12];
    } object{7, "viewer"};
    void *objptr = &object;
    debug_context ctx{};
    ctx.filemask[3] = 128;
    ctx.ringmask[3] = 0;
    ctx.name_ref = &objptr;
    auto log = [](const debug_context *c, uint32_t sev, const char *text) {
        vlog(c, 0, 3, sev, "%s", text);
    };
    log(&ctx, 8, "refused by both\n");
    log(&ctx, 128, "named\n");
    objptr = nullptr;
    log(&ctx, 128, "object gone\n");
    ctx.name_ref = nullptr;
    log(&ctx, 128, "no reference\n");
    EXPECT_EQ(debugentry_inmem_index, 0);
    std::string out = read_log(path);
    EXPECT_NE(out.find(": 3 00000080:viewer:named\n"), std::string::npos) << out;
    EXPECT_NE(out.find(": 3 00000080:object gone\n"), std::string::npos) << out;
    EXPECT_NE(out.find(": 3 00000080:no reference\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("refused"), std::string::npos);
    EXPECT_EQ(KVDebugConfig.filecount, 3u);
}

TEST_F(DebugLogTest, SetFileAppendsClosesAndNeverClosesStderr) {
    int baseline = kvtest::open_fd_count();
    std::string a = tmp / "a", b = tmp / "b";
    kvtest::write_file(a, "old\n");
    EXPECT_EQ(debug_set_file(a.c_str()), 0);
    ASSERT_NE(KVDebugConfig.logfile, nullptr);
    int flags = fcntl(fileno(KVDebugConfig.logfile), F_GETFD);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    debug_printf(3, 8, "to a\n");
    EXPECT_EQ(debug_set_file(b.c_str()), 0);
    EXPECT_EQ(kvtest::open_fd_count(), baseline + 1);
    std::string log_a = kvtest::read_file(a);
    EXPECT_EQ(log_a.substr(0, 4), "old\n");
    EXPECT_TRUE(log_a.ends_with(" 3 00000008:to a\n")) << log_a;

    EXPECT_EQ(debug_set_file(""), 0);
    EXPECT_EQ(KVDebugConfig.logfile, stderr);
    EXPECT_EQ(kvtest::open_fd_count(), baseline);
    EXPECT_EQ(debug_set_file(nullptr), 0);
    EXPECT_EQ(KVDebugConfig.logfile, nullptr);
    EXPECT_NE(fcntl(2, F_GETFD), -1);
    EXPECT_EQ(fprintf(stderr, "%s", ""), 0);

    // A failing write still counts as written.
    ASSERT_EQ(debug_set_file("/dev/full"), 0);
    setvbuf(KVDebugConfig.logfile, nullptr, _IONBF, 0);
    EXPECT_LT(debug_printf(3, 8, "lost\n"), 0);
    EXPECT_EQ(KVDebugConfig.filecount, 2u);

    EXPECT_EQ(debug_set_file((tmp / "no/such/dir").c_str()), -1);
    EXPECT_EQ(KVDebugConfig.logfile, nullptr);
    debug_printf(3, 8, "ring only\n");
    EXPECT_EQ(KVDebugConfig.filecount, 2u);
    EXPECT_STREQ(newest_slot().text, "ring only\n");
}

TEST_F(DebugLogTest, EnvironmentFileVariable) {
    std::string path = tmp / "env.log";
    debug_set_file(nullptr);
    KVDebugReadEnvironment();
    EXPECT_EQ(KVDebugConfig.logfile, nullptr); // unset: untouched
    setenv("KUVRA_DEBUG_FILE", "", 1);
    KVDebugReadEnvironment();
    EXPECT_EQ(KVDebugConfig.logfile, stderr);
    setenv("KUVRA_DEBUG_FILE", path.c_str(), 1);
    KVDebugReadEnvironment();
    debug_printf(3, 8, "one\n");
    KVDebugReadEnvironment(); // reopened for appending, not truncated
    debug_printf(3, 8, "two\n");
    std::string log = read_log(path);
    EXPECT_NE(log.find("one\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 4), "two\n");
    EXPECT_NE(fcntl(2, F_GETFD), -1);
}

TEST_F(DebugLogTest, EnvironmentFlagsSetFileMasksOnly) {
    setenv("KUVRA_DEBUG_FLAGS", "3,0x1ff;5,16", 1);
    KVDebugReadEnvironment();
    EXPECT_EQ(KVDebugConfig.filemask[3], 0x1ffu);
    EXPECT_EQ(KVDebugConfig.filemask[5], 16u);
    EXPECT_EQ(KVDebugConfig.filemask[4], 0x1fu);
    for (uint32_t m : KVDebugConfig.ringmask)
        EXPECT_EQ(m, 0x7fu);

    setenv("KUVRA_DEBUG_FLAGS", "-1,0;5,16", 1);
    KVDebugReadEnvironment();
    for (int i = 0; i < KV_DEBUG_CATEGORIES; i++)
        EXPECT_EQ(KVDebugConfig.filemask[i], i == 5 ? 16u : 0u) << i;

    setenv("KUVRA_DEBUG_FLAGS", "7,1;x,2;9,4", 1);
    KVDebugReadEnvironment();
    EXPECT_EQ(KVDebugConfig.filemask[7], 1u);
    EXPECT_EQ(KVDebugConfig.filemask[9], 0u);

    setenv("KUVRA_DEBUG_FLAGS", "", 1);
    KVDebugReadEnvironment();
    EXPECT_EQ(KVDebugConfig.filemask[7], 1u);
}

TEST(DebugLogFlags, ParsesScanfIntegerNotation) {
    namespace dl = kuvra::debuglog;
    struct Case {
        const char *text;
        size_t used;
        uint32_t value;
    } cases[] = {
        {"42", 2, 42},
        {" \t 010", 6, 8},
        {"0x1F", 4, 31},
        {"0X1f,", 4, 31},
        {"-1", 2, 0xffffffffu},
        {"+7", 2, 7},
        {"0xffffffff", 10, 0xffffffffu},
        {"08", 1, 0},
        {"0x", 1, 0},
        {"0xg", 1, 0},
        {"", 0, 0},
        {"-", 0, 0},
        {"- 1", 0, 0},
        {"x1", 0, 0},
        {"4294967296", 0, 0},
        {"0x123456789", 0, 0},
    };
    for (const Case &c : cases) {
        uint32_t v = 12345;
        EXPECT_EQ(dl::parse_int(c.text, v), c.used) << c.text;
        if (c.used) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(DebugLogFlags, ListRulesAndStops) {
    namespace dl = kuvra::debuglog;
    uint32_t t[KV_DEBUG_CATEGORIES];
    auto run = [&](std::string_view text) {
        std::fill(std::begin(t), std::end(t), 0xeeu);
        return dl::apply_flags(text, t);
    };
    EXPECT_EQ(run(" 3, 8 junk ;4,9"), 2);
    EXPECT_EQ(t[3], 8u);
    EXPECT_EQ(t[4], 9u);
    EXPECT_EQ(run("3 ,8;4,9"), 0); // the comma must follow the number directly
    EXPECT_EQ(t[3], 0xeeu);
    EXPECT_EQ(run("3,8;"), 1);
    EXPECT_EQ(run("3,8;;4,9"), 1);
    EXPECT_EQ(run("3,8 4,9"), 1);
    EXPECT_EQ(t[4], 0xeeu);
    EXPECT_EQ(run("3,"), 0);
    EXPECT_EQ(run("3"), 0);
    EXPECT_EQ(run("100,2;1,1"), 2);
    EXPECT_EQ(t[0], 2u);
    EXPECT_EQ(t[1], 1u);
    EXPECT_EQ(t[63], 2u);
    EXPECT_EQ(run("99999999999,1;4,4"), 0);
    // A view is not read past its end: "3,12" seen as "3,1".
    const char text[] = "3,12";
    EXPECT_EQ(run(std::string_view(text, 3)), 1);
    EXPECT_EQ(t[3], 1u);
}

TEST_F(DebugLogTest, AfterExitStderrStillLogsButAFileIsClosed) {
    {
        StderrCapture err;
        debug_set_file("");
        debug_exit();
        EXPECT_EQ(debugentry_inmem_list, nullptr);
        EXPECT_EQ(debugentry_inmem_index, 0);
        EXPECT_EQ(debugentry_inmem_max, 0);
        EXPECT_EQ(KVDebugConfig.logfile, stderr);
        debug_printf(3, 8, "after exit\n");
        std::string out = err.text();
        EXPECT_TRUE(out.ends_with(": 3 00000008:after exit\n")) << out;
        EXPECT_EQ(KVDebugConfig.ringcount, 0u);
    }
    debug_init();
    StderrCapture err;
    int baseline = kvtest::open_fd_count();
    std::string path = tmp / "log";
    debug_set_file(path.c_str());
    debug_printf(3, 8, "before\n");
    debug_exit();
    EXPECT_EQ(KVDebugConfig.logfile, nullptr);
    EXPECT_EQ(kvtest::open_fd_count(), baseline);
    std::string before = kvtest::read_file(path);
    debug_printf(3, 8, "after\n");
    EXPECT_EQ(kvtest::read_file(path), before);
    EXPECT_EQ(err.text(), "");
}

TEST_F(DebugLogTest, LogFileIsPrivateAndTextCannotActOnTheTerminal) {
    // Created 0600 whatever the umask: the log holds input lines.
    mode_t mask = umask(0);
    std::string path = tmp / "new.log";
    ASSERT_EQ(debug_set_file(path.c_str()), 0);
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // Only a line feed that ends the text, and tabs, stay as they are.
    EXPECT_EQ(debug_printf(3, 8, "keyword: %s\n", "a\x1b[2Jb\rc\nd\te\x7f"), 35);
    debug_printf(3, 8, "%c%s", 0, std::string(2000, 'x').c_str());
    debug_set_file(nullptr);
    std::string log = kvtest::read_file(path);
    EXPECT_NE(log.find(":keyword: a\\x1B[2Jb\\x0Dc\\x0Ad\te\\x7F\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with(":\\x00" + std::string(2000, 'x'))) << log.size();

    // A link planted by another user is not followed, whether its target
    // exists or not; the user's own link is.
    std::string victim = tmp / "victim", planted = tmp / "planted", dangling = tmp / "dangling";
    kvtest::write_file(victim, "keep\n");
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(symlink((tmp / "made").c_str(), dangling.c_str()), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
        ASSERT_EQ(lchown(dangling.c_str(), 65534, 65534), 0);
        EXPECT_EQ(debug_set_file(planted.c_str()), -1);
        EXPECT_EQ(debug_set_file(dangling.c_str()), -1);
        debug_printf(3, 8, "secret\n");
        EXPECT_EQ(kvtest::read_file(victim), "keep\n");
        EXPECT_FALSE(std::filesystem::exists(tmp / "made"));
        ASSERT_EQ(lchown(planted.c_str(), geteuid(), getegid()), 0);
    }
    ASSERT_EQ(debug_set_file(planted.c_str()), 0);
    debug_printf(3, 8, "own link\n");
    debug_set_file(nullptr);
    EXPECT_TRUE(kvtest::read_file(victim).ends_with(":own link\n"));
}
