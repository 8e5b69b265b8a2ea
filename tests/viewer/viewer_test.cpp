// open_file_via_OS against a recording "see" first on PATH, with the real
// decompressors, kuvra_pipeprefix, kuvra_FST_extract and kuvra_dicom_to_P5.
#include "viewer_fixture.h"

#include <fcntl.h>
#include <unistd.h>

using namespace viewertest;
using Messages = std::vector<Message>;

namespace {

std::string own_stdin() {
    return std::filesystem::read_symlink("/proc/self/fd/0").string();
}

} // namespace

// ---- Content piped into the viewer ------------------------------------------

TEST_F(ViewerTest, GzipPngIsPipedDecompressedWithItsMimeType) {
    const std::string png = png_bytes();
    std::string path = sample("image.png.gz", gzipped(png));
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{"image/png:-"});
    EXPECT_EQ(r.input.size(), png.size());
    EXPECT_TRUE(r.input == png) << "the viewer's stream differs from the PNG";
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(ring_messages(), Messages{});
    expect_children_collected();
}

TEST_F(ViewerTest, PlainPngIsRewoundAndGivenAsTheFileItself) {
    const std::string png = png_bytes(3000);
    std::string path = sample("image.png", png);
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{"image/png:-"});
    // Seekable content reaches the viewer from offset 0 without a push-back child.
    EXPECT_EQ(r.stdin_name, path);
    EXPECT_TRUE(r.input == png);
    expect_children_collected();
}

TEST_F(ViewerTest, CapsuleHoldingJpegPipesTheJpeg) {
    const std::string jpeg = jpeg_bytes();
    std::string path = sample("photo.fst", capsule(jpeg));
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{"image/jpeg:-"});
    EXPECT_TRUE(r.input == jpeg) << "got " << r.input.size() << " bytes";
    EXPECT_EQ(ring_messages(), Messages{});
    expect_children_collected();
}

TEST_F(ViewerTest, ConversionsRepeatThroughCompressionAndNestedCapsules) {
    const std::string jpeg = jpeg_bytes(70000);
    std::string path = sample("nested.fst.gz", gzipped(capsule(capsule(jpeg))));
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{"image/jpeg:-"});
    EXPECT_TRUE(r.input == jpeg) << "got " << r.input.size() << " bytes";
    expect_children_collected();
}

// ---- Content handed over by path ----------------------------------------------

TEST_F(ViewerTest, CapsuleHoldingGzipIsNotDecompressedAgain) {
    std::string path = sample("packed.fst", capsule(gzipped(png_bytes(1000))));
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{path});
    EXPECT_EQ(ring_messages(), Messages{warning_for(path, "application/x-gzip", 2)});
    expect_children_collected();
}

TEST_F(ViewerTest, DicomConvertsToGraymapAndIsGivenByPath) {
    if (!std::filesystem::exists(kvtest::bin("kuvra_dicom_to_P5")))
        GTEST_SKIP() << "kuvra_dicom_to_P5 is not built";
    std::string path = sample("slice.dcm", dicom_file(4, 6));
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{path});
    EXPECT_EQ(r.stdin_name, own_stdin());
    EXPECT_EQ(ring_messages(), Messages{warning_for(path, "image/x-portable-graymap", 8)});
    expect_children_collected();
}

TEST_F(ViewerTest, CompressedDicomIsConvertedFromAPipe) {
    if (!std::filesystem::exists(kvtest::bin("kuvra_dicom_to_P5")))
        GTEST_SKIP() << "kuvra_dicom_to_P5 is not built";
    std::string path = sample("slice.dcm.gz", gzipped(dicom_file(3, 3)));
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{path});
    EXPECT_EQ(ring_messages(), Messages{warning_for(path, "image/x-portable-graymap", 8)});
    expect_children_collected();
}

TEST_F(ViewerTest, GraymapAndTextAreGivenByPathWithTheProcessStdin) {
    struct Case {
        const char *name;
        std::string bytes;
        const char *mime;
        int code;
    };
    const Case cases[] = {
        {"image.pgm", std::string("P5\n2 2\n255\n\1\2\3\4", 15), "image/x-portable-graymap", 8},
        {"notes.txt", "plain words\nand more\n", "x-unknown/x-unknown", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(tmp / "rec");
        std::filesystem::create_directory(tmp / "rec");
        std::string path = sample(c.name, c.bytes);
        const size_t logged = ring_messages().size();
        EXPECT_EQ(call(path), 0);
        Recording r = wait_recording();
        EXPECT_EQ(r.args, std::vector<std::string>{path});
        EXPECT_EQ(r.stdin_name, own_stdin());
        EXPECT_EQ(r.calls, 1);
        Messages now = ring_messages();
        EXPECT_EQ(Messages(now.begin() + std::ptrdiff_t(logged), now.end()),
                  Messages{warning_for(path, c.mime, c.code)});
    }
    expect_children_collected();
}

TEST_F(ViewerTest, WarningGoesToTheLogFileWithCategoryAndMask) {
    std::string path = sample("notes.txt", "text\n");
    EXPECT_EQ(call(path), 0);
    wait_recording();
    debug_set_file(nullptr); // flushes and closes the file
    std::string log = kvtest::read_file(logfile);
    const std::string prefix = ": 3 00000008:";
    auto at = log.find(prefix);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(at + prefix.size()), warning_for(path, "x-unknown/x-unknown", 1).text);
}

TEST_F(ViewerTest, MissingExtractorLeavesUnknownContentForThePathRow) {
    // Only the system's directories: kuvra_FST_extract is not found, so the
    // capsule's stream is empty.
    set_path("/usr/bin:/bin");
    std::string path = sample("photo.fst", capsule(jpeg_bytes()));
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{path});
    EXPECT_EQ(ring_messages(), Messages{warning_for(path, "x-unknown/x-unknown", 1)});
    expect_children_collected();
}

TEST_F(ViewerTest, MalformedCapsuleLeavesUnknownContentForThePathRow) {
    std::string path = sample("broken.fst", "KUVRA_FST\nNOFIELD\n");
    EXPECT_EQ(call(path), 0);
    Recording r = wait_recording();
    EXPECT_EQ(r.args, std::vector<std::string>{path});
    EXPECT_EQ(ring_messages(), Messages{warning_for(path, "x-unknown/x-unknown", 1)});
    expect_children_collected();
}

// ---- Refusals and failures ------------------------------------------------------

TEST_F(ViewerTest, VolumeAndMissingPathAreRefusedWithoutViewerOrMessage) {
    const std::string volume = sample("vol.3d32", "3D32\n2 2 1\n" + std::string(16, '\0'));
    for (const std::string &path : {volume, (tmp / "absent.png").string()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(call(path), -1);
        // Neither needs a child: nothing may have been started.
        EXPECT_EQ(children(), std::vector<pid_t>{});
    }
    EXPECT_EQ(open_file_via_OS(nullptr), -1);
    EXPECT_EQ(ring_messages(), Messages{});
    EXPECT_FALSE(std::filesystem::exists(tmp / "rec" / "calls"));
}

TEST_F(ViewerTest, CompressedVolumeIsRefusedAndItsChildrenEnd) {
    std::string path = sample("vol.3d32.gz", gzipped("3D32\n" + std::string(100000, '\7')));
    EXPECT_EQ(call(path), -1);
    EXPECT_EQ(ring_messages(), Messages{});
    // The decompressor loses its reader and ends; nothing is left behind.
    expect_children_collected();
    EXPECT_FALSE(std::filesystem::exists(tmp / "rec" / "calls"));
}

// With descriptor 0 closed the viewer cannot be started: its standard input
// cannot be saved for the start.  Both rows then report the failure, and the
// opened file never takes the free slot 0 (where it would be mistaken for
// the process's own input and never closed).
TEST_F(ViewerTest, ViewerThatCannotStartIsReportedInBothRows) {
    std::string png = sample("image.png", png_bytes(100));
    std::string text = sample("notes.txt", "words\n");
    int saved = fcntl(0, F_DUPFD_CLOEXEC, 10);
    ASSERT_GE(saved, 0);
    close(0);
    int png_result = call(png);
    bool zero_free_after_png = fcntl(0, F_GETFD) == -1;
    int text_result = call(text);
    bool zero_free_after_text = fcntl(0, F_GETFD) == -1;
    dup2(saved, 0);
    close(saved);

    EXPECT_EQ(png_result, -1);
    EXPECT_EQ(text_result, -1);
    EXPECT_TRUE(zero_free_after_png);
    EXPECT_TRUE(zero_free_after_text);
    EXPECT_EQ(
        ring_messages(),
        (Messages{see_failed(-1), warning_for(text, "x-unknown/x-unknown", 1), see_failed(-1)}));
    EXPECT_FALSE(std::filesystem::exists(tmp / "rec" / "calls"));
}

TEST_F(ViewerTest, ViewerMissingFromPathStillCountsAsStarted) {
    std::filesystem::remove(bindir / "see");
    set_path(std::string(KUVRA_BIN_DIR) + ":/nonexistent");
    EXPECT_EQ(call(sample("image.png", png_bytes(100))), 0);
    EXPECT_EQ(ring_messages(), Messages{});
    expect_children_collected();
}
