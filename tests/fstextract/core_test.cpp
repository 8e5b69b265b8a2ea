// The extraction driven in-process over memory streams, as a fuzz driver
// runs it: messages go to the given stream and the input is left where the
// file's bytes end.
#include "fstextract.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memstreams.h>
#include <string>
#include <sys/stat.h>

namespace {

using kvtest::Streams;

TEST(FstExtractCore, InputIsLeftRightAfterTheFileBytes) {
    Streams s("KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n3\n8\nabcPADDING");
    ASSERT_TRUE(s.in && s.out && s.err);
    EXPECT_EQ(fst_extract_capsule(s.in, s.out, s.err), 0);
    EXPECT_EQ(s.out_text(), "abc");
    EXPECT_EQ(s.err_text(), "");
    EXPECT_EQ(fgetc(s.in), 'P');
}

TEST(FstExtractCore, MessagesGoToTheGivenStream) {
    Streams s("KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n5\n5\nab");
    ASSERT_TRUE(s.in && s.out && s.err);
    EXPECT_EQ(fst_extract_capsule(s.in, s.out, s.err), 1);
    EXPECT_EQ(s.err_text(), "Capsule data ends early.\n");
    EXPECT_EQ(s.out_text(), "ab");
}

} // namespace

namespace {

// A capsule on real files: the copy from a regular file does not go through
// stdio's buffer, so where the stream stands afterwards and what reached the
// output are checked on file streams too.
std::string read_stream(FILE *f) {
    std::string s;
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;)
        s.push_back(char(c));
    return s;
}

TEST(FstExtractCoreFiles, FileToFileLeavesTheInputRightAfterTheBytes) {
    // A payload larger than stdio's buffer and not aligned in the file
    // (a comment line shifts it), then padding that must stay unread.
    std::string payload(300000, '\0');
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = char((i * 7 + i / 4093) & 0xff);
    const std::string text = "KUVRA_FST\n# a comment\nFIELD\nFileCapsule\nU8 1\n1\n" +
                             std::to_string(payload.size()) + "\n300008\n" + payload + "PADDING!";
    FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
    ASSERT_TRUE(in && out && err);
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), in), text.size());
    rewind(in);
    // Output already holding bytes: they stay in front of the payload.
    fputs("before:", out);
    EXPECT_EQ(fst_extract_capsule(in, out, err), 0);
    EXPECT_EQ(fgetc(in), 'P');
    fflush(out);
    EXPECT_TRUE(read_stream(out) == "before:" + payload);
    EXPECT_EQ(read_stream(err), "");
    fclose(in);
    fclose(out);
    fclose(err);
}

// The copy between files takes one of two ways, by whether the payload and
// the output position lie at the same offset within a page: both must give
// the same bytes and leave the input in the same place.
TEST(FstExtractCoreFiles, BothOffsetsWithinAPageGiveTheSameFile) {
    std::string payload(200000, '\0');
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = char((i * 13 + i / 4091) & 0xff);
    const std::string tail =
        "FIELD\nFileCapsule\nU8 1\n1\n" + std::to_string(payload.size()) + "\n200000\n";
    for (size_t shift : {size_t(0), size_t(1), size_t(4095)}) {
        // "KUVRA_FST\n#" + filler + "\n" + tail puts the payload at 4096 + 7
        // + shift: at the output's offset within its page for shift 0.
        size_t fill = 4096 + 7 + shift - 12 - tail.size();
        const std::string text =
            "KUVRA_FST\n#" + std::string(fill, 'c') + "\n" + tail + payload + "PAD";
        ASSERT_EQ(text.find(payload), 4096 + 7 + shift);
        FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
        ASSERT_TRUE(in && out && err);
        ASSERT_EQ(fwrite(text.data(), 1, text.size(), in), text.size());
        rewind(in);
        fputs("before:", out);
        EXPECT_EQ(fst_extract_capsule(in, out, err), 0) << shift;
        EXPECT_EQ(fgetc(in), 'P') << shift;
        fflush(out);
        EXPECT_TRUE(read_stream(out) == "before:" + payload) << shift;
        EXPECT_EQ(read_stream(err), "") << shift;
        fclose(in);
        fclose(out);
        fclose(err);
    }
}

TEST(FstExtractCoreFiles, ShortFileWritesWhatThereWasThenReports) {
    const std::string text =
        "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n1000000\n1000000\n" + std::string(70000, 'x');
    FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
    ASSERT_TRUE(in && out && err);
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), in), text.size());
    rewind(in);
    EXPECT_EQ(fst_extract_capsule(in, out, err), 1);
    fflush(out);
    EXPECT_TRUE(read_stream(out) == std::string(70000, 'x'));
    EXPECT_EQ(read_stream(err), "Capsule data ends early.\n");
    // The blocks reserved for the whole declared size are given back.
    struct stat st {};
    ASSERT_EQ(fstat(fileno(out), &st), 0);
    EXPECT_LT(int64_t(st.st_blocks) * 512, 200000) << "reserved blocks kept after a short copy";
    fclose(in);
    fclose(out);
    fclose(err);
}

} // namespace
