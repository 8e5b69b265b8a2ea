#include <kuvra/filetype.h>

#include "kvtest.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::string_literals;

namespace {

struct Sniffed {
    int code;
    int count;
    std::string held; // the first count bytes of the buffer
    std::string rest; // what the descriptor still delivers afterwards
};

// Feeds bytes through a pipe (so that nothing can be re-read by seeking) and
// sniffs it with a buffer of the given capacity.
Sniffed sniff(const std::string &bytes, int capacity = KV_SNIFF_BUFSIZE) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(p[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(p[1]);
    // Exactly the capacity, on the heap, so that the sanitizer build sees any
    // write past it.
    auto buf = std::make_unique<char[]>(size_t(std::max(capacity, 1)));
    Sniffed s{};
    s.count = capacity;
    s.code = getmagic_fromfd_tomem(p[0], buf.get(), &s.count);
    s.held.assign(buf.get(), size_t(std::max(s.count, 0)));
    char chunk[4096];
    ssize_t n;
    while ((n = read(p[0], chunk, sizeof chunk)) > 0)
        s.rest.append(chunk, size_t(n));
    close(p[0]);
    return s;
}

struct Row {
    int code;
    std::string bytes; // the shortest stream that yields code
};

std::string dicom_preamble(const std::string &start) {
    std::string s(128, '\0');
    s.replace(0, start.size(), start);
    return s + "DICM";
}

// Analyze 7.5 header: little-endian size 348, 3 dimensions of 64x64x32,
// data type 4.
std::string analyze_header() {
    std::string h(148, '\0');
    h[0] = '\x5C', h[1] = '\x01';
    h[40] = 3;
    h[42] = 64, h[44] = 64, h[46] = 32;
    h[70] = 4;
    return h;
}

// NIfTI-1 header that no earlier test takes: neither "r" at 38 nor 5C 01 at 0.
std::string nifti_header(char variant = '+') {
    std::string h(348, '\0');
    h[42] = 64, h[44] = 64, h[46] = 32;
    h.replace(344, 4, "n"s + variant + "1" + '\0');
    return h;
}

const std::vector<Row> &rows() {
    static const std::vector<Row> r = {
        {2, "\x1F\x8B"},
        {3, "\x1F\x9D"},
        {4, "BZh"},
        {5, "16HL"},
        {6, "3D32"},
        {7, "P4\n"},
        {8, "P5\n"},
        {9, "P6\n"},
        {10, dicom_preamble("")},
        {11, "\x89PNG"},
        {12, "\xFF\xD8"},
        {13, "mXnD32"},
        {14, "CLASS8"},
        {15, "II"},
        {15, "MM"},
        {16, "KUVRA_TSA\n"},
        {17, "GREY16\n"},
        {18, "quillsmith"},
        {19, "KUVRA_MSA\n"},
        {20, "KUVRA_RFD\n"},
        {21, "KUVRA_PFL\n"},
        {22, "ObjectType = Image\n"},
        {23, "GIF8"},
        {24, "KUVRA_FST\n"},
        {25, "3D-RA"},
        {26, analyze_header()},
        {26, nifti_header('+')},
        {26, nifti_header('i')},
        {27, "3D CLIP FILE"},
        {28, "Data Block: Type 84"},
        {30, "\x30\x26\xB2\x75"},
        {31, "\0\0\x01\xBA"s},
        {31, "\0\0\x01\xBB"s},
        {32, "\0\0\0\x18"
             "ftypisom"s},
        {32, "\0\0\0\x18"
             "ftypiso2"s},
        {32, "\0\0\0\x18"
             "ftypmp41"s},
        {32, "\0\0\0\x18"
             "ftypmmp4"s},
        {33, "OggS"},
        {34, "\0\0\x01\xB3"s},
        {35, "%PDF-"},
        {36, "nD32"},
        {37, "\x5D\0\0"s},
    };
    return r;
}

} // namespace

TEST(MagicTable, NamesAndLookupBothWays) {
    std::set<std::string> seen;
    for (int code = 0; code < KV_MAGIC_COUNT; ++code) {
        ASSERT_NE(magictomime(code), nullptr) << code;
        EXPECT_TRUE(seen.insert(magictomime(code)).second) << "duplicate name at " << code;
        EXPECT_EQ(mimetomagic(magictomime(code)), code);
    }
    EXPECT_STREQ(magictomime(26), "application/x-analyze-75");
    EXPECT_STREQ(magictomime(29), "application/x-kuvra-image-comments");
    EXPECT_STREQ(magictomime(37), "application/x-lzma");
    for (int bad : {-1, 38, 1000, INT32_MIN})
        EXPECT_STREQ(magictomime(bad), "x-unknown/x-unknown") << bad;
}

TEST(MagicTable, MimeLookupIgnoresCaseButNotLength) {
    EXPECT_EQ(mimetomagic("IMAGE/PNG"), 11);
    EXPECT_EQ(mimetomagic("X-Error/X-ERROR"), 0);
    EXPECT_EQ(mimetomagic("application/X-KUVRA-IMAGE-COMMENTS"), 29);
    for (const char *name : {"image/pn", "image/png ", "image/pngx", "", "text/plain"})
        EXPECT_EQ(mimetomagic(name), 1) << name;
    EXPECT_EQ(mimetomagic(nullptr), 1);
}

TEST(Sniffer, EveryRowFromItsShortestStream) {
    for (const Row &r : rows()) {
        SCOPED_TRACE("code " + std::to_string(r.code));
        Sniffed exact = sniff(r.bytes);
        EXPECT_EQ(exact.code, r.code);
        EXPECT_EQ(exact.count, int(r.bytes.size()));
        EXPECT_EQ(exact.held, r.bytes);
        // With more data behind, the sniffer still stops at the deciding step
        // and leaves the rest in the stream.
        Sniffed longer = sniff(r.bytes + std::string(400, 'x'));
        EXPECT_EQ(longer.code, r.code);
        EXPECT_EQ(longer.count, int(r.bytes.size()));
        EXPECT_EQ(longer.rest, std::string(400, 'x'));
        // One byte short is too few to decide.
        Sniffed cut = sniff(r.bytes.substr(0, r.bytes.size() - 1));
        EXPECT_EQ(cut.code, 1);
        EXPECT_EQ(cut.count, int(r.bytes.size()) - 1);
    }
}

TEST(Sniffer, EmptyShortAndUnknownStreams) {
    Sniffed empty = sniff("");
    EXPECT_EQ(empty.code, 1);
    EXPECT_EQ(empty.count, 0);
    Sniffed one = sniff("\x1F");
    EXPECT_EQ(one.code, 1);
    EXPECT_EQ(one.count, 1);
    // A near miss in every step: read through to the last step.
    Sniffed unknown = sniff(std::string(1000, 'x'));
    EXPECT_EQ(unknown.code, 1);
    EXPECT_EQ(unknown.count, 348);
    EXPECT_EQ(unknown.rest.size(), 652u);
    // Line ends are part of the PNM and GREY16 magics.
    EXPECT_EQ(sniff("P5 64 64\n").code, 1);
    EXPECT_EQ(sniff("P5\r\n64 64\n").code, 1);
    EXPECT_EQ(sniff("GREY16 \n" + std::string(400, 'x')).code, 1);
    EXPECT_EQ(sniff("3D32\n").code, 6);
    EXPECT_EQ(sniff("quillsmith\n").code, 18);
    EXPECT_EQ(sniff("BZ").code, 1);
}

TEST(Sniffer, CapacityLimitsTheSteps) {
    Sniffed nine = sniff("KUVRA_FST\nrest", 9);
    EXPECT_EQ(nine.code, 1);
    EXPECT_EQ(nine.count, 7);
    EXPECT_EQ(nine.rest, "ST\nrest");
    Sniffed ten = sniff("KUVRA_FST\nrest", 10);
    EXPECT_EQ(ten.code, 24);
    EXPECT_EQ(ten.count, 10);
    for (int tiny : {1, 0, -5}) {
        Sniffed s = sniff("\x1F\x8B", tiny);
        EXPECT_EQ(s.code, 1) << tiny;
        EXPECT_EQ(s.count, 0) << tiny;
        EXPECT_EQ(s.rest, "\x1F\x8B") << "nothing may be read with capacity " << tiny;
    }
    EXPECT_EQ(sniff("\x1F\x8B", 2).code, 2);
    const std::string dicom = dicom_preamble("") + "tail";
    Sniffed below = sniff(dicom, 131);
    EXPECT_EQ(below.code, 1);
    EXPECT_EQ(below.count, 19);
    EXPECT_EQ(sniff(dicom, 132).code, 10);
    EXPECT_EQ(sniff(nifti_header(), 347).count, 148);
    EXPECT_EQ(sniff(nifti_header(), 348).code, 26);
}

TEST(Sniffer, DicomPreambleAndPlacement) {
    // Step 1 decides before the DICOM marker is reached.
    EXPECT_EQ(sniff(dicom_preamble("II*")).code, 15);
    EXPECT_EQ(sniff(dicom_preamble("MM")).count, 2);
    EXPECT_EQ(sniff(dicom_preamble("P5\n")).code, 8);
    // "DICM" anywhere but at 128, or a stream too short to reach it.
    EXPECT_EQ(sniff("xxxxDICM" + std::string(200, 'x')).code, 1);
    EXPECT_EQ(sniff(std::string(100, 'x') + "DICM").code, 1);
    std::string late(129, 'x');
    EXPECT_EQ(sniff(late + "DICM" + std::string(300, 'x')).code, 1);
    EXPECT_EQ(sniff("\0\0\0\x18"
                    "ftypqt  "s +
                    std::string(400, 'x'))
                  .code,
              1);
}

TEST(Sniffer, AnalyzeHeaderTest) {
    auto code_of = [](std::string h) { return sniff(h).code; };
    std::string h = analyze_header();
    std::string r = h;
    r[0] = r[1] = 0, r[38] = 'r';
    EXPECT_EQ(code_of(r), 26);
    for (int dims : {3, 4}) {
        std::string d = h;
        d[40] = char(dims);
        EXPECT_EQ(code_of(d), 26) << dims;
    }
    for (int dtype : {0, 1, 2, 8, 16, 32, 64, 128}) {
        std::string t = h;
        t[70] = char(dtype);
        EXPECT_EQ(code_of(t), 26) << dtype;
    }
    // Sizes stored most significant byte first pass too.
    std::string be = h;
    be[42] = 0, be[43] = 64, be[44] = 0, be[45] = 64, be[46] = 0, be[47] = 32;
    EXPECT_EQ(code_of(be), 26);
    // High bytes 0x80..0xFF are negative, hence small.
    std::string neg = h;
    neg[42] = 64, neg[43] = '\x80', neg[45] = '\xFF';
    EXPECT_EQ(code_of(neg), 26);
    std::string edge = h;
    edge[43] = 16, edge[45] = 16, edge[47] = 16, edge[42] = 17;
    EXPECT_EQ(code_of(edge), 26);

    struct Fault {
        const char *why;
        int at;
        char value;
    };
    for (Fault f : std::initializer_list<Fault>{{"size 0x015D", 0, '\x5D'},
                                                {"size 0x025C", 1, 2},
                                                {"dims stored big-endian", 40, 0},
                                                {"dims 5", 40, 5},
                                                {"dims high byte", 41, 1},
                                                {"data type 3", 70, 3},
                                                {"data type 255", 70, '\xFF'},
                                                {"data type high byte", 71, 1},
                                                {"one size large in both orders", 43, 17}}) {
        std::string bad = h;
        bad[size_t(f.at)] = f.value;
        if (f.at == 43) bad[42] = 17; // 42, 44, 46 no longer all small either
        // Without NIfTI bytes the later step fails as well: 1 after 348 bytes.
        Sniffed s = sniff(bad + std::string(300, '\0'));
        EXPECT_EQ(s.code, 1) << f.why;
        EXPECT_EQ(s.count, 348) << f.why;
    }
    // Mixed orders: 43 small but 47 large, and 44 large: no order holds.
    std::string mixed = h;
    mixed[47] = 40, mixed[44] = 40;
    EXPECT_EQ(code_of(mixed), 1);
    // Big-endian reading: 42 and 44 small, 46 not.
    std::string third = be;
    third[46] = 17, third[47] = 17;
    EXPECT_EQ(code_of(third), 1);
}

TEST(Sniffer, NiftiHeaderTest) {
    EXPECT_EQ(sniff(nifti_header()).count, 348);
    for (auto [at, value] : std::initializer_list<std::pair<int, char>>{
             {344, 'N'}, {345, '-'}, {346, '2'}, {347, 'x'}}) {
        std::string bad = nifti_header();
        bad[size_t(at)] = value;
        EXPECT_EQ(sniff(bad).code, 1) << at;
    }
    std::string large = nifti_header();
    large[42] = large[43] = 64;
    EXPECT_EQ(sniff(large).code, 1);
    // Bytes 38..41 and 70..71 do not matter to the NIfTI test.
    std::string odd = nifti_header();
    odd[40] = 9, odd[41] = 9, odd[70] = 3, odd[71] = 7;
    EXPECT_EQ(sniff(odd).code, 26);
}

// Readers that deliver in pieces or fail part-way.
TEST(SnifferReads, TricklingPipeIsReadToTheFullStep) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::thread writer([w = p[1]] {
        for (char c : "KUVRA_FST\nmore"s) {
            ASSERT_EQ(write(w, &c, 1), 1);
            usleep(2000);
        }
        close(w);
    });
    char buf[KV_SNIFF_BUFSIZE];
    int count = sizeof buf;
    EXPECT_EQ(getmagic_fromfd_tomem(p[0], buf, &count), 24);
    EXPECT_EQ(count, 10);
    writer.join();
    char rest[8];
    EXPECT_EQ(read(p[0], rest, sizeof rest), 4);
    close(p[0]);
}

namespace {
void on_sigusr1(int) {}
} // namespace

TEST(SnifferReads, InterruptedReadIsNotAnError) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_sigusr1; // no SA_RESTART: a blocked read fails with EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "KUVRA_F", 7), 7);
    pthread_t reader = pthread_self();
    std::thread writer([w = p[1], reader] {
        usleep(50000);
        pthread_kill(reader, SIGUSR1);
        usleep(50000);
        EXPECT_EQ(write(w, "ST\n", 3), 3);
        close(w);
    });
    char buf[KV_SNIFF_BUFSIZE];
    int count = sizeof buf;
    EXPECT_EQ(getmagic_fromfd_tomem(p[0], buf, &count), 24);
    EXPECT_EQ(count, 10);
    writer.join();
    close(p[0]);
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(SnifferReads, ErrorAfterPartialDataKeepsTheBytesTaken) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    timeval tv{0, 50000};
    ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
    // Step 7 asks for bytes 7..9, gets "S", then the read times out (EAGAIN).
    ASSERT_EQ(write(sv[1], "KUVRA_FS", 8), 8);
    char buf[KV_SNIFF_BUFSIZE];
    int count = sizeof buf;
    EXPECT_EQ(getmagic_fromfd_tomem(sv[0], buf, &count), 1);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(std::string(buf, 8), "KUVRA_FS");
    // An error before any byte of a step: the count stays at the bytes held.
    count = sizeof buf;
    ASSERT_EQ(write(sv[1], "KU", 2), 2);
    EXPECT_EQ(getmagic_fromfd_tomem(sv[0], buf, &count), 1);
    EXPECT_EQ(count, 2);
    close(sv[0]);
    close(sv[1]);
}

TEST(SnifferReads, UnreadableDescriptorGivesCountZero) {
    char buf[KV_SNIFF_BUFSIZE];
    for (int fd : {-1, 999}) {
        int count = sizeof buf;
        EXPECT_EQ(getmagic_fromfd_tomem(fd, buf, &count), 1);
        EXPECT_EQ(count, 0);
    }
    kvtest::TempDir dir;
    int wronly = open((dir / "w").c_str(), O_WRONLY | O_CREAT, 0600);
    int count = sizeof buf;
    EXPECT_EQ(getmagic_fromfd_tomem(wronly, buf, &count), 1);
    EXPECT_EQ(count, 0);
    close(wronly);
}

namespace {
// Read-like system calls this process has made so far.
long read_syscalls() {
    int fd = open("/proc/self/io", O_RDONLY);
    char text[512] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    const char *p = n > 0 ? strstr(text, "syscr: ") : nullptr;
    return p ? strtol(p + 7, nullptr, 10) : -1;
}
} // namespace

TEST(GetMagic, OpensOnceAndReadsInAtMostTwelveRequests) {
    kvtest::TempDir dir;
    const std::string unknown = (dir / "unknown").string();
    kvtest::write_file(unknown, std::string(5000, 'x'));
    const std::string nifti = (dir / "nifti").string();
    kvtest::write_file(nifti, nifti_header());
    const long baseline = [] {
        long a = read_syscalls();
        return read_syscalls() - a;
    }();
    ASSERT_GE(baseline, 0) << "no /proc/self/io";

    int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, unknown.c_str(), IN_OPEN), 0);
    for (const std::string &path : {unknown, nifti}) {
        long before = read_syscalls();
        EXPECT_EQ(getmagic(path.c_str()), path == nifti ? 26 : 1);
        EXPECT_LE(read_syscalls() - before - baseline, 12) << path;
    }
    int opens = 0;
    alignas(inotify_event) char events[4096];
    ssize_t n = read(watch, events, sizeof events);
    for (ssize_t off = 0; off < n;) {
        auto *e = reinterpret_cast<inotify_event *>(events + off);
        opens += (e->mask & IN_OPEN) != 0;
        off += ssize_t(sizeof *e + e->len);
    }
    close(watch);
    EXPECT_EQ(opens, 1);
}

TEST(GetMagic, PathsAndDescriptors) {
    kvtest::TempDir dir;
    EXPECT_EQ(getmagic((dir / "missing").c_str()), 0);
    EXPECT_EQ(getmagic(nullptr), 0);
    EXPECT_EQ(getmagic(dir.path().c_str()), 1); // opens, but read fails
    kvtest::write_file(dir / "img.pgm", "P5\n2 2\n255\nabcd");
    const int before = kvtest::open_fd_count();
    EXPECT_EQ(getmagic((dir / "img.pgm").c_str()), 8);
    EXPECT_EQ(kvtest::open_fd_count(), before);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define KV_TEST_SANITIZED 1
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(KV_TEST_SANITIZED)
// Counts the allocations of the calling process, to show that sniffing takes
// none.  Sanitizers bring their own allocator, so the check runs without them.
namespace {
thread_local long allocations = 0;
}
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t n) {
    ++allocations;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
    ++allocations;
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
    ++allocations;
    return __libc_realloc(p, n);
}

TEST(GetMagic, SniffingAllocatesNothing) {
    kvtest::TempDir dir;
    const std::string path = (dir / "f").string();
    kvtest::write_file(path, std::string(600, 'x'));
    int fd = open(path.c_str(), O_RDONLY);
    char buf[KV_SNIFF_BUFSIZE];
    int count = sizeof buf;
    const long before = allocations;
    getmagic_fromfd_tomem(fd, buf, &count);
    getmagic(path.c_str());
    mimetomagic("image/png");
    const long after = allocations;
    close(fd);
    EXPECT_EQ(after - before, 0);
    EXPECT_EQ(count, 348);
}
#endif

namespace {
// A file name no shell would take unquoted.
const char *awkward = "a b 'c\" $HOME;`x` *.dat";

std::string compressed(kvtest::TempDir &dir, const std::string &content, const char *tool) {
    const std::string plain = (dir / awkward).string();
    kvtest::write_file(plain, content);
    auto r = kvtest::run({tool, "-c", plain});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string packed = plain + (strcmp(tool, "gzip") == 0 ? ".gz" : ".bz2");
    kvtest::write_file(packed, r.out);
    return packed;
}

// Runs f with descriptor 2 sent to a file, and returns what was written there.
template <class F> std::string stderr_of(F f) {
    fflush(stderr);
    FILE *cap = tmpfile();
    int saved = dup(2);
    dup2(fileno(cap), 2);
    f();
    dup2(saved, 2);
    close(saved);
    std::string text(4096, '\0');
    rewind(cap);
    text.resize(fread(text.data(), 1, text.size(), cap));
    fclose(cap);
    return text;
}
} // namespace

TEST(CompressedMagic, ContentTypeThroughDecompressor) {
    kvtest::TempDir dir;
    const std::string gz = compressed(dir, "P5\n2 2\n255\nabcd", "gzip");
    EXPECT_EQ(getgzmagic(gz.c_str()), 8);
    const std::string bz = compressed(dir, "KUVRA_FST\n" + std::string(100000, 'q'), "bzip2");
    EXPECT_EQ(getbz2magic(bz.c_str()), 24);
    // Compressed twice: the inner layer is what shows.
    const std::string twice = compressed(dir, kvtest::read_file(gz), "gzip");
    EXPECT_EQ(getgzmagic(twice.c_str()), 2);
    // Content far larger than what is sniffed: the decompressor is stopped, not waited for.
    const std::string big = compressed(dir, dicom_preamble("") + std::string(4 << 20, 'z'), "gzip");
    EXPECT_EQ(getgzmagic(big.c_str()), 10);
}

TEST(CompressedMagic, FailuresAreResultsAndSilent) {
    kvtest::TempDir dir;
    const std::string plain = (dir / awkward).string();
    kvtest::write_file(plain, "P5\n2 2\n255\nabcd");
    const int fds = kvtest::open_fd_count();
    std::string err = stderr_of([&] {
        EXPECT_EQ(getgzmagic(plain.c_str()), 1);
        EXPECT_EQ(getbz2magic(plain.c_str()), 1);
        EXPECT_EQ(getgzmagic((dir / "missing").c_str()), 1);
        EXPECT_EQ(getbz2magic(nullptr), 1);
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(kvtest::open_fd_count(), fds);
    // Every child was reaped.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    // No decompressor on PATH: it cannot be started.
    const std::string gz = compressed(dir, "P6\n", "gzip");
    const std::string path = getenv("PATH");
    setenv("PATH", dir.path().c_str(), 1);
    err = stderr_of([&] { EXPECT_EQ(getgzmagic(gz.c_str()), 0); });
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(getgzmagic(gz.c_str()), 9);
}

TEST(CompressedMagic, WorksWithStandardDescriptorsClosed) {
    kvtest::TempDir dir;
    const std::string gz = compressed(dir, "%PDF-1.4\n", "gzip");
    int saved = dup(0);
    close(0);
    EXPECT_EQ(getgzmagic(gz.c_str()), 35);
    dup2(saved, 0);
    close(saved);
}
