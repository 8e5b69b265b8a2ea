// The extraction driven in-process over memory streams, as a fuzz driver
// runs it: messages go to the given stream and the input is left where the
// file's bytes end.
#include "fstextract.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memstreams.h>
#include <string>

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

TEST(FstExtractCoreFiles, ShortFileWritesWhatThereWasThenReports) {
    const std::string text =
        "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n100000\n100000\n" + std::string(70000, 'x');
    FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
    ASSERT_TRUE(in && out && err);
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), in), text.size());
    rewind(in);
    EXPECT_EQ(fst_extract_capsule(in, out, err), 1);
    fflush(out);
    EXPECT_TRUE(read_stream(out) == std::string(70000, 'x'));
    EXPECT_EQ(read_stream(err), "Capsule data ends early.\n");
    fclose(in);
    fclose(out);
    fclose(err);
}

} // namespace
