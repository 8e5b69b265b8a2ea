// The conversion driven in-process over memory streams, as a fuzz driver
// runs it: messages go to the given stream and the input is left where the
// image ends.
#include "pnmto3d32.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memstreams.h>
#include <string>
#include <sys/stat.h>

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

// Streams on regular files go the descriptor way: pread on the input at
// known offsets, batches straight to the output.  Header lengths move the
// samples and the voxels to every kind of place within a page; the volume,
// the input position after it and the bytes already in the output must
// come out as through any other stream.
TEST(Pnmto3d32CoreFiles, RegularFilesGiveTheSameVolumeWhereverTheDataLie) {
    // Batches of 174 rows (1 MiB of voxels): two whole, one short.
    const int w = 1500, h = 400;
    std::string px(size_t(w) * h * 3, '\0');
    for (size_t i = 0; i < px.size(); i++)
        px[i] = char((i * 31 + i / 4099) & 0xff);
    std::string voxels;
    for (size_t i = 0; i < px.size(); i += 3)
        voxels += std::string{'\0', px[i], px[i + 1], px[i + 2]};
    const std::string vol_header =
        "3D32\n" + std::to_string(w) + " " + std::to_string(h) + " 1\n\n";
    for (size_t comment : {size_t(0), size_t(1), size_t(4000), size_t(4079)}) {
        for (const std::string &before : {std::string(), std::string("earlier\n")}) {
            std::string text =
                "P6\n" + (comment ? std::string("#").append(comment, 'c').append("\n") : "") +
                std::to_string(w) + " " + std::to_string(h) + "\n255\n" + px + "tail";
            FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
            ASSERT_TRUE(in && out && err);
            ASSERT_EQ(fwrite(text.data(), 1, text.size(), in), text.size());
            rewind(in);
            fputs(before.c_str(), out);
            EXPECT_EQ(pnmto3d32_convert(in, out, err, PNMTO3D32_BOTH), 0);
            EXPECT_EQ(fgetc(in), 't') << comment;
            std::string got(size_t(ftello(out)), '\0');
            rewind(out);
            ASSERT_EQ(fread(got.data(), 1, got.size(), out), got.size());
            EXPECT_TRUE(got == before + vol_header + voxels) << comment << " " << before;
            fclose(in);
            fclose(out);
            fclose(err);
        }
    }
}

// A short image on files: the whole rows before the cut go out, the
// message names the first missing row, and the blocks reserved for the
// whole volume are given back.
TEST(Pnmto3d32CoreFiles, ShortInputKeepsTheWholeRowsAndNoReservedBlocks) {
    const int w = 1000, h = 4000;
    std::string text = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" +
                       std::string(size_t(w) * 300 + 10, 'a'); // cut in the second batch
    FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
    ASSERT_TRUE(in && out && err);
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), in), text.size());
    rewind(in);
    EXPECT_EQ(pnmto3d32_convert(in, out, err, PNMTO3D32_DATA), 1);
    fflush(err);
    rewind(err);
    char msg[64] = {};
    ASSERT_NE(fgets(msg, sizeof msg, err), nullptr);
    EXPECT_STREQ(msg, "Cannot read line 300.\n");
    struct stat st {};
    ASSERT_EQ(fstat(fileno(out), &st), 0);
    EXPECT_EQ(st.st_size, int64_t(w) * 300 * 4);
    // 16 MB were reserved; what stays is what the 1.2 MB written need.
    EXPECT_LT(int64_t(st.st_blocks) * 512, 2 * st.st_size) << "reserved blocks kept";
    fclose(in);
    fclose(out);
    fclose(err);
}

} // namespace
