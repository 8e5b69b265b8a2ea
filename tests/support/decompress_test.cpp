// Opening through stacked compression with the real gzip, bzip2 and lzma and
// the built kuvra_pipeprefix: contents, codes, descriptors and children.
#include <kuvra/filetype.h>
#include <kuvra/pipes.h>

#include "kvtest.h"
#include "proctest.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using proctest::DescriptorRoom;
using proctest::pipe_with;
using proctest::read_all;

namespace {

struct Format {
    const char *name;
    std::vector<std::string> compress; // argv of the compressing filter
};

const Format kGzip{"gzip", {"gzip", "-c"}};
const Format kBzip2{"bzip2", {"bzip2", "-c"}};
const Format kLzma{"lzma", {"lzma", "-c"}};
const Format kFormats[] = {kGzip, kBzip2, kLzma};

std::string squeeze(const std::string &data, const std::vector<std::string> &argv) {
    kvtest::RunOptions o;
    o.input = data;
    auto r = kvtest::run(argv, o);
    EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    return r.out;
}

// A small P5 image; the code of its content is 8.
std::string p5_image(size_t pixels = 64) {
    std::string img = "P5\n" + std::to_string(pixels) + " 1\n255\n";
    for (size_t i = 0; i < pixels; ++i)
        img += char(i * 7 + 3);
    return img;
}

class Decompress : public ::testing::Test {
  protected:
    void SetUp() override {
        pipethrough_catch_SIGCHLD();
        std_before_ = proctest::std_ids();
        fds_before_ = kvtest::open_fd_count();
    }
    void TearDown() override {
        EXPECT_EQ(proctest::std_ids(), std_before_) << "standard descriptors rebound";
        EXPECT_EQ(kvtest::open_fd_count(), fds_before_) << "descriptor leaked";
        EXPECT_TRUE(proctest::eventually([] { return proctest::children().empty(); }, 5s))
            << proctest::children().size() << " children left";
    }
    std::string file(const std::string &name, const std::string &bytes) {
        kvtest::write_file(dir_ / name, bytes);
        return (dir_ / name).string();
    }

    kvtest::TempDir dir_;

  private:
    proctest::StdIds std_before_{};
    int fds_before_ = 0;
};

// Code and whole stream of a path.
std::pair<int, std::string> open_path(const std::string &path) {
    int fd = -7;
    int code = getmagic_open_compressed(path.c_str(), &fd);
    if (fd < 0) return {code, "<no descriptor>"};
    std::string s = read_all(fd);
    close(fd);
    return {code, s};
}

std::pair<int, std::string> open_fd(int in) {
    int fd = -7;
    int code = getmagic_open_compressed_fd(in, &fd);
    if (fd < 0) return {code, "<no descriptor>"};
    std::string s = read_all(fd);
    close(fd);
    return {code, s};
}

TEST_F(Decompress, EveryTwoLayerNestingInAFileAndOnAPipe) {
    const std::string image = p5_image(3000);
    for (const auto &outer : kFormats) {
        for (const auto &inner : kFormats) {
            SCOPED_TRACE(std::string(outer.name) + " around " + inner.name);
            std::string packed = squeeze(squeeze(image, inner.compress), outer.compress);
            auto [code, content] = open_path(file("nested", packed));
            EXPECT_EQ(code, KV_MAGIC_PGM);
            EXPECT_TRUE(content == image) << content.size() << " bytes";

            std::tie(code, content) = open_fd(pipe_with(packed));
            EXPECT_EQ(code, KV_MAGIC_PGM);
            EXPECT_TRUE(content == image) << content.size() << " bytes";
        }
    }
}

TEST_F(Decompress, LargeContentThroughOneLayerEach) {
    std::string image = p5_image(3 * 1024 * 1024);
    for (const auto &f : kFormats) {
        SCOPED_TRACE(f.name);
        auto [code, content] = open_path(file("big", squeeze(image, f.compress)));
        EXPECT_EQ(code, KV_MAGIC_PGM);
        EXPECT_TRUE(content == image) << content.size() << " bytes";
    }
}

TEST_F(Decompress, PlainFileIsRecognisedAndReturnedFromItsStart) {
    std::string path = file("plain.pgm", p5_image());
    int in = open(path.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    // Not at the start before the call: code and stream are still those of
    // the whole file.
    ASSERT_EQ(lseek(in, 17, SEEK_SET), 17);
    int out = -7;
    EXPECT_EQ(getmagic_open_compressed_fd(in, &out), KV_MAGIC_PGM);
    EXPECT_EQ(out, in);
    EXPECT_TRUE(proctest::children().empty()) << "a child was started";
    EXPECT_EQ(lseek(out, 0, SEEK_CUR), 0);
    EXPECT_EQ(read_all(out), p5_image());
    close(out);
}

// Names of the live children, as the kernel keeps them (15 bytes at most).
std::vector<std::string> child_names() {
    std::vector<std::string> names;
    for (pid_t p : proctest::children()) {
        std::string comm = kvtest::read_file("/proc/" + std::to_string(p) + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        names.push_back(comm);
    }
    return names;
}

TEST_F(Decompress, CompressedFileGoesToTheDecompressorRewound) {
    // Content larger than two pipe buffers (1 MiB each: the library enlarges
    // the pipes it reads children's output from) keeps every child alive
    // until it is read.  A compressed file is seekable: the decompressor reads it
    // from its start, and only the decompressed pipe needs the sniffed bytes
    // put back.
    // Noise, so that the compressed file is as large: a child copying it
    // would still be there too.
    std::string image = "P5\n4194304 1\n255\n";
    uint32_t x = 12345;
    for (int i = 0; i < (1 << 22); ++i) {
        x = x * 1103515245u + 12345u;
        image += char(x >> 24);
    }
    for (const Format &f : kFormats) {
        std::string path = file(std::string("big.") + f.name, squeeze(image, f.compress));
        int in = open(path.c_str(), O_RDONLY);
        ASSERT_GE(in, 0);
        int out = -7;
        EXPECT_EQ(getmagic_open_compressed_fd(in, &out), KV_MAGIC_PGM) << f.name;
        ASSERT_GE(out, 0);
        // A child's name changes at its exec, a moment after vfork has
        // returned here.
        std::vector<std::string> names;
        EXPECT_TRUE(proctest::eventually(
            [&] {
                names = child_names();
                return std::count(names.begin(), names.end(), "test_support") == 0;
            },
            2s));
        EXPECT_EQ(std::count(names.begin(), names.end(), "kuvra_pipeprefi"), 1) << f.name;
        EXPECT_EQ(names.size(), 2u) << f.name;
        EXPECT_TRUE(read_all(out) == image) << f.name;
        close(out);
    }
}

TEST_F(Decompress, CompressedFileNotAtItsStartIsReadFromItsStart) {
    std::string image = p5_image();
    std::string path = file("image.gz", squeeze(image, kGzip.compress));
    int in = open(path.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    ASSERT_EQ(lseek(in, 5, SEEK_SET), 5);
    auto [code, content] = open_fd(in);
    EXPECT_EQ(code, KV_MAGIC_PGM);
    EXPECT_EQ(content, image);
}

TEST_F(Decompress, PlainStreamOnAPipeComesBackWhole) {
    std::string text = "just some text, not a known type\n";
    auto [code, content] = open_fd(pipe_with(text));
    EXPECT_EQ(code, KV_MAGIC_UNKNOWN);
    EXPECT_EQ(content, text);
    // A stream too short for the first step.
    std::tie(code, content) = open_fd(pipe_with("P"));
    EXPECT_EQ(code, KV_MAGIC_UNKNOWN);
    EXPECT_EQ(content, "P");
    std::tie(code, content) = open_fd(pipe_with(""));
    EXPECT_EQ(code, KV_MAGIC_UNKNOWN);
    EXPECT_EQ(content, "");
}

TEST_F(Decompress, StandardInputStaysOpenWhenAChildTakesIt) {
    std::string image = p5_image();
    int in = pipe_with(squeeze(image, kGzip.compress));
    auto saved = dup(0);
    dup2(in, 0);
    close(in);
    auto ids = proctest::std_ids();
    int out = -7;
    int code = getmagic_open_compressed_fd(0, &out);
    EXPECT_EQ(proctest::std_ids(), ids);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(code, KV_MAGIC_PGM);
    ASSERT_GT(out, 2);
    EXPECT_EQ(read_all(out), image);
    close(out);
}

TEST_F(Decompress, LzmaWithOtherHeaderBytesIsNotUnwrapped) {
    // A 4 KiB dictionary puts 00 10 after the properties byte.
    std::string packed = squeeze(p5_image(), {"lzma", "-c", "--lzma1=preset=6,dict=4KiB"});
    ASSERT_GE(packed.size(), 3u);
    ASSERT_EQ(packed.substr(0, 3), std::string("\x5d\x00\x10", 3));
    auto [code, content] = open_path(file("odd.lzma", packed));
    EXPECT_EQ(code, KV_MAGIC_UNKNOWN);
    EXPECT_TRUE(content == packed);
}

TEST_F(Decompress, CompressFormatComesBackStillCompressed) {
    std::string packed = squeeze(p5_image(2000), {"compress", "-c", "-f"});
    ASSERT_EQ(packed.substr(0, 2), "\x1f\x9d");
    auto [code, content] = open_path(file("image.Z", packed));
    EXPECT_EQ(code, KV_MAGIC_COMPRESS);
    EXPECT_TRUE(content == packed);
    // Inside a gzip layer as well.
    std::tie(code, content) = open_path(file("image.Z.gz", squeeze(packed, kGzip.compress)));
    EXPECT_EQ(code, KV_MAGIC_COMPRESS);
    EXPECT_TRUE(content == packed);
}

TEST_F(Decompress, SixteenLayersArePeeledAndNoMore) {
    // A stream that decompresses to itself must not start children without
    // end; beyond sixteen layers the stream comes back still compressed.
    std::string image = p5_image();
    std::vector<std::string> layers = {image};
    for (int i = 0; i < 17; ++i)
        layers.push_back(squeeze(layers.back(), kGzip.compress));
    auto [code, content] = open_path(file("sixteen", layers[16]));
    EXPECT_EQ(code, KV_MAGIC_PGM);
    EXPECT_EQ(content, image);
    std::tie(code, content) = open_path(file("seventeen", layers[17]));
    EXPECT_EQ(code, KV_MAGIC_GZIP);
    EXPECT_TRUE(content == layers[1]);
}

TEST_F(Decompress, BrokenLayerGivesAnEmptyUnknownStream) {
    // gzip's magic followed by rubbish: gunzip fails and writes nothing.
    std::string bad = std::string("\x1f\x8b", 2) + "this is not deflate data at all";
    auto [code, content] = open_path(file("bad.gz", bad));
    EXPECT_EQ(code, KV_MAGIC_UNKNOWN);
    EXPECT_EQ(content, "");
}

TEST_F(Decompress, MissingDecompressorGivesAnEmptyUnknownStream) {
    std::string packed = squeeze(p5_image(), kBzip2.compress);
    std::string path = file("image.bz2", packed);
    // Only kuvra_pipeprefix is left on PATH.
    std::string old = getenv("PATH");
    setenv("PATH", (std::string(KUVRA_BIN_DIR) + ":/nonexistent").c_str(), 1);
    auto [code, content] = open_path(path);
    setenv("PATH", old.c_str(), 1);
    EXPECT_EQ(code, KV_MAGIC_UNKNOWN);
    EXPECT_EQ(content, "");
}

TEST_F(Decompress, NoSourceGivesErrorCodeAndNoDescriptor) {
    int out = 5;
    EXPECT_EQ(getmagic_open_compressed_fd(-1, &out), KV_MAGIC_ERROR);
    EXPECT_EQ(out, -1);
    out = 5;
    EXPECT_EQ(getmagic_open_compressed((dir_ / "missing").c_str(), &out), KV_MAGIC_ERROR);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(open_file_for_load((dir_ / "missing").c_str(), KV_MAGIC_ERROR), nullptr);
    EXPECT_EQ(open_file_for_load((dir_ / "missing").c_str(), KV_MAGIC_PGM), nullptr);
}

TEST_F(Decompress, EveryFailedLinkEndsTheChainCleanly) {
    // With descriptors scarce, some start inside the chain fails.  Whatever
    // the point of failure, the result is either the content or code 0 with
    // no descriptor, and nothing is left open.
    std::string image = p5_image();
    std::string path = file("two.gz.bz2", squeeze(squeeze(image, kGzip.compress), kBzip2.compress));
    bool saw_failure = false, saw_success = false;
    for (int room = 0; room <= 16; ++room) {
        SCOPED_TRACE("room " + std::to_string(room));
        int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(in, 0);
        int code, out = -7, left;
        std::string content;
        {
            DescriptorRoom limit(room);
            code = getmagic_open_compressed_fd(in, &out);
            if (out >= 0) {
                content = read_all(out);
                close(out);
            }
            left = DescriptorRoom::free_now();
        }
        if (out < 0) {
            saw_failure = true;
            EXPECT_EQ(code, KV_MAGIC_ERROR);
            EXPECT_EQ(out, -1);
        } else {
            saw_success = true;
            EXPECT_EQ(code, KV_MAGIC_PGM);
            EXPECT_EQ(content, image);
        }
        // The input's own slot is free again as well.
        EXPECT_EQ(left, room + 1) << "descriptors left behind";
    }
    EXPECT_TRUE(saw_failure);
    EXPECT_TRUE(saw_success);
}

TEST_F(Decompress, OpenForLoadWithRightAndWrongExpectedCode) {
    std::string image = p5_image();
    std::string path = file("image.pgm.gz", squeeze(image, kGzip.compress));
    FILE *f = open_file_for_load(path.c_str(), KV_MAGIC_PGM);
    ASSERT_NE(f, nullptr);
    char head[4] = {};
    ASSERT_EQ(fread(head, 1, 3, f), 3u);
    EXPECT_STREQ(head, "P5\n");
    std::string rest;
    for (int c; (c = fgetc(f)) != EOF;)
        rest += char(c);
    EXPECT_EQ("P5\n" + rest, image);
    fclose(f);

    EXPECT_EQ(open_file_for_load(path.c_str(), KV_MAGIC_PPM), nullptr);
    EXPECT_EQ(open_file_for_load(path.c_str(), KV_MAGIC_GZIP), nullptr);
    // A plain file on the plain path.
    std::string plain = file("image.pgm", image);
    f = open_file_for_load(plain.c_str(), KV_MAGIC_PGM);
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(open_file_for_load(plain.c_str(), KV_MAGIC_UNKNOWN), nullptr);
}

TEST_F(Decompress, ThousandCallsLeaveNoDescriptorsOrChildren) {
    std::string image = p5_image();
    std::vector<std::string> paths = {
        file("plain.pgm", image),
        file("image.gz", squeeze(image, kGzip.compress)),
        file("text", "not an image\n"),
        file("image.bz2", squeeze(image, kBzip2.compress)),
        file("plain2.pgm", image),
        file("image.lzma", squeeze(image, kLzma.compress)),
        file("image.Z", squeeze(image, {"compress", "-c", "-f"})),
        file("empty", ""),
    };
    const int expected[] = {KV_MAGIC_PGM, KV_MAGIC_PGM, KV_MAGIC_UNKNOWN,  KV_MAGIC_PGM,
                            KV_MAGIC_PGM, KV_MAGIC_PGM, KV_MAGIC_COMPRESS, KV_MAGIC_UNKNOWN};
    auto ids = proctest::std_ids();
    int fds = kvtest::open_fd_count();
    int wrong = 0, rebound = 0;
    for (int i = 0; i < 1000; ++i) {
        size_t k = size_t(i) % paths.size();
        int out = -7;
        if (getmagic_open_compressed(paths[k].c_str(), &out) != expected[k] || out < 0) ++wrong;
        if (out >= 0) close(out);
        if (proctest::std_ids() != ids) ++rebound;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(rebound, 0);
    EXPECT_EQ(kvtest::open_fd_count(), fds);
    EXPECT_TRUE(proctest::eventually([] { return proctest::children().empty(); }, 10s))
        << proctest::children().size() << " children left, " << proctest::zombie_children().size()
        << " of them zombies";
}

} // namespace
