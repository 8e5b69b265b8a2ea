// The synthesizer's reader, driven in-process on memory buffers.
#include "synth_parse.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace kuvra::synth;

namespace {

struct Parsed {
    bool ok;
    std::vector<Element> elems;
    ParseError err;
};

// Every case here reads through one buffer, as a batch or a fuzzer does:
// what one input leaves in it must not show in the next.
Parsed parse(const std::string &input, ParseOptions opt = {}) {
    static ReadBuffer shared;
    if (!opt.read_buffer) opt.read_buffer = &shared;
    MemorySource src(input);
    Parsed p;
    p.ok = parse_elements(src, opt, p.elems, p.err);
    return p;
}

std::string spooled_bytes(const Element &el) {
    std::string s(el.length, '\0');
    EXPECT_EQ(pread(el.spool.get(), s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
    return s;
}

// Reads in pieces of at most k bytes: values and lines that cross buffer
// ends must come out whole.
class TrickleSource final : public Source {
  public:
    TrickleSource(std::string data, size_t k) : data_(std::move(data)), k_(k) {}
    int64_t read(char *buf, size_t n) override {
        size_t take = std::min({n, k_, data_.size() - pos_});
        memcpy(buf, data_.data() + pos_, take);
        pos_ += take;
        return static_cast<int64_t>(take);
    }

  private:
    std::string data_;
    size_t k_, pos_ = 0;
};

} // namespace

TEST(SynthParse, TextElementsKeepTheirValueVerbatim) {
    auto p = parse("(0010,0010) PN Doe^John\n"
                   "(0008,103e) LO  two  blanks \\ and a backslash\n"
                   "(0010,0020) LO\n"
                   "(0010,0030) DA \n"
                   "(0020,4000) LT ]])syscmd(x)dnl [[q]] \x01\xff\r\n");
    ASSERT_TRUE(p.ok) << p.err.message;
    ASSERT_EQ(p.elems.size(), 5u);
    EXPECT_EQ(p.elems[0].group, 0x0010);
    EXPECT_EQ(p.elems[0].elem, 0x0010);
    EXPECT_STREQ(p.elems[0].vr, "PN");
    EXPECT_EQ(p.elems[0].text, "Doe^John");
    // Hex digits in either case; only the one blank after the VR is syntax.
    EXPECT_EQ(p.elems[1].elem, 0x103E);
    EXPECT_EQ(p.elems[1].text, " two  blanks \\ and a backslash");
    EXPECT_EQ(p.elems[2].text, "");
    EXPECT_EQ(p.elems[3].text, "");
    // Any byte but the line feed belongs to the value, carriage return included.
    EXPECT_EQ(p.elems[4].text, std::string("]])syscmd(x)dnl [[q]] \x01\xff\r"));
    EXPECT_EQ(p.elems[4].line, 5);
}

TEST(SynthParse, CommentsBlankLinesAndIndentationAreSkipped) {
    auto p = parse("# a comment\n\n   \t\n  # indented comment\n\t(0008,0060) CS OT");
    ASSERT_TRUE(p.ok) << p.err.message;
    ASSERT_EQ(p.elems.size(), 1u);
    EXPECT_EQ(p.elems[0].text, "OT"); // last line without line feed
    EXPECT_EQ(p.elems[0].line, 5);
}

TEST(SynthParse, BinaryValueTakesExactlyTheCountedBytes) {
    std::string raw("a\nb\0\n(00", 8); // line feeds and a fake tag inside the value
    auto p = parse("(0009,1001) OB 8\n" + raw + "\n(0010,0010) PN X\n");
    ASSERT_TRUE(p.ok) << p.err.message;
    ASSERT_EQ(p.elems.size(), 2u);
    EXPECT_EQ(p.elems[0].kind, ValueKind::Binary);
    EXPECT_EQ(p.elems[0].length, 8u);
    EXPECT_EQ(p.elems[0].bytes, raw);
    EXPECT_EQ(p.elems[0].spool.get(), -1);
    EXPECT_EQ(p.elems[1].text, "X");
    // At the very end of input the closing line feed may be missing.
    auto q = parse("(7FE0,0010) OB 3\nxyz");
    ASSERT_TRUE(q.ok) << q.err.message;
    EXPECT_EQ(q.elems[0].bytes, "xyz");
    auto z = parse("(7FE0,0010) OW 0\n\n(0008,0060) CS OT\n");
    ASSERT_TRUE(z.ok) << z.err.message;
    EXPECT_EQ(z.elems[0].length, 0u);
    EXPECT_EQ(z.elems[1].text, "OT");
}

TEST(SynthParse, LargeBinaryValuesGoToAnUnlinkedSpoolFile) {
    ParseOptions opt;
    opt.spool_threshold = 16;
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    std::string input = "(7FE0,0010) OW 100000\n" + data + "\n(0028,0010) US 1\n";
    // Crossing the reader's buffer ends in odd places must not matter.
    TrickleSource src(input, 4093);
    std::vector<Element> elems;
    ParseError err;
    ASSERT_TRUE(parse_elements(src, opt, elems, err)) << err.message;
    ASSERT_EQ(elems.size(), 2u);
    ASSERT_GE(elems[0].spool.get(), 0);
    EXPECT_TRUE(elems[0].bytes.empty());
    EXPECT_EQ(spooled_bytes(elems[0]), data);
    struct stat st;
    ASSERT_EQ(fstat(elems[0].spool.get(), &st), 0);
    EXPECT_EQ(st.st_nlink, 0u) << "spool file still has a name";
    EXPECT_EQ(elems[1].text, "1");
}

TEST(SynthParse, SequenceAndItemMarkers) {
    auto p = parse("(0008,1140) SQ\n  (FFFE,E000)\n    (0008,1150) UI 1.2\n  (fffe,e00d)\n"
                   "(FFFE,E0DD)\n");
    ASSERT_TRUE(p.ok) << p.err.message;
    ASSERT_EQ(p.elems.size(), 5u);
    EXPECT_EQ(p.elems[0].kind, ValueKind::SequenceStart);
    EXPECT_EQ(p.elems[1].kind, ValueKind::ItemStart);
    EXPECT_EQ(p.elems[2].kind, ValueKind::Text);
    EXPECT_EQ(p.elems[3].kind, ValueKind::ItemEnd);
    EXPECT_EQ(p.elems[4].kind, ValueKind::SequenceEnd);
}

struct BadInput {
    const char *input;
    int64_t line;
    const char *message_part;
};

TEST(SynthParse, MalformedLinesAreRefusedWithLineAndReason) {
    const BadInput cases[] = {
        {"(0010,0010)PN x\n", 1, "blank and a VR"},
        {"(0010,001) PN x\n", 1, "element tag"},
        {"(0010;0010) PN x\n", 1, "element tag"},
        {"(001g,0010) PN x\n", 1, "element tag"},
        {"0010,0010 PN x\n", 1, "element tag"},
        {"\n(0010,0010) XX x\n", 2, "unknown VR \"XX\""},
        {"(0010,0010) pn x\n", 1, "unknown VR"},
        {"(0010,0010) PNx\n", 1, "blank after the VR"},
        {"(0010,0010) P\n", 1, "unknown VR"},
        {"(7FE0,0010) OB\n", 1, "byte count"},
        {"(7FE0,0010) OB -1\n", 1, "byte count"},
        {"(7FE0,0010) OB 12a\n", 1, "byte count"},
        {"(7FE0,0010) OB 4294967295\n", 1, "too large"},
        {"(7FE0,0010) OB 10\nshort", 1, "ends after 5 of the 10 bytes"},
        {"(7FE0,0010) OB 2\nabc\n", 1, "not followed by a line end"},
        {"(0008,1140) SQ x\n", 1, "takes no value"},
        {"(FFFE,E000) na\n", 1, "takes no VR"},
        {"(FFFE,E001)\n", 1, "unknown item tag"},
    };
    for (const auto &c : cases) {
        auto p = parse(c.input);
        EXPECT_FALSE(p.ok) << c.input;
        EXPECT_EQ(p.err.line, c.line) << c.input;
        EXPECT_NE(p.err.message.find(c.message_part), std::string::npos)
            << c.input << " -> " << p.err.message;
    }
}

TEST(SynthParse, OverlongLineIsRefused) {
    ParseOptions opt;
    opt.max_line = 64;
    auto p = parse("(0010,0010) PN " + std::string(100, 'a') + "\n", opt);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.err.message.find("longer than 64"), std::string::npos) << p.err.message;
}

TEST(SynthParse, EmptyInputParsesToNoElements) {
    // Refusing an empty list is the builder's job: the reader only reads.
    auto p = parse("");
    EXPECT_TRUE(p.ok);
    EXPECT_TRUE(p.elems.empty());
}

TEST(SynthParse, VrClasses) {
    for (const char *vr : {"OB", "OD", "OF", "OL", "OV", "OW", "UN"})
        EXPECT_TRUE(is_binary_vr(vr)) << vr;
    for (const char *vr : {"US", "AT", "PN", "SQ", "UT", "FD"}) {
        EXPECT_FALSE(is_binary_vr(vr)) << vr;
        EXPECT_TRUE(is_known_vr(vr)) << vr;
    }
    EXPECT_FALSE(is_known_vr("XX"));
    EXPECT_FALSE(is_known_vr("O"));
}

TEST(SynthParse, BigEndianWordsAreSwappedAcrossReadBoundaries) {
    std::string be;
    std::string le;
    for (int i = 0; i < 5001; ++i) {
        unsigned v = static_cast<unsigned>(i * 40503u) & 0xFFFF;
        be += static_cast<char>(v >> 8);
        be += static_cast<char>(v & 0xFF);
        le += static_cast<char>(v & 0xFF);
        le += static_cast<char>(v >> 8);
    }
    std::string input = "(7FE0,0010) OW " + std::to_string(be.size()) + " big-endian\n" + be + "\n";
    for (uint32_t threshold : {1u << 20, 16u}) { // in memory, then spooled
        ParseOptions opt;
        opt.spool_threshold = threshold;
        TrickleSource src(input, 997); // odd pieces split byte pairs
        std::vector<Element> elems;
        ParseError err;
        ASSERT_TRUE(parse_elements(src, opt, elems, err)) << err.message;
        ASSERT_EQ(elems.size(), 1u);
        EXPECT_TRUE(elems[0].big_endian_words);
        EXPECT_EQ(elems[0].spool.get() >= 0 ? spooled_bytes(elems[0]) : elems[0].bytes, le);
    }
    EXPECT_NE(parse("(7FE0,0010) OW 3 big-endian\nabc\n").err.message.find("odd byte count"),
              std::string::npos);
    EXPECT_NE(parse("(7FE0,0010) OB 2 big-endian\nab\n").err.message.find("OW values only"),
              std::string::npos);
    EXPECT_NE(parse("(7FE0,0010) OW 2 little\nab\n").err.message.find("unknown word"),
              std::string::npos);
}

TEST(SynthParse, LargeValueCanBeStreamedToTheCallersDescriptor) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string data(70000, 'q');
    ParseOptions opt;
    std::vector<std::string> seen_before;
    opt.on_large_value = [&](std::vector<Element> &so_far, const Element &v, ParseError &) {
        for (auto &e : so_far)
            seen_before.push_back(e.text);
        EXPECT_EQ(v.length, 70000u);
        return -1; // spool this time
    };
    auto a = parse("(0010,0010) PN A\n(7FE0,0010) OB 70000\n" + data + "\n", opt);
    ASSERT_TRUE(a.ok) << a.err.message;
    EXPECT_EQ(seen_before, std::vector<std::string>{"A"});
    EXPECT_FALSE(a.elems[1].streamed);
    EXPECT_EQ(spooled_bytes(a.elems[1]), data);

    // A temp file as the target: the parser copies the bytes there and keeps none.
    char name[] = "/tmp/kuvra_synth_test_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    unlink(name);
    opt.on_large_value = [&](std::vector<Element> &, const Element &, ParseError &) { return fd; };
    auto b = parse("(7FE0,0010) OB 70000\n" + data + "\n(FFFC,FFFC) OB 2\nzz\n", opt);
    ASSERT_TRUE(b.ok) << b.err.message;
    EXPECT_TRUE(b.elems[0].streamed);
    EXPECT_TRUE(b.elems[0].bytes.empty());
    EXPECT_EQ(b.elems[1].bytes, "zz");
    std::string got(70000, '\0');
    EXPECT_EQ(pread(fd, got.data(), got.size(), 0), 70000);
    EXPECT_EQ(got, data);
    close(fd);

    // The callback may stop the parse.
    opt.on_large_value = [&](std::vector<Element> &, const Element &, ParseError &e) {
        e.message = "stopped";
        return -2;
    };
    auto c = parse("(7FE0,0010) OB 70000\n" + data + "\n", opt);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.err.message, "stopped");
    close(p[0]);
    close(p[1]);
}

namespace {

// A file of the given bytes in a fresh temporary directory.
struct ValueFile {
    std::string dir, path;
    explicit ValueFile(const std::string &bytes) {
        char tmpl[] = "/tmp/kuvra_synth_from_XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/value.bin";
        FILE *f = fopen(path.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    ~ValueFile() {
        unlink(path.c_str());
        unlink((dir + "/fifo").c_str());
        rmdir(dir.c_str());
    }
};

std::string ramp(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

} // namespace

// "N from FILE": the bytes come from the file, the input goes on with the
// next line, and the value is kept, spooled or streamed like raw bytes.
TEST(SynthParse, ValueFromAFile) {
    std::string data = ramp(70001);
    ValueFile vf(data);
    std::string tail = "(FFFC,FFFC) OB 2\nzz\n";
    auto a = parse("(0010,0010) PN A\n(7FE0,0010) OB 70001 from " + vf.path + "\n" + tail);
    ASSERT_TRUE(a.ok) << a.err.message;
    ASSERT_EQ(a.elems.size(), 3u);
    EXPECT_EQ(a.elems[1].length, 70001u);
    EXPECT_EQ(spooled_bytes(a.elems[1]), data);
    EXPECT_EQ(a.elems[2].bytes, "zz");
    EXPECT_EQ(a.elems[2].line, 3);

    // Small: held in memory.  Without a line feed at the end of input too.
    ValueFile small("abcd");
    auto b = parse("(FFFC,FFFC) OB 4 from " + small.path);
    ASSERT_TRUE(b.ok) << b.err.message;
    EXPECT_EQ(b.elems[0].bytes, "abcd");

    // Streamed to the caller's descriptor, swapped on the way.
    std::string le = data.substr(0, 70000);
    for (size_t i = 0; i < le.size(); i += 2)
        std::swap(le[i], le[i + 1]);
    ValueFile words(data.substr(0, 70000));
    char name[] = "/tmp/kuvra_synth_test_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    unlink(name);
    ParseOptions opt;
    opt.on_large_value = [&](std::vector<Element> &, const Element &, ParseError &) { return fd; };
    auto c = parse("(7FE0,0010) OW 70000 big-endian from " + words.path + "\n" + tail, opt);
    ASSERT_TRUE(c.ok) << c.err.message;
    EXPECT_TRUE(c.elems[0].streamed);
    EXPECT_TRUE(c.elems[0].big_endian_words);
    std::string got(70000, '\0');
    EXPECT_EQ(pread(fd, got.data(), got.size(), 0), 70000);
    EXPECT_EQ(got, le);
    EXPECT_EQ(c.elems[1].bytes, "zz");
    close(fd);
}

TEST(SynthParse, ValueFromAFileIsRefusedUnlessTheFileHoldsExactlyTheCount) {
    ValueFile vf("abcde");
    ASSERT_EQ(mkfifo((vf.dir + "/fifo").c_str(), 0600), 0);
    struct Case {
        std::string line, message;
    };
    for (const Case &c : {
             Case{"(FFFC,FFFC) OB 4 from " + vf.path, "holds 5 bytes, not the 4 announced"},
             Case{"(FFFC,FFFC) OB 6 from " + vf.path, "holds 5 bytes, not the 6 announced"},
             Case{"(FFFC,FFFC) OB 4 from " + vf.dir + "/none", "cannot open"},
             Case{"(FFFC,FFFC) OB 4 from " + vf.dir, "is not a regular file"},
             // A FIFO without a writer must be refused, not waited on.
             Case{"(FFFC,FFFC) OB 4 from " + vf.dir + "/fifo", "is not a regular file"},
             Case{"(FFFC,FFFC) OB 4 from ", "\"from\" without a file name"},
             Case{"(FFFC,FFFC) OB 4 frm " + vf.path, "unknown word"},
             Case{"(FFFC,FFFC) OB 5 big-endian from " + vf.path, "OW values only"},
         }) {
        auto p = parse("(0010,0010) PN A\n" + c.line + "\n");
        EXPECT_FALSE(p.ok) << c.line;
        EXPECT_EQ(p.err.line, 2) << c.line;
        EXPECT_NE(p.err.message.find(c.message), std::string::npos)
            << c.line << ": " << p.err.message;
    }
}
