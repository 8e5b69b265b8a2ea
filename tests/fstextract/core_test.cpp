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
