// kuvra_FST_extract run as a user (or the viewer hand-off) runs it: frame
// checks with their messages, exact bytes out, exit status.
#include "kvtest.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string prog = kvtest::bin("kuvra_FST_extract");

// A FileCapsule whose frame lines can be replaced one by one.
struct Capsule {
    std::string magic = "KUVRA_FST";
    std::string field = "FIELD";
    std::string name = "FileCapsule";
    std::string type = "U8 1";
    std::string dims = "1";
    std::string size;   // defaults to the payload size
    std::string padded; // defaults to the size
    std::string payload;
    std::string after = "\nENDFIELD\n";
    std::string eol = "\n";

    std::string text() const {
        std::string s = size.empty() ? std::to_string(payload.size()) : size;
        std::string p = padded.empty() ? s : padded;
        return magic + eol + field + eol + name + eol + type + eol + dims + eol + s + eol + p +
               eol + payload + after;
    }
};

kvtest::RunResult run_stdin(const std::string &input, std::vector<std::string> args = {}) {
    std::vector<std::string> argv{prog};
    argv.insert(argv.end(), args.begin(), args.end());
    kvtest::RunOptions opt;
    opt.input = input;
    return kvtest::run(argv, opt);
}

void expect_refused(const std::string &input, const std::string &message) {
    auto r = run_stdin(input);
    EXPECT_EQ(r.status, 1) << input;
    EXPECT_EQ(r.err, message) << input;
    EXPECT_EQ(r.out, "") << input;
}

void expect_extracted(const std::string &input, const std::string &payload) {
    auto r = run_stdin(input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == payload) << "got " << r.out.size() << " bytes, want " << payload.size();
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char((i * 131 + i / 251) & 0xff);
    return s;
}

// ---- Command line -----------------------------------------------------------

TEST(FstExtractOptions, HelpAndUnknownOption) {
    auto r = kvtest::run({prog, "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: " + prog + "\n");
    EXPECT_EQ(r.out, "");
    r = kvtest::run({"kuvra_FST_extract", "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unknown option.\nUsage: kuvra_FST_extract\n");
    EXPECT_EQ(r.out, "");
}

TEST(FstExtractInput, FileOperandAndStdin) {
    kvtest::TempDir dir;
    Capsule c;
    c.payload = pattern(1000);
    kvtest::write_file(dir / "c.fst", c.text());

    auto f = kvtest::run({prog, (dir / "c.fst").string(), "extra-operand-ignored"});
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.err, "");
    EXPECT_TRUE(f.out == c.payload);

    expect_extracted(c.text(), c.payload);

    kvtest::RunOptions opt;
    opt.stdin_file = (dir / "c.fst").string();
    EXPECT_TRUE(kvtest::run({prog}, opt).out == c.payload);
}

TEST(FstExtractInput, MissingFileOrClosedStdin) {
    kvtest::TempDir dir;
    auto r = kvtest::run({prog, (dir / "absent.fst").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open input.\n");
    kvtest::RunOptions opt;
    opt.close_stdin = true;
    r = kvtest::run({prog}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open input.\n");
    EXPECT_EQ(r.out, "");
}

// ---- Frame checks, in their order -----------------------------------------

// Input that ends before a frame line gives the message of the reading;
// each frame line made wrong on its own gives the message of that line.
TEST(FstExtractFrame, EachLineInItsOrder) {
    expect_refused("", "Cannot read magic.\n");
    expect_refused("KUVRA_FST\n", "Expected 'FIELD' keyword.\n");
    expect_refused("KUVRA_FST\n# only comments\n", "Expected 'FIELD' keyword.\n");
    expect_refused("KUVRA_FST\nFIELD\n", "Expected 'FileCapsule' keyword.\n");
    expect_refused("KUVRA_FST\nFIELD\nFileCapsule\n", "Expected 'U8 1' type.\n");
    expect_refused("KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n", "Expected 1-dimensional capsule.\n");
    expect_refused("KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n", "Cannot read filesize.\n");
    expect_refused("KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n3\n", "Cannot read padded filesize.\n");

    struct Bad {
        std::string Capsule::*line;
        std::vector<const char *> values;
        const char *message;
    };
    for (const Bad &b : {
             Bad{&Capsule::magic,
                 {"KUVRA_FS", "KUVRA_FST ", "kuvra_fst", "#c", ""},
                 "Unsupported magic.\n"},
             Bad{&Capsule::field,
                 {"FIELD ", "", "field", " FIELD", "ENDFIELD"},
                 "Expected 'FIELD' keyword.\n"},
             Bad{&Capsule::name,
                 {"Image", "FileCapsule ", "", "filecapsule"},
                 "Expected 'FileCapsule' keyword.\n"},
             Bad{&Capsule::type,
                 {"U8  1", "U8 2", "U16 2", "U8 1 ", "U81"},
                 "Expected 'U8 1' type.\n"},
             Bad{&Capsule::dims, {"01", "2", " 1", "1 "}, "Expected 1-dimensional capsule.\n"},
             Bad{&Capsule::size,
                 {"x", "bytes 42", "-", "99999999999999999999"},
                 "Cannot parse filesize.\n"},
         }) {
        for (const char *bad : b.values) {
            Capsule c;
            c.payload = "abc";
            c.padded = std::to_string(c.payload.size());
            c.*b.line = bad;
            expect_refused(c.text(), b.message);
        }
    }
}

TEST(FstExtractFrame, CommentsOnlyBeforeFieldAndName) {
    Capsule c;
    c.payload = "data";
    c.magic = "KUVRA_FST\n# k:\tv\n#another";
    c.field = "FIELD\n# between";
    expect_extracted(c.text(), "data");

    // Anywhere later a comment line is taken as the expected line.
    Capsule t;
    t.type = "# c\nU8 1";
    expect_refused(t.text(), "Expected 'U8 1' type.\n");
    Capsule d;
    d.dims = "# c\n1";
    expect_refused(d.text(), "Expected 1-dimensional capsule.\n");
    Capsule s;
    s.payload = "xyz";
    s.size = "# c\n3";
    expect_refused(s.text(), "Cannot parse filesize.\n");
    // In place of the padded size it is that line.
    Capsule p;
    p.payload = "xyz";
    p.padded = "# not a number";
    expect_extracted(p.text(), "xyz");
}

TEST(FstExtractFrame, EmptyLineAfterMagicFails) {
    Capsule c;
    c.magic = "KUVRA_FST\n";
    expect_refused(c.text(), "Expected 'FIELD' keyword.\n");
}

TEST(FstExtractFrame, CrLfLinesAreAccepted) {
    Capsule c;
    c.eol = "\r\n";
    c.payload = "\r\n\r\nbytes\r";
    expect_extracted(c.text(), c.payload);
}

// ---- The file size and the copy ---------------------------------------------

TEST(FstExtractSize, ScanfFormsOfTheSize) {
    Capsule c;
    c.payload = pattern(42);
    for (const char *form : {" 42", "42 bytes", "\t+42", "42\tpadded"}) {
        c.size = form;
        c.padded = "64";
        expect_extracted(c.text(), c.payload);
    }
}

TEST(FstExtractSize, ZeroWritesNothing) {
    Capsule c;
    c.size = "0";
    c.padded = "16";
    c.after = std::string(16, '\0') + "\nENDFIELD\n";
    expect_extracted(c.text(), "");
}

TEST(FstExtractSize, ChunkBoundaries) {
    for (size_t n : {size_t(65535), size_t(65536), size_t(65537), size_t(3 * 65536 + 17)}) {
        Capsule c;
        c.payload = pattern(n);
        expect_extracted(c.text(), c.payload);
    }
}

TEST(FstExtractSize, OnlyTheFileBytesOfTheFirstFieldAreCopied) {
    // The padded size is larger; padding, ENDFIELD and a second field follow.
    Capsule c;
    c.payload = "ABCDEFGHIJ";
    c.padded = "16";
    c.after =
        "\x01\x02\x03\x04\x05\x06\nENDFIELD\nFIELD\nFileCapsule\nU8 1\n1\n3\n3\nxyz\nENDFIELD\n";
    expect_extracted(c.text(), "ABCDEFGHIJ");
    c.size = "4";
    expect_extracted(c.text(), "ABCD");
}

TEST(FstExtractSize, NegativeSizeIsRefused) {
    for (const char *neg : {"-1", "-42", " -9223372036854775807"}) {
        Capsule c;
        c.payload = "abc";
        c.size = neg;
        c.padded = std::to_string(c.payload.size());
        expect_refused(c.text(), "Cannot parse filesize.\n");
    }
}

TEST(FstExtractSize, DataEndingEarlyIsAFailureAfterTheBytesRead) {
    for (size_t have : {size_t(0), size_t(7), size_t(65536), size_t(70000)}) {
        Capsule c;
        c.payload = pattern(have);
        c.size = std::to_string(have + 1000);
        c.after = "";
        auto r = run_stdin(c.text());
        EXPECT_EQ(r.status, 1) << have;
        EXPECT_EQ(r.err, "Capsule data ends early.\n") << have;
        EXPECT_TRUE(r.out == c.payload) << have << ": got " << r.out.size();
    }
}

TEST(FstExtractSize, SizesOfFourGibAndMoreAreNotCut) {
    // Cut to 32 bits these sizes would read as 0, 1 and 5 bytes and pass.
    for (const char *big : {"4294967296", "4294967297", "4294967301", "9223372036854775807"}) {
        Capsule c;
        c.payload = "0123456789";
        c.size = big;
        c.after = "";
        auto r = run_stdin(c.text());
        EXPECT_EQ(r.status, 1) << big;
        EXPECT_EQ(r.err, "Capsule data ends early.\n") << big;
        EXPECT_EQ(r.out, "0123456789") << big;
    }
}

TEST(FstExtractSize, FourGibPlusOneStreamsThrough) {
    // 4 GiB + 1 zero bytes (a sparse file, so that only the copy costs) and a
    // byte after them that must stay behind; wc counts what came out.
    kvtest::TempDir dir;
    const std::string capsule = (dir / "big.fst").string();
    const std::string frame = "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n4294967297\n4294967297\n";
    kvtest::write_file(capsule, frame);
    std::filesystem::resize_file(capsule, frame.size() + 4294967297ULL);
    {
        std::ofstream f(capsule, std::ios::binary | std::ios::app);
        f << 'Z';
    }
    const std::string status = (dir / "status").string();
    auto r = kvtest::sh("{ " + prog + " " + capsule + "; echo $? >" + status + "; } | wc -c");
    EXPECT_EQ(r.out, "4294967297\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(kvtest::read_file(status), "0\n");
}

TEST(FstExtractSize, FailedWritesAreReported) {
    kvtest::TempDir dir;
    Capsule small;
    small.payload = "tiny";
    kvtest::write_file(dir / "small.fst", small.text());
    auto r = kvtest::sh(prog + " " + (dir / "small.fst").string() + " >/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write output.\n");
    Capsule big;
    big.payload = pattern(200000);
    kvtest::write_file(dir / "big.fst", big.text());
    r = kvtest::sh(prog + " " + (dir / "big.fst").string() + " >/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write output.\n");
}

} // namespace

namespace {

// A capsule file extracted into a file, truncated or appended to: each way
// of opening the output gets exactly the payload, however the bytes are
// moved.
TEST(FstExtractOutput, FileOutputsTruncatedAndAppended) {
    kvtest::TempDir dir;
    Capsule c;
    c.field = "#comment\nFIELD";
    c.payload = pattern(1000003);
    kvtest::write_file(dir / "c.fst", c.text());
    const std::string in = (dir / "c.fst").string(), out = (dir / "out").string();
    kvtest::write_file(out, "old content that must go");
    auto r = kvtest::sh(prog + " " + in + " >" + out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(kvtest::read_file(out) == c.payload);
    kvtest::write_file(out, "kept:");
    r = kvtest::sh(prog + " <" + in + " >>" + out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(kvtest::read_file(out) == "kept:" + c.payload);
    Capsule cut = c;
    cut.size = "2000000";
    cut.after = "";
    kvtest::write_file(dir / "cut.fst", cut.text());
    r = kvtest::sh(prog + " " + (dir / "cut.fst").string() + " >" + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Capsule data ends early.\n");
    EXPECT_TRUE(kvtest::read_file(out) == c.payload);
}

} // namespace
