#include <kuvra/fileutil.h>

#include "kvtest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A read stream over the given bytes.
struct MemStream {
    explicit MemStream(const std::string &bytes) : data(bytes) {
        f = fmemopen(data.data(), data.size(), "r");
    }
    ~MemStream() {
        if (f) fclose(f);
    }
    std::string data;
    FILE *f = nullptr;
};

using Reader = char *(*)(char *, int, FILE *);

// Every line a reader hands back until it says end of input.
std::vector<std::string> read_all(Reader reader, const std::string &bytes, int size = 10240) {
    MemStream in(bytes);
    std::vector<char> buf(size_t(size > 0 ? size : 1));
    std::vector<std::string> lines;
    while (reader(buf.data(), size, in.f)) {
        lines.emplace_back(buf.data());
        if (lines.size() > 100) // a reader that never reports the end
            break;
    }
    return lines;
}

using Lines = std::vector<std::string>;

} // namespace

TEST(FgetsKillcrnl, StripsLineEnds) {
    EXPECT_EQ(read_all(fgets_killcrnl, "one\r\ntwo\nthree"), (Lines{"one", "two", "three"}));
    EXPECT_EQ(read_all(fgets_killcrnl, "\n\r\n"), (Lines{"", ""}));
    EXPECT_EQ(read_all(fgets_killcrnl, ""), Lines{});
}

TEST(FgetsKillcrnl, CarriageReturnInsideEndsText) {
    EXPECT_EQ(read_all(fgets_killcrnl, "ab\rcd\nef\n"), (Lines{"ab", "ef"}));
    // Lone-CR line ends make one long line of which only the first part is kept.
    EXPECT_EQ(read_all(fgets_killcrnl, "a\rb\rc\r"), (Lines{"a"}));
}

TEST(FgetsKillcrnl, LongLineComesInPieces) {
    EXPECT_EQ(read_all(fgets_killcrnl, "abcdefg\nh\n", 4), (Lines{"abc", "def", "g", "h"}));
    // A line of exactly size-1 bytes leaves its LF for the next read, which
    // comes back as an empty piece.
    EXPECT_EQ(read_all(fgets_killcrnl, "abc\ndef\n", 4), (Lines{"abc", "", "def", ""}));
}

TEST(FgetsKillcrnl, BufferWithoutRoomReadsNothing) {
    MemStream in("abc\n");
    char buf[1] = {'X'};
    EXPECT_EQ(fgets_killcrnl(buf, 1, in.f), nullptr);
    EXPECT_EQ(fgets_killcrnl(buf, 0, in.f), nullptr);
    EXPECT_EQ(read_all(fgets_nocomment_noempty_killcrnl, "abc\n", 1), Lines{});
    // Nothing was consumed.
    char line[16];
    EXPECT_STREQ(fgets_killcrnl(line, sizeof line, in.f), "abc");
}

TEST(FgetsNocomment, PassesOverCommentsOnly) {
    const std::string text = "#x\n\ny\n";
    MemStream in(text);
    char buf[64];
    ASSERT_EQ(fgets_nocomment_killcrnl(buf, sizeof buf, in.f), buf);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(read_all(fgets_nocomment_killcrnl, "#a\r\n #b\n#c"), (Lines{" #b"}));
    EXPECT_EQ(read_all(fgets_nocomment_killcrnl, "#only\n#comments\n"), Lines{});
}

TEST(FgetsNocommentNoempty, PassesOverCommentsAndEmptyLines) {
    const std::string text = "#x\n\ny\n";
    MemStream in(text);
    char buf[64];
    ASSERT_EQ(fgets_nocomment_noempty_killcrnl(buf, sizeof buf, in.f), buf);
    EXPECT_STREQ(buf, "y");
    // A CR-only line is empty after cutting; a line of blanks is not.
    EXPECT_EQ(read_all(fgets_nocomment_noempty_killcrnl, "\r\n\n  \n#c\n\rz\nlast"),
              (Lines{"  ", "last"}));
}
