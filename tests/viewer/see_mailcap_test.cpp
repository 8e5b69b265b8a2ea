// open_file_via_OS with the platform's own viewer: Debian's "see"
// (run-mailcap), steered by a mailcap file of the test's own.
#include "viewer_fixture.h"

#include <cstdlib>

using namespace viewertest;

TEST_F(ViewerTest, RealSeeReceivesGzipPngByteExact) {
    if (!std::filesystem::exists("/usr/bin/see")) GTEST_SKIP() << "no /usr/bin/see (mailcap)";
    const std::string out = (tmp / "viewed.png").string();
    // The entry names no %s, so run-mailcap gives it the stream on its
    // standard input; the rename marks the copy complete.
    kvtest::write_file(tmp / "mailcap", "image/png; cat > '" + out + ".part' && mv '" + out +
                                            ".part' '" + out + "'\n");
    const char *old = getenv("MAILCAPS");
    const std::string saved = old ? old : "";
    setenv("MAILCAPS", (tmp / "mailcap").c_str(), 1);
    std::filesystem::remove(bindir / "see");
    set_path(std::string(KUVRA_BIN_DIR) + ":/usr/bin:/bin");

    const std::string png = png_bytes(300000);
    EXPECT_EQ(call(sample("image.png.gz", gzipped(png))), 0);
    bool arrived = wait_for([&] { return std::filesystem::exists(out); });
    if (old)
        setenv("MAILCAPS", saved.c_str(), 1);
    else
        unsetenv("MAILCAPS");
    ASSERT_TRUE(arrived) << "the mailcap entry did not run";
    std::string got = kvtest::read_file(out);
    EXPECT_EQ(got.size(), png.size());
    EXPECT_TRUE(got == png) << "the viewed copy differs from the PNG";
    EXPECT_EQ(ring_messages(), std::vector<Message>{});
    expect_children_collected();
}
