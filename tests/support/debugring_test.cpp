#include "debuglog_fixture.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <time.h>

namespace {

// Logs one message and gives its slot a known time stamp.
void add(int category, uint32_t severity, const char *text, int32_t sec, int32_t usec = 0) {
    debug_printf(category, severity, "%s", text);
    debugentry &e = debugentry_inmem_list[debugentry_inmem_index == 0 ? debugentry_inmem_max - 1
                                                                      : debugentry_inmem_index - 1];
    ASSERT_STREQ(e.text, text);
    e.sec = sec;
    e.usec = usec;
}

// KVDebugGetstrInmem as a string; "<null>" for a null result.
std::string get(int style, int count, int category, uint32_t severity,
                const debug_timeval *earliest = nullptr, const debug_timeval *latest = nullptr) {
    std::unique_ptr<char, decltype(&free)> s(
        KVDebugGetstrInmem(style, count, category, severity, earliest, latest), &free);
    return s ? std::string(s.get()) : "<null>";
}

// Everything debug_dump_inmem writes for a count, read back from a file.
std::string dump(int count) {
    FILE *f = tmpfile();
    EXPECT_EQ(debug_dump_inmem(fileno(f), count), 0);
    std::string out;
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;)
        out.push_back(char(c));
    fclose(f);
    return out;
}

class DebugRingTest : public DebugLogTest {
  protected:
    void SetUp() override {
        DebugLogTest::SetUp();
        debug_enable_inmem(uint32_t(-1), UINT32_MAX); // the ring takes every severity
        const char *tz = getenv("TZ");
        saved_tz_ = tz ? tz : "";
        had_tz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        DebugLogTest::TearDown();
    }
    std::string saved_tz_;
    bool had_tz_ = false;
};

// 1000000000 is 2001-09-09 01:46:40 UTC.
constexpr int32_t kT = 1000000000;

} // namespace

TEST_F(DebugRingTest, SelectsByCategoryAndSeverityOldestFirst) {
    add(3, 8, "a\n", 1000, 42);
    add(3, 64, "b\n", 1001, 7);
    add(11, 8, "c\n", 1002, 999999);
    const std::string a = "1000.000042: 3 00000008: a\n", b = "1001.000007: 3 00000040: b\n",
                      c = "1002.999999: 11 00000008: c\n";
    EXPECT_EQ(get(0, -1, 3, 8), a);
    EXPECT_EQ(get(0, -1, 3, 72), a + b);
    EXPECT_EQ(get(0, -1, -1, 8), a + c);
    EXPECT_EQ(get(0, 1, -1, 1023), c);
    EXPECT_EQ(get(0, 5000, -1, 1023), a + b + c);
    EXPECT_EQ(get(0, -1, 4, 1023), "<null>"); // no match is null, not ""
    EXPECT_EQ(get(0, 0, -1, 1023), "<null>");
    EXPECT_EQ(debugentry_inmem_index, 3);
}

TEST_F(DebugRingTest, CountKeepsTheNewestMatches) {
    for (int i = 0; i < 5; i++)
        add(3, 8, (std::string("m").append(std::to_string(i)) + "\n").c_str(), 2000 + i);
    add(3, 16, "other\n", 2010);
    EXPECT_EQ(get(0, 2, 3, 8), "2003.000000: 3 00000008: m3\n2004.000000: 3 00000008: m4\n");
}

TEST_F(DebugRingTest, TimeBoundsAreExclusiveAndSigned) {
    add(3, 8, "neg\n", -5, 0);
    add(3, 8, "x\n", 100, 10);
    add(3, 8, "y\n", 100, 20);
    add(3, 8, "z\n", 101, 0);
    // The message texts of the selected lines, run together.
    auto texts = [](const std::string &lines) {
        std::string t;
        for (size_t start = 0, end; (end = lines.find('\n', start)) != std::string::npos;
             start = end + 1) {
            size_t colon = lines.rfind(": ", end);
            t += lines.substr(colon + 2, end - colon - 2);
        }
        return t;
    };
    debug_timeval at_x{100, 10}, at_y{100, 20}, zero{0, 0}, y_less{100, 19}, y_more{100, 21};
    EXPECT_EQ(texts(get(0, -1, -1, 8, &at_x)), "yz");
    EXPECT_EQ(texts(get(0, -1, -1, 8, nullptr, &at_y)), "negx");
    EXPECT_EQ(get(0, -1, -1, 8, &at_x, &at_y), "<null>");
    EXPECT_EQ(texts(get(0, -1, -1, 8, &y_less, &y_more)), "y");
    EXPECT_EQ(texts(get(0, -1, -1, 8, nullptr, &zero)), "neg");
}

TEST_F(DebugRingTest, DatedStyleShowsLocalTimeAndPaddedLabels) {
    add(3, 8, "Unknown option.\n", kT, 42);
    add(12, 8 | 16, "b\n", kT + 61, 5);
    add(53, 1024, "c\n", kT + 3600, 0);
    EXPECT_EQ(get(1, -1, -1, UINT32_MAX),
              "2001-09-09 01:46:40.000042:LoadSave Error   : Unknown option.\n"
              "2001-09-09 01:47:41.000005:???      Error   : b\n"
              "2001-09-09 02:46:40.000000:Widget   ???     : c\n");
}

TEST_F(DebugRingTest, MarkedStyleExactBytes) {
    struct Case {
        uint32_t severity;
        const char *mark;
        const char *label;
    } cases[] = {
        {1, "\x03\xFF\x30\x30", "Panic   "},    {2, "\x03\xFF\x30\x30", "Alert   "},
        {4, "\x03\xFF\x30\x30", "Critical"},    {8 | 512, "\x03\xFF\x30\x30", "Error   "},
        {16, "\x03\xFF\xFF\x01", "Warning "},   {32 | 64, "\x03\xAF\xFF\xAF", "Notice  "},
        {64, "\x03\x3F\x3F\xAF", "Info    "},   {128, "\x03\x33\x33\x7F", "Debug   "},
        {256, "\x03\x33\x33\x7F", "Junk    "},  {512, "\x03\x33\x33\x7F", "Trace   "},
        {2048, "\x03\x33\x33\x7F", "???     "},
    };
    for (const Case &c : cases) {
        debug_init();
        debug_enable_inmem(uint32_t(-1), UINT32_MAX);
        add(2, c.severity, "t\n", kT, 1);
        EXPECT_EQ(get(2, -1, -1, UINT32_MAX), std::string(c.mark) +
                                                  "2001-09-09 01:46:40.000001:InitExit " + c.label +
                                                  ": t\n\x10&")
            << c.severity;
    }
}

TEST_F(DebugRingTest, UnknownStyleOrNoRingGivesNull) {
    add(3, 8, "a\n", 1);
    EXPECT_EQ(get(3, -1, -1, UINT32_MAX), "<null>");
    EXPECT_EQ(get(-1, -1, -1, UINT32_MAX), "<null>");
    EXPECT_NE(get(0, -1, -1, UINT32_MAX), "<null>");
    debug_exit();
    EXPECT_EQ(get(0, -1, -1, UINT32_MAX), "<null>");
    EXPECT_EQ(dump(-1), "");
}

TEST_F(DebugRingTest, DumpWritesRecentSlotsOldestFirst) {
    for (int i = 0; i < 10; i++)
        add(i, 8, (std::string("d").append(std::to_string(i)) + "\n").c_str(), 500 + i, i);
    EXPECT_EQ(dump(0), "");
    EXPECT_EQ(dump(2), "508.000008: 8 00000008: d8\n509.000009: 9 00000008: d9\n");
    std::string all = dump(20); // empty slots count towards the 20
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 10);
    EXPECT_EQ(all.substr(0, 27), "500.000000: 0 00000008: d0\n");
    EXPECT_EQ(dump(-1), all);
}

TEST_F(DebugRingTest, WrappedRingShowsOnlyTheLast1024) {
    for (int i = 0; i < 1030; i++)
        add(3, 8, (std::string("w").append(std::to_string(i)) + "\n").c_str(), 3000 + i);
    std::string d = dump(-1);
    EXPECT_EQ(std::count(d.begin(), d.end(), '\n'), 1024);
    EXPECT_EQ(d.substr(0, 28), "3006.000000: 3 00000008: w6\n");
    EXPECT_TRUE(d.ends_with(": w1029\n"));
    EXPECT_EQ(get(0, -1, -1, 8), d);
    EXPECT_EQ(get(0, 1, 3, 8), "4029.000000: 3 00000008: w1029\n");
}

TEST_F(DebugRingTest, DumpGivesUpOnAFullOrClosedDescriptor) {
    add(3, 8, "a\n", 1);
    add(3, 8, "b\n", 2);
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    char fill[4096] = {};
    while (write(p[1], fill, sizeof fill) > 0)
        ;
    EXPECT_EQ(debug_dump_inmem(p[1], -1), 0); // returns instead of spinning on EAGAIN
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(debug_dump_inmem(p[1], -1), 0);
}

TEST(DebugBitnames, TablesHaveTheirRowsInOrder) {
    const debug_bitname *r = debug_subsys_bitnames;
    int n = 0;
    while (r[n].name)
        n++;
    EXPECT_EQ(n, 30);
    EXPECT_EQ(r[n].value, 0u);
    EXPECT_STREQ(r[0].name, "Unknown");
    EXPECT_STREQ(r[3].name, "LoadSave");
    EXPECT_EQ(r[11].value, 11u);
    EXPECT_STREQ(r[12].name, "Macros");
    EXPECT_EQ(r[12].value, 20u);
    EXPECT_STREQ(r[15].name, "Expr.");
    EXPECT_STREQ(r[28].name, "Widget");
    EXPECT_EQ(r[28].value, 53u);
    EXPECT_STREQ(r[29].name, "All");
    EXPECT_EQ(r[29].value, uint32_t(-1));

    const debug_bitname *s = debug_severity_bitnames;
    const char *labels[] = {"Panic", "Alert", "Critical", "Error", "Errors", "Warning", "Notice",
                            "User",  "Info",  "Debug",    "Junk",  "Trace",  "All"};
    const uint32_t values[] = {1, 2, 4, 8, 15, 16, 32, 63, 64, 128, 256, 512, 1023};
    for (int i = 0; i < 13; i++) {
        EXPECT_STREQ(s[i].name, labels[i]);
        EXPECT_EQ(s[i].value, values[i]);
    }
    EXPECT_EQ(s[13].name, nullptr);
}
