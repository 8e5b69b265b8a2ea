// The conversion driven in-process over memory streams, as a fuzz driver
// runs it: messages go to the given stream and the input is left where the
// image ends.
#include "pnmto3d32.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memstreams.h>
#include <string>

namespace {

using kvtest::Streams;

TEST(Pnmto3d32Core, HeaderOnlyLeavesInputAtTheFirstSample) {
    Streams s("P5\n# c\n2 1\n255\nAB rest");
    ASSERT_TRUE(s.in && s.out && s.err);
    EXPECT_EQ(pnmto3d32_convert(s.in, s.out, s.err, PNMTO3D32_HEADER), 0);
    EXPECT_EQ(s.out_text(), "3D32\n2 1 1\n\n");
    EXPECT_EQ(fgetc(s.in), 'A');
}

TEST(Pnmto3d32Core, DataLeavesInputAfterTheLastRow) {
    Streams s("P5\n2 1\n255\nABxyz");
    ASSERT_TRUE(s.in && s.out && s.err);
    EXPECT_EQ(pnmto3d32_convert(s.in, s.out, s.err, PNMTO3D32_DATA), 0);
    EXPECT_EQ(s.out_text(), std::string("\0\0A\0\0\0B\0", 8));
    EXPECT_EQ(fgetc(s.in), 'x');
    EXPECT_EQ(s.err_text(), "");
}

TEST(Pnmto3d32Core, MessagesGoToTheGivenStream) {
    Streams s("P6\n1 1\n300\n");
    ASSERT_TRUE(s.in && s.out && s.err);
    EXPECT_EQ(pnmto3d32_convert(s.in, s.out, s.err, PNMTO3D32_BOTH), 1);
    EXPECT_EQ(s.err_text(), "Depth too high for non-P5, not supported.\n");
    EXPECT_EQ(s.out_text(), "");
}

} // namespace
