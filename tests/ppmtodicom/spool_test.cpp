// spool_to_tempfile and the list of spooled files.
#include "convtest.h"
#include "fields.h"
#include "kvtest.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <kuvra/internal/io.h>
#include <poll.h>
#include <set>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using convtest::CoreTest;
using convtest::pattern;

namespace {

FILE *stream_of(const std::string &bytes) {
    FILE *f = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    return f;
}

// Names of spool files created in /tmp while it watches.
class SpoolWatch {
  public:
    SpoolWatch() {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) inotify_add_watch(fd_, "/tmp", IN_CREATE);
    }
    ~SpoolWatch() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    std::set<std::string> created() {
        std::set<std::string> names;
        alignas(inotify_event) char buf[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
        ssize_t n;
        while ((n = read(fd_, buf, sizeof buf)) > 0) {
            for (char *p = buf; p < buf + n;) {
                auto *ev = reinterpret_cast<inotify_event *>(p);
                std::string name = ev->len ? ev->name : "";
                if (name.rfind(KV_SPOOL_PREFIX, 0) == 0) names.insert(KV_SPOOL_DIR "/" + name);
                p += sizeof(inotify_event) + ev->len;
            }
        }
        return names;
    }

  private:
    int fd_ = -1;
};

bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

} // namespace

class Spool : public CoreTest {};

TEST_F(Spool, CopiesExactlyTheCountAndLeavesTheStreamBehindIt) {
    std::string data = pattern(65536 * 2 + 5);
    FILE *in = stream_of(data + "TAIL");
    tdnode *a = spool_to_tempfile(in, 65536);
    tdnode *b = spool_to_tempfile(in, 65537);
    tdnode *c = spool_to_tempfile(in, 4);
    ASSERT_TRUE(a && b && c);
    char rest[8] = {};
    EXPECT_EQ(std::string(rest, fread(rest, 1, sizeof rest, in)), "TAIL");
    fclose(in);
    EXPECT_EQ(kvtest::read_file(a->name), data.substr(0, 65536));
    EXPECT_EQ(kvtest::read_file(b->name), data.substr(65536, 65537));
    EXPECT_EQ(kvtest::read_file(c->name), data.substr(131073, 4));
    EXPECT_EQ(std::string(a->name).rfind("/tmp/kuvra_ppmtodicom_", 0), 0u);
    EXPECT_EQ(strlen(a->name), strlen("/tmp/kuvra_ppmtodicom_") + 6);
    // Files are private to their owner.
    struct stat st;
    ASSERT_EQ(stat(a->name, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(tdroot, c);
    EXPECT_EQ(c->next, b);
    EXPECT_EQ(b->next, a);
}

// A stream on a pipe, holding bytes (fewer than a pipe buffer) and then the
// end of input.
FILE *pipe_stream_of(const std::string &bytes) {
    int p[2];
    if (pipe(p) != 0) return nullptr;
    if (write(p[1], bytes.data(), bytes.size()) != ssize_t(bytes.size())) return nullptr;
    close(p[1]);
    return fdopen(p[0], "r");
}

TEST_F(Spool, StreamsOnAPipeAreCopiedThroughTheBuffer) {
    // Regular files are read at the stream's position; a pipe goes through
    // stdio, which alone knows what it has read ahead.  Both must take
    // exactly the count from where the stream stands.
    std::string data = pattern(60000);
    FILE *in = pipe_stream_of("head\n" + data + "TAIL");
    ASSERT_NE(in, nullptr);
    char line[16];
    ASSERT_NE(fgets(line, sizeof line, in), nullptr);
    tdnode *a = spool_to_tempfile(in, 60000);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(kvtest::read_file(a->name), data);
    char rest[8] = {};
    EXPECT_EQ(std::string(rest, fread(rest, 1, sizeof rest, in)), "TAIL");
    fclose(in);
    in = pipe_stream_of(data);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(spool_to_tempfile(in, 60001), nullptr);
    fclose(in);
    EXPECT_EQ(convtest::logged(), std::vector<std::string>{"Ouch - rlen failure?\n"});
    EXPECT_EQ(tdroot, a);
}

TEST_F(Spool, FileStreamIsCopiedFromWhereStdioStands) {
    // stdio has read ahead of the lines taken: the copy must start at the
    // stream's position, not the descriptor's.
    std::string data = pattern(200000);
    FILE *in = stream_of("P6\n# comment\n" + data + "\nnext line\n");
    char line[32];
    ASSERT_NE(fgets(line, sizeof line, in), nullptr);
    ASSERT_NE(fgets(line, sizeof line, in), nullptr);
    tdnode *n = spool_to_tempfile(in, int32_t(data.size()));
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(kvtest::read_file(n->name) == data);
    ASSERT_NE(fgets(line, sizeof line, in), nullptr);
    EXPECT_STREQ(line, "\n");
    ASSERT_NE(fgets(line, sizeof line, in), nullptr);
    EXPECT_STREQ(line, "next line\n");
    fclose(in);
}

TEST_F(Spool, StreamsWithoutAFileCopyThroughTheBuffer) {
    // A memory stream has no descriptor, a pipe no file offset.
    std::string data = pattern(65536 * 3 + 9, 5);
    std::string bytes = data + "TAIL";
    FILE *mem = fmemopen(bytes.data(), bytes.size(), "rb");
    ASSERT_NE(mem, nullptr);
    tdnode *a = spool_to_tempfile(mem, 65537);
    tdnode *b = spool_to_tempfile(mem, int32_t(data.size() - 65537));
    ASSERT_TRUE(a && b);
    char rest[8] = {};
    EXPECT_EQ(std::string(rest, fread(rest, 1, sizeof rest, mem)), "TAIL");
    fclose(mem);
    EXPECT_TRUE(kvtest::read_file(a->name) + kvtest::read_file(b->name) == data);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::thread writer([&] {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t w = write(p[1], bytes.data() + off, bytes.size() - off);
            if (w <= 0) break;
            off += size_t(w);
        }
        close(p[1]);
    });
    FILE *pipe_in = fdopen(p[0], "rb");
    char line[8];
    tdnode *c = spool_to_tempfile(pipe_in, int32_t(data.size()));
    writer.join();
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(kvtest::read_file(c->name) == data);
    EXPECT_STREQ(fgets(line, sizeof line, pipe_in), "TAIL");
    // Short data on a pipe fails like on a file.
    EXPECT_EQ(spool_to_tempfile(pipe_in, 1), nullptr);
    fclose(pipe_in);
}

TEST_F(Spool, CountOfZeroOrLessGivesAnEmptyFileAndReadsNothing) {
    FILE *in = stream_of("abc");
    tdnode *z = spool_to_tempfile(in, 0);
    tdnode *n = spool_to_tempfile(in, -7);
    ASSERT_TRUE(z && n);
    EXPECT_EQ(kvtest::read_file(z->name), "");
    EXPECT_EQ(kvtest::read_file(n->name), "");
    EXPECT_EQ(fgetc(in), 'a');
    fclose(in);
}

TEST_F(Spool, FailedCopyIsRemovedAtOnceAndNotListed) {
    SpoolWatch watch;
    ASSERT_TRUE(watch.ok());
    FILE *in = stream_of(pattern(70000));
    tdnode *ok = spool_to_tempfile(in, 1000);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(spool_to_tempfile(in, 100000), nullptr);
    fclose(in);
    EXPECT_EQ(convtest::logged(), std::vector<std::string>{"Ouch - rlen failure?\n"});
    // Other processes (tests run in parallel) may spool into /tmp meanwhile:
    // of the names created, ours is kept and the failed copy's is gone.
    auto created = watch.created();
    EXPECT_EQ(created.count(ok->name), 1u);
    EXPECT_TRUE(exists(ok->name));
    int gone = 0;
    for (const auto &name : created)
        gone += name != ok->name && !exists(name);
    EXPECT_GE(gone, 1);
    EXPECT_EQ(tdroot, ok);
    EXPECT_EQ(ok->next, nullptr);
}

TEST_F(Spool, WriteFailureIsReported) {
    // A file size limit below the count makes the write come up short.
    FILE *in = stream_of(pattern(5000));
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
    lim.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &lim);
    tdnode *n = spool_to_tempfile(in, 5000);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    fclose(in);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(convtest::logged(), std::vector<std::string>{"Ouch - wlen failure?\n"});
    EXPECT_EQ(tdroot, nullptr);
}

TEST_F(Spool, RemoveAllDeletesEveryFileAndForgetKeepsThem) {
    FILE *in = stream_of("abcdef");
    std::string a = spool_to_tempfile(in, 3)->name;
    std::string b = spool_to_tempfile(in, 3)->name;
    tdroot_remove_all();
    EXPECT_EQ(tdroot, nullptr);
    EXPECT_FALSE(exists(a));
    EXPECT_FALSE(exists(b));
    rewind(in);
    std::string c = spool_to_tempfile(in, 6)->name;
    fclose(in);
    tdroot_forget_all();
    EXPECT_EQ(tdroot, nullptr);
    EXPECT_EQ(kvtest::read_file(c), "abcdef");
    unlink(c.c_str());
}

// A reader of a descriptor holds bytes read ahead of its lines: the spooler
// takes those first and the rest from the descriptor (moved by the kernel),
// and the lines go on right behind the data, on a pipe as on a file, with
// the data shorter, as long as or longer than what the reader holds.
TEST_F(Spool, ReaderOfADescriptorHandsItsBytesOverAndGoesOnBehind) {
    for (size_t size : {size_t(10), size_t(65536 - 5), size_t(300000)}) {
        const std::string data = pattern(size, 3);
        const std::string bytes = "head\n" + data + "\nTAIL\n";
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        std::thread writer([&] {
            kuvra::internal::write_fully(p[1], bytes.data(), bytes.size());
            close(p[1]);
        });
        FILE *file = stream_of(bytes);
        for (int fd : {p[0], fileno(file)}) {
            kuvra_convert::LineReader lines(fd);
            ASSERT_TRUE(lines.next());
            EXPECT_EQ(lines.text(), "head");
            tdnode *n = kuvra_convert::spool_lines_data(lines, int32_t(size));
            ASSERT_NE(n, nullptr) << size;
            EXPECT_TRUE(kvtest::read_file(n->name) == data) << size;
            ASSERT_TRUE(lines.next());
            EXPECT_EQ(lines.text(), "");
            ASSERT_TRUE(lines.next());
            EXPECT_EQ(lines.text(), "TAIL");
            EXPECT_FALSE(lines.next());
            EXPECT_EQ(kuvra_convert::spool_lines_data(lines, 1), nullptr);
        }
        writer.join();
        close(p[0]);
        fclose(file);
    }
    EXPECT_EQ(convtest::logged(), std::vector<std::string>(6, "Ouch - rlen failure?\n"));

    // Lines as the stream reader cuts them: one too long to hold, kept to
    // max_line bytes and marked; CR LF ends; the last line without a feed.
    const size_t max = kuvra_convert::LineReader::max_line;
    FILE *f = stream_of(std::string(max, 'a') + "\r\n" + std::string(max + 3, 'b') + "\nx\r\ny");
    kuvra_convert::LineReader lines(fileno(f));
    ASSERT_TRUE(lines.next());
    EXPECT_EQ(lines.text().size(), max);
    EXPECT_FALSE(lines.too_long());
    ASSERT_TRUE(lines.next());
    EXPECT_TRUE(lines.too_long());
    EXPECT_EQ(lines.text(), std::string(max, 'b'));
    ASSERT_TRUE(lines.next());
    EXPECT_EQ(lines.text(), "x");
    ASSERT_TRUE(lines.next());
    EXPECT_EQ(lines.text(), "y");
    EXPECT_FALSE(lines.next());
    fclose(f);
}
