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

namespace {

// What write_comment_maxlen writes, and its result.
std::pair<int, std::string> comment(int maxlen, const char *prefix, const char *key,
                                    const char *value) {
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    int r = write_comment_maxlen(f, maxlen, prefix, key, value);
    fclose(f);
    std::string s(text, len);
    free(text);
    return {r, s};
}

using Written = std::pair<int, std::string>;

// Reads a whole stream.
std::string slurp(FILE *f) {
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

// Runs the test body with the working directory set to dir.
class InDir {
  public:
    explicit InDir(const std::filesystem::path &dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDir() { std::filesystem::current_path(old_); }

  private:
    std::filesystem::path old_;
};

kvtest::RunOptions in_dir(const std::filesystem::path &dir) {
    kvtest::RunOptions o;
    o.cwd = dir;
    return o;
}

const std::string payload = [] {
    std::string s;
    for (int i = 0; i < 5000; i++)
        s += char(i * 7 % 256);
    return s;
}();

} // namespace

TEST(WriteCommentMaxlen, ShortValueOneLine) {
    EXPECT_EQ(comment(10, "#", "key", "0123456789"), (Written{0, "#key:\t0123456789\n"}));
    EXPECT_EQ(comment(4, "#", "key", ""), (Written{0, "#key:\t\n"}));
    EXPECT_EQ(comment(4, "", "k", "v"), (Written{0, "k:\tv\n"}));
}

TEST(WriteCommentMaxlen, LongValueSplitIntoContinuationLines) {
    EXPECT_EQ(comment(4, "#", "key", "0123456789"),
              (Written{0, "#key:\t0123\n#+key:\t4567\n#+key:\t89\n"}));
    // A length that is a multiple of maxlen gives no empty last chunk.
    EXPECT_EQ(comment(5, "#", "k", "0123456789"), (Written{0, "#k:\t01234\n#+k:\t56789\n"}));
    EXPECT_EQ(comment(1, "##", "k", "ab"), (Written{0, "##k:\ta\n##+k:\tb\n"}));
    // Bytes, not characters: a two-byte character may be split.
    EXPECT_EQ(comment(1, "#", "k", "\xc3\xa9"), (Written{0, "#k:\t\xc3\n#+k:\t\xa9\n"}));
}

TEST(WriteCommentMaxlen, KeyOrValueAlone) {
    EXPECT_EQ(comment(4, "#", "justkey", nullptr), (Written{0, "#justkey\n"}));
    EXPECT_EQ(comment(4, "#", nullptr, "a long value"), (Written{0, "#a long value\n"}));
    EXPECT_EQ(comment(4, "#", nullptr, nullptr), (Written{1, ""}));
}

TEST(WriteCommentMaxlen, NonPositiveMaxlenDoesNotLoop) {
    EXPECT_EQ(comment(0, "#", "k", "abc"), (Written{0, "#k:\tabc\n"}));
    EXPECT_EQ(comment(-3, "#", "k", "abc"), (Written{0, "#k:\tabc\n"}));
}

TEST(FileioOpen, SuffixDecidesPipeOrPlain) {
    kvtest::TempDir t;
    InDir in(t.path());
    struct Case {
        const char *name;
        int is_pipe;
    } cases[] = {
        {"a.gz", 1},  {"a.bz2", 1}, {"a.GZ", 0}, {"a.gz.txt", 0}, {".gz", 0},     {".bz2", 0},
        {"a.BZ2", 0}, {"x.gz", 1},  {"agz", 0},  {"a.bz", 0},     {"dir/.gz", 1},
    };
    std::filesystem::create_directory("dir");
    for (const Case &c : cases) {
        int flag = 7;
        FILE *f = fileio_fopensavefile(c.name, &flag);
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(flag, c.is_pipe) << c.name;
        fputs("hello\n", f);
        if (flag)
            EXPECT_EQ(pclose(f), 0) << c.name;
        else
            EXPECT_EQ(fclose(f), 0) << c.name;
        // A plain file holds the bytes as written; a piped one is compressed.
        std::string stored = kvtest::read_file(c.name);
        EXPECT_EQ(stored == "hello\n", c.is_pipe == 0) << c.name;

        flag = 7;
        f = fileio_fopenloadfile(c.name, &flag);
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(flag, c.is_pipe) << c.name;
        EXPECT_EQ(slurp(f), "hello\n") << c.name;
        EXPECT_EQ(flag ? pclose(f) : fclose(f), 0) << c.name;
    }
}

TEST(FileioOpen, ReadsFilesMadeByTheRealCompressors) {
    kvtest::TempDir t;
    kvtest::write_file(t / "data", payload);
    ASSERT_EQ(
        kvtest::sh("gzip -c data >data.gz && bzip2 -c data >data.bz2", in_dir(t.path())).status, 0);
    for (const char *name : {"data.gz", "data.bz2"}) {
        int flag = 0;
        FILE *f = fileio_fopenloadfile((t / name).c_str(), &flag);
        ASSERT_NE(f, nullptr) << name;
        EXPECT_EQ(flag, 1);
        EXPECT_EQ(slurp(f), payload) << name;
        EXPECT_EQ(pclose(f), 0) << name;
    }
}

TEST(FileioOpen, WritesFilesTheRealCompressorsRead) {
    kvtest::TempDir t;
    for (const char *name : {"out.gz", "out.bz2"}) {
        int flag = 0;
        FILE *f = fileio_fopensavefile((t / name).c_str(), &flag);
        ASSERT_NE(f, nullptr) << name;
        EXPECT_EQ(flag, 1);
        fwrite(payload.data(), 1, payload.size(), f);
        EXPECT_EQ(pclose(f), 0) << name;
    }
    auto gz = kvtest::sh("gzip -dc out.gz", in_dir(t.path()));
    EXPECT_EQ(gz.status, 0);
    EXPECT_EQ(gz.out, payload);
    auto bz = kvtest::sh("bzip2 -dc out.bz2", in_dir(t.path()));
    EXPECT_EQ(bz.status, 0);
    EXPECT_EQ(bz.out, payload);
    // Written at the fastest level: gzip records it in the header's flags byte.
    std::string header = kvtest::read_file(t / "out.gz");
    ASSERT_GE(header.size(), 10u);
    EXPECT_EQ(header[8], '\x04');
}

TEST(FileioOpen, SaveTruncatesAPlainFile) {
    kvtest::TempDir t;
    kvtest::write_file(t / "p", "old contents that are long");
    int flag = 1;
    FILE *f = fileio_fopensavefile((t / "p").c_str(), &flag);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flag, 0);
    fputs("new", f);
    fclose(f);
    EXPECT_EQ(kvtest::read_file(t / "p"), "new");
}

TEST(FileioOpen, FailuresKeepTheFlagValid) {
    kvtest::TempDir t;
    int flag = 7;
    EXPECT_EQ(fileio_fopenloadfile((t / "missing").c_str(), &flag), nullptr);
    EXPECT_EQ(flag, 0);
    flag = 7;
    EXPECT_EQ(fileio_fopensavefile((t / "nodir/x").c_str(), &flag), nullptr);
    EXPECT_EQ(flag, 0);
    // A missing compressed file: the pipe opens and ends at once, the close fails.
    flag = 7;
    testing::internal::CaptureStderr(); // the shell complains about the name
    FILE *f = fileio_fopenloadfile((t / "missing.gz").c_str(), &flag);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(slurp(f), "");
    EXPECT_NE(pclose(f), 0);
    testing::internal::GetCapturedStderr();
}

TEST(FileioOpen, UnquotableCompressedNamesAreRefused) {
    kvtest::TempDir t;
    InDir in(t.path());
    // Were the name put into the command, the shell would run the touch.
    const char *evil = "x'; touch pwned; echo '.gz";
    int flag = 7;
    EXPECT_EQ(fileio_fopensavefile(evil, &flag), nullptr);
    EXPECT_EQ(flag, 0);
    flag = 7;
    EXPECT_EQ(fileio_fopenloadfile(evil, &flag), nullptr);
    EXPECT_EQ(flag, 0);
    flag = 7;
    EXPECT_EQ(fileio_fopenloadfile("it's.bz2", &flag), nullptr);
    EXPECT_EQ(flag, 0);
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    EXPECT_TRUE(kvtest::list_dir(".", "").empty());

    // A plain name with a quote opens as usual.
    FILE *f = fileio_fopensavefile("it's.txt", &flag);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flag, 0);
    fclose(f);
    EXPECT_TRUE(std::filesystem::exists("it's.txt"));
}

TEST(FileioOpen, ShellCharactersInsideQuotesAreLiteral) {
    kvtest::TempDir t;
    InDir in(t.path());
    const char *name = "a $HOME `b` \"c\" ; d.gz";
    int flag = 0;
    FILE *f = fileio_fopensavefile(name, &flag);
    ASSERT_NE(f, nullptr);
    fputs("quoted\n", f);
    EXPECT_EQ(pclose(f), 0);
    EXPECT_EQ(kvtest::list_dir(".", ""), std::vector<std::string>{name});
    f = fileio_fopenloadfile(name, &flag);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(slurp(f), "quoted\n");
    EXPECT_EQ(pclose(f), 0);
}

TEST(FileioOpen, CompressedNameLengthLimit) {
    kvtest::TempDir t;
    // A real path of exactly 1,000 characters, in components below the
    // file-name limit.
    std::string dir = t.path().string();
    while (dir.size() < 1000 - 110)
        dir += "/" + std::string(100, 'd');
    std::filesystem::create_directories(dir);
    std::string name = dir + "/" + std::string(1000 - dir.size() - 1 - 3, 'n') + ".gz";
    ASSERT_EQ(name.size(), 1000u);
    int flag = 0;
    FILE *f = fileio_fopensavefile(name.c_str(), &flag);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flag, 1);
    fputs("long\n", f);
    EXPECT_EQ(pclose(f), 0);
    f = fileio_fopenloadfile(name.c_str(), &flag);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(slurp(f), "long\n");
    EXPECT_EQ(pclose(f), 0);

    std::string longer = dir + "/" + std::string(1000 - dir.size() - 3, 'n') + ".gz";
    ASSERT_EQ(longer.size(), 1001u);
    flag = 7;
    EXPECT_EQ(fileio_fopensavefile(longer.c_str(), &flag), nullptr);
    EXPECT_EQ(flag, 0);
    EXPECT_FALSE(std::filesystem::exists(longer));
    flag = 7;
    EXPECT_EQ(fileio_fopenloadfile(longer.c_str(), &flag), nullptr);
    EXPECT_EQ(flag, 0);
}

TEST(FileioOpen, PipeIsNotInheritedByOtherChildren) {
    kvtest::TempDir t;
    int flag = 0;
    FILE *f = fileio_fopensavefile((t / "x.gz").c_str(), &flag);
    ASSERT_NE(f, nullptr);
    // An inherited write end would keep gzip waiting for the end of input
    // for as long as the other child lives.
    EXPECT_NE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(pclose(f), 0);
}
