// Every program over the bad-input corpus (tests/badinput/corpus, written by
// make-corpus.py): each file is a row of the table below with the status and
// message that each program must give for it.
//
// Beyond the row's status and message, every run must:
//   - end by exit, not by a signal (nor hang: the run has a time limit);
//   - leave no process of its own behind (the test process is the child
//     subreaper, so orphaned descendants land here and are counted);
//   - leave /tmp clean: each run gets a private /tmp (a bind mount in a
//     mount namespace of its own); after -d nothing may remain in it, after
//     -m only the spool files that the macro stream names;
//   - write nothing to standard output when the programs promise not to.
// With KUVRA_BADINPUT_VALGRIND=1 each program runs under valgrind, whose
// memory errors fail the row.
#include "kvtest.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int ANY = -1; // status 0 or 1, both sound for this input

struct Expect {
    int status;
    const char *message; // nullptr: not checked; "": stderr must be empty
};

struct Row {
    const char *file;
    Expect pnm; // kuvra_pnmto3d32 FILE
    Expect fst; // kuvra_FST_extract FILE
    Expect cv;  // kuvra_ppmtodicom -m < FILE (a pipe); -d gives the same refusals
};

// Messages.
constexpr const char *MAGIC_PNM = "Unsupported magic.\n";
constexpr const char *MAGIC_FST = "Unsupported magic.\n";
constexpr const char *NOT_INPUT = "Input file must be P5, P6 or KUVRA_FIELDSET\n";
constexpr const char *COPY = "Field copy failure.\n";
constexpr const char *NO_END = "ENDFIELD not found.\n";
constexpr const char *NOT_CAPSULE = "Expected 'FileCapsule' keyword.\n";
constexpr const char *IMG_SIZE = "Image size not supported.\n";
constexpr const char *FLD_SIZE = "Field size not supported.\n";
constexpr const char *DIMS = "Dimensions bad!\n";
constexpr const char *TYPE = "Cannot parse type descriptor\n";
constexpr const char *QUOTES = "Header comment with unbalanced m4 quotes dropped: Key";
constexpr const char *RESERVED = "Header comment with reserved macro name dropped: DATA_FORMAT";
constexpr const char *PNM_WH = "Cannot parse width/height.\n";
#define CONTROL_NUL "Header comment with control character 0x00 dropped: "
constexpr const char *PNM_ALLOC = "Cannot allocate line memory.\n";

constexpr Expect ok{0, ""};
constexpr Expect fail(const char *m) {
    return {1, m};
}
constexpr Expect refused{1, nullptr};

const Row rows[] = {
    // Zero bytes, garbage, NUL bytes, CR-only line ends, over-long lines.
    {"empty", fail("Cannot read magic.\n"), fail("Cannot read magic.\n"), fail(NOT_INPUT)},
    {"garbage", fail(MAGIC_PNM), fail(MAGIC_FST), fail(NOT_INPUT)},
    {"nul_in_size_line", fail(PNM_WH), fail(MAGIC_FST), fail("P5 failure reading size.\n")},
    {"nul_in_magic_line", {ANY, nullptr}, fail(MAGIC_FST), fail(NOT_INPUT)},
    {"nul_in_comment_value", ok, fail(MAGIC_FST), {0, CONTROL_NUL "Key\n"}},
    {"cr_only_pnm", fail("Cannot read width/height.\n"), fail(MAGIC_FST), fail(NOT_INPUT)},
    {"cr_only_capsule", fail(MAGIC_PNM), fail("Expected 'FIELD' keyword.\n"), fail(NOT_INPUT)},
    // Lines arrive whole, however long: a header comment is one comment (the
    // converter once read the tail of each as a line of its own), a field
    // name too long for its 127 bytes is refused.
    {"long_line_before_size", fail(PNM_WH), fail(MAGIC_FST), ok},
    {"long_comment_value", fail(PNM_WH), fail(MAGIC_FST), ok},
    {"long_field_name", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail("Field name too long.\n")},
    {"long_comment_injection", ok, fail(MAGIC_FST), ok},
    {"long_fieldset_comment", fail(MAGIC_PNM), fail(NOT_CAPSULE), ok},
    // A value with a NUL or CR is dropped with its key, not cut there.
    {"nul_in_patient_name", ok, fail(MAGIC_FST), {0, CONTROL_NUL "PatientName\n"}},
    {"cr_in_patient_id",
     ok,
     fail(MAGIC_FST),
     {0, "Header comment with control character 0x0D dropped: PatientID\n"}},
    // Truncated headers of every format.
    // An image that ends before its size line holds no field: the stream
    // is only the frame (as for P6), which a template then refuses.
    {"p5_magic_only", fail("Cannot read width/height.\n"), fail(MAGIC_FST), {0, nullptr}},
    {"p5_no_depth", fail("Cannot read depth.\n"), fail(MAGIC_FST),
     fail("P5 failure reading depth.\n")},
    {"p5_truncated_pixels", fail("Cannot read line 0.\n"), fail(MAGIC_FST), fail(COPY)},
    {"p5_16bit_odd_bytes", fail("Cannot read line 1.\n"), fail(MAGIC_FST), fail(COPY)},
    {"p6_magic_only", fail("Cannot read width/height.\n"), fail(MAGIC_FST), {0, nullptr}},
    {"p6_no_depth", fail("Cannot read depth.\n"), fail(MAGIC_FST),
     fail("P6 failure reading depth.\n")},
    {"p6_truncated_pixels", fail("Cannot read line 1.\n"), fail(MAGIC_FST), fail(COPY)},
    {"fst_magic_only", fail(MAGIC_PNM), fail("Expected 'FIELD' keyword.\n"), {0, nullptr}},
    {"fst_eof_in_block", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(NO_END)},
    {"fst_eof_after_sizes", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(NO_END)},
    {"capsule_no_size", fail(MAGIC_PNM), fail("Cannot read filesize.\n"), fail(NO_END)},
    {"capsule_no_padded_size", fail(MAGIC_PNM), fail("Cannot read padded filesize.\n"),
     fail(NO_END)},
    // Sizes: negative, huge, not numbers.
    {"p5_negative_width", fail(PNM_WH), fail(MAGIC_FST), fail(IMG_SIZE)},
    {"p5_negative_height", fail(PNM_WH), fail(MAGIC_FST), fail(IMG_SIZE)},
    {"p5_huge", fail(PNM_ALLOC), fail(MAGIC_FST), fail(IMG_SIZE)},
    {"p5_wide_row", fail(PNM_ALLOC), fail(MAGIC_FST), fail(COPY)},
    {"p5_depth_zero", ok, fail(MAGIC_FST), fail("P5 depth is not 1 to 65535.\n")},
    {"p5_depth_70000", fail("Depth too high, not supported.\n"), fail(MAGIC_FST),
     fail("P5 depth is not 1 to 65535.\n")},
    {"p6_negative", fail(PNM_WH), fail(MAGIC_FST), fail(IMG_SIZE)},
    {"p6_huge", fail("Cannot read line 0.\n"), fail(MAGIC_FST), fail(IMG_SIZE)},
    {"p6_depth_65535", fail("Depth too high for non-P5, not supported.\n"), fail(MAGIC_FST),
     fail("P6 depth is not 255.\n")},
    {"p6_zero_width_huge_height", ok, fail(MAGIC_FST), {0, nullptr}},
    {"fst_total_huge", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(FLD_SIZE)},
    {"fst_total_not_number", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(FLD_SIZE)},
    {"fst_total_negative", fail(MAGIC_PNM), fail(NOT_CAPSULE), {0, nullptr}},
    {"capsule_negative_size", fail(MAGIC_PNM), fail("Cannot parse filesize.\n"), {0, nullptr}},
    {"capsule_size_not_number", fail(MAGIC_PNM), fail("Cannot parse filesize.\n"), {0, nullptr}},
    // Fieldset structure.
    {"fst_17_dims", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(DIMS)},
    {"fst_0_dims", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(DIMS)},
    {"fst_dims_not_number", fail(MAGIC_PNM), fail(NOT_CAPSULE), refused},
    {"fst_no_endfield", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(NO_END)},
    {"fst_wrong_endfield", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(NO_END)},
    {"fst_data_short", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(COPY)},
    {"fst_type_no_blank", fail(MAGIC_PNM), fail(NOT_CAPSULE), {0, TYPE}},
    {"fst_type_unbalanced_quotes", fail(MAGIC_PNM), fail(NOT_CAPSULE), {0, nullptr}},
    // Capsules.
    {"capsule_short", fail(MAGIC_PNM), fail("Capsule data ends early.\n"), fail(COPY)},
    {"capsule_bad_type", fail(MAGIC_PNM), fail("Expected 'U8 1' type.\n"), fail(NO_END)},
    {"capsule_two_dims", fail(MAGIC_PNM), fail("Expected 1-dimensional capsule.\n"), fail(NO_END)},
    {"capsule_wrong_name", fail(MAGIC_PNM), fail(NOT_CAPSULE), fail(NO_END)},
    {"capsule_crlf", fail(MAGIC_PNM), ok, fail(NOT_INPUT)},
    // Header comments that try to run commands in m4.
    {"m4_syscmd_comment", ok, fail(MAGIC_FST), {0, QUOTES}},
    {"m4_reserved_name", ok, fail(MAGIC_FST), {0, RESERVED}},
    {"m4_open_quote_comment", ok, fail(MAGIC_FST), {0, QUOTES}},
    // Other formats, single-line PNM headers.
    {"pnm_single_line", fail(MAGIC_PNM), fail(MAGIC_FST), fail(NOT_INPUT)},
    {"pnm_comment_before_magic", fail(MAGIC_PNM), fail(MAGIC_FST), fail(NOT_INPUT)},
    {"png_signature", fail(MAGIC_PNM), fail(MAGIC_FST), fail(NOT_INPUT)},
    // Compressed streams.  The valid one is the control: it must convert.
    {"gzip_valid_p6", fail(MAGIC_PNM), fail(MAGIC_FST), {0, ""}},
    {"gzip_truncated", fail(MAGIC_PNM), fail(MAGIC_FST), fail(COPY)},
    {"gzip_corrupt", fail(MAGIC_PNM), fail(MAGIC_FST), refused},
    {"gzip_bad_crc", fail(MAGIC_PNM), fail(MAGIC_FST), {ANY, nullptr}},
    {"gzip_of_empty", fail(MAGIC_PNM), fail(MAGIC_FST), fail(NOT_INPUT)},
    {"gzip_of_garbage", fail(MAGIC_PNM), fail(MAGIC_FST), fail(NOT_INPUT)},
    // bzip2 delivers whole blocks only: a cut block yields nothing at all.
    {"bzip2_truncated", fail(MAGIC_PNM), fail(MAGIC_FST), fail(NOT_INPUT)},
    {"bzip2_corrupt", fail(MAGIC_PNM), fail(MAGIC_FST), refused},
    {"lzma_truncated", fail(MAGIC_PNM), fail(MAGIC_FST), fail(COPY)},
    {"lzma_corrupt", fail(MAGIC_PNM), fail(MAGIC_FST), refused},
    {"lzma_fake_header", fail(MAGIC_PNM), fail(MAGIC_FST), fail(NOT_INPUT)},
    {"gzip_in_bzip2_truncated_inner", fail(MAGIC_PNM), fail(MAGIC_FST), fail(COPY)},
};

// gtest names a row by its file in listings and failures.
void PrintTo(const Row &r, std::ostream *os) {
    *os << r.file;
}

fs::path corpus() {
    return kvtest::source("tests/badinput/corpus");
}

bool under_valgrind() {
    const char *v = getenv("KUVRA_BADINPUT_VALGRIND");
    return v && *v && std::string(v) != "0";
}

using kvsandbox::describe;
using kvsandbox::Outcome;

// Under valgrind (slow to start: a second or more a run on this machine)
// each program gets the rows that take it furthest into its own paths: past
// its header checks into row, spool and copy loops, long and NUL-holding
// lines, every kind of refusal once.  The sanitized build and the fuzz
// targets cover the rest; the first-line refusals are one path.
constexpr const char *valgrind_rows[] = {
    "empty",
    "garbage",
    "nul_in_size_line",
    "nul_in_comment_value",
    "long_line_before_size",
    "long_comment_value",
    "long_field_name",
    "long_comment_injection",
    "nul_in_patient_name",
    "p5_truncated_pixels",
    "p5_16bit_odd_bytes",
    "p6_truncated_pixels",
    "p5_huge",
    "p5_depth_zero",
    "p6_huge",
    "p6_zero_width_huge_height",
    "fst_eof_in_block",
    "fst_17_dims",
    "fst_no_endfield",
    "fst_data_short",
    "fst_type_no_blank",
    "fst_type_unbalanced_quotes",
    "capsule_short",
    "capsule_crlf",
    "capsule_negative_size",
    "cr_only_capsule",
    "m4_syscmd_comment",
    "m4_reserved_name",
    "gzip_valid_p6",
    "gzip_truncated",
};

bool skip_under_valgrind(const Row &row) {
    if (!under_valgrind()) return false;
    for (const char *name : valgrind_rows)
        if (std::string(name) == row.file) return false;
    return true;
}

// Runs argv with standard input from stdin_path, as a pipe or as the file.
Outcome run(std::vector<std::string> argv, const fs::path &stdin_path, bool as_pipe) {
    kvsandbox::Options opt;
    if (as_pipe)
        opt.input = kvtest::read_file(stdin_path);
    else
        opt.stdin_file = stdin_path.string();
    opt.valgrind = under_valgrind();
    return kvsandbox::run(std::move(argv), opt);
}

bool have_private_tmp() {
    return kvsandbox::have_private_tmp();
}

// The checks every run must pass, whatever the row says.
void check_common(const Outcome &o) {
    EXPECT_EQ(o.r.term_signal, 0) << describe(o.r);
    EXPECT_NE(o.r.status, kvsandbox::TIMED_OUT) << "timed out\n" << describe(o.r);
    EXPECT_NE(o.r.status, kvsandbox::VALGRIND_ERROR) << "valgrind found errors\n" << describe(o.r);
    EXPECT_TRUE(o.orphans.empty())
        << "processes left behind: " << ::testing::PrintToString(o.orphans);
}

void check_expect(const Outcome &o, const Expect &e, bool exact_message) {
    if (e.status == ANY) {
        EXPECT_TRUE(o.r.status == 0 || o.r.status == 1) << describe(o.r);
    } else {
        EXPECT_EQ(o.r.status, e.status) << describe(o.r);
    }
    if (!e.message) return;
    if (exact_message || !*e.message) {
        EXPECT_EQ(o.r.err, e.message) << describe(o.r);
    } else {
        EXPECT_NE(o.r.err.find(e.message), std::string::npos)
            << "missing message: " << e.message << "\n"
            << describe(o.r);
    }
}

class BadInput : public ::testing::TestWithParam<Row> {
  protected:
    fs::path input() const { return corpus() / GetParam().file; }
};

TEST_P(BadInput, Pnmto3d32) {
    const Row &row = GetParam();
    if (skip_under_valgrind(row)) GTEST_SKIP() << "not among the valgrind rows";
    if (!fs::exists(kvtest::bin("kuvra_pnmto3d32"))) GTEST_SKIP() << "not built";
    Outcome o = run({kvtest::bin("kuvra_pnmto3d32"), input().string()}, input(), false);
    check_common(o);
    check_expect(o, row.pnm, true);
    EXPECT_TRUE(o.tmp_left.empty());
    // Header failures come before anything of the volume is written.
    const std::string m = row.pnm.message ? row.pnm.message : "";
    if (row.pnm.status == 1 && m.rfind("Cannot read line", 0) != 0) {
        EXPECT_EQ(o.r.out.size(), 0u) << "output before the header was accepted";
    }
}

TEST_P(BadInput, FstExtract) {
    const Row &row = GetParam();
    if (skip_under_valgrind(row)) GTEST_SKIP() << "not among the valgrind rows";
    if (!fs::exists(kvtest::bin("kuvra_FST_extract"))) GTEST_SKIP() << "not built";
    Outcome o = run({kvtest::bin("kuvra_FST_extract"), input().string()}, input(), false);
    check_common(o);
    check_expect(o, row.fst, true);
    EXPECT_TRUE(o.tmp_left.empty());
    // Nothing reaches standard output before every check has passed; a short
    // capsule writes only bytes it really read.
    const std::string data = kvtest::read_file(input());
    if (row.fst.status == 1 && std::string(row.fst.message) != "Capsule data ends early.\n") {
        EXPECT_EQ(o.r.out.size(), 0u);
    } else if (!o.r.out.empty()) {
        EXPECT_NE(data.find(o.r.out), std::string::npos) << "bytes that are not in the input";
    }
}

// Files left in the private /tmp that the macro stream does not name.
std::vector<std::string> unnamed(const Outcome &o) {
    std::vector<std::string> left;
    for (const auto &n : o.tmp_left)
        if (o.r.out.find("/tmp/" + n) == std::string::npos) left.push_back(n);
    return left;
}

TEST_P(BadInput, PpmtodicomStream) {
    const Row &row = GetParam();
    if (skip_under_valgrind(row)) GTEST_SKIP() << "not among the valgrind rows";
    if (!fs::exists(kvtest::bin("kuvra_ppmtodicom"))) GTEST_SKIP() << "not built";
    Outcome o = run({kvtest::bin("kuvra_ppmtodicom"), "-m"}, input(), true);
    check_common(o);
    check_expect(o, row.cv, false);
    if (have_private_tmp()) {
        EXPECT_TRUE(unnamed(o).empty()) << "files in /tmp that the stream does not name: "
                                        << ::testing::PrintToString(unnamed(o));
    }
    // A refused header comment never reaches m4.
    EXPECT_EQ(o.r.out.find("syscmd([[touch"), std::string::npos);
    EXPECT_EQ(o.r.out.find("U8]]) 1"), std::string::npos);
    EXPECT_EQ(o.r.out.find("[[touch /tmp/kuvra_pwned"), std::string::npos);
}

#ifdef KUVRA_HAVE_SYNTHESIZER
TEST_P(BadInput, PpmtodicomExport) {
    const Row &row = GetParam();
    if (!fs::exists(kvtest::bin("kuvra_ppmtodicom"))) GTEST_SKIP() << "not built";
    // A regular file on standard input this time: the seekable path.
    Outcome o = run({kvtest::bin("kuvra_ppmtodicom"), "-d", "secondary_capture"}, input(), false);
    check_common(o);
    // Refusals are the converter's own and the same as with -m; when the
    // converter accepts the input, the status is the pipeline's.
    if (row.cv.status == 1) check_expect(o, row.cv, false);
    if (have_private_tmp()) {
        EXPECT_TRUE(o.tmp_left.empty())
            << "left in /tmp after -d: " << ::testing::PrintToString(o.tmp_left);
    }
}
#endif

std::string row_name(const ::testing::TestParamInfo<Row> &info) {
    return info.param.file;
}

INSTANTIATE_TEST_SUITE_P(Corpus, BadInput, ::testing::ValuesIn(rows), row_name);

// The table and the corpus cannot drift apart: every file has its row.
TEST(BadInputCorpus, EveryFileHasARow) {
    std::set<std::string> listed;
    for (const Row &r : rows)
        listed.insert(r.file);
    std::set<std::string> present;
    for (const auto &e : fs::directory_iterator(corpus()))
        present.insert(e.path().filename().string());
    EXPECT_EQ(listed, present);
}

// A valgrind row that names no file would silently test nothing.
TEST(BadInputCorpus, ValgrindRowsAreRows) {
    for (const char *name : valgrind_rows) {
        bool found = false;
        for (const Row &r : rows)
            found = found || std::string(r.file) == name;
        EXPECT_TRUE(found) << name;
    }
}

TEST(BadInputCorpus, HarnessSeesOrphansAndTmp) {
    // A process that leaves a sleeping child behind is caught...
    auto o = run({"sh", "-c", "sleep 30 >/dev/null 2>&1 & exit 0"}, corpus() / "empty", false);
    EXPECT_EQ(o.orphans.size(), 1u);
    // ...and so is a file left in /tmp.
    if (have_private_tmp()) {
        o = run({"sh", "-c", "echo x > /tmp/left"}, corpus() / "empty", false);
        EXPECT_EQ(o.tmp_left, std::vector<std::string>{"left"});
    }
}

} // namespace
