// The installed library as another program of the product uses it: this
// build tree installed with cmake --install into a scratch prefix, moved
// elsewhere (an installed tree must not name where it was made), and a C
// program built against it through find_package(kuvra) and pkg-config.
#include "kvtest.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const std::string kExpected = "image/png abc cut\n";

class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        work_ = new kvtest::TempDir;
        auto r = kvtest::run({KUVRA_CMAKE, "--install", KUVRA_BUILD_DIR, "--prefix",
                              (work_->path() / "staged").string()});
        log_ = r.out + r.err;
        if (r.status == 0) fs::rename(work_->path() / "staged", prefix());
    }
    static void TearDownTestSuite() {
        delete work_;
        work_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(fs::exists(prefix())) << "install failed:\n" << log_; }

    static fs::path prefix() { return work_->path() / "prefix"; }
    static fs::path libdir() { return prefix() / KUVRA_LIBDIR; }

    // Configures and builds the consumer project against the prefix,
    // asking find_package for the given version.
    static kvtest::RunResult cmake_build(const fs::path &dir, const std::string &version) {
        auto r =
            kvtest::run({KUVRA_CMAKE, "-S", KUVRA_CONSUMER_DIR, "-B", dir.string(),
                         "-DCMAKE_C_COMPILER=" KUVRA_CC, "-DCMAKE_PREFIX_PATH=" + prefix().string(),
                         "-DKUVRA_WANTED=" + version});
        if (r.status != 0) return r;
        return kvtest::run({KUVRA_CMAKE, "--build", dir.string()});
    }

    static kvtest::TempDir *work_;
    static std::string log_;
};

kvtest::TempDir *Installed::work_ = nullptr;
std::string Installed::log_;

TEST_F(Installed, HoldsTheLibraryHeadersAndBothPackageFiles) {
    for (const fs::path &f :
         {libdir() / "libkuvra_support.a", libdir() / "cmake/kuvra/kuvraConfig.cmake",
          libdir() / "cmake/kuvra/kuvraConfigVersion.cmake", libdir() / "pkgconfig/kuvra.pc"})
        EXPECT_TRUE(fs::is_regular_file(f)) << f;
    for (const auto &e : fs::directory_iterator(kvtest::source("support/include/kuvra")))
        EXPECT_TRUE(fs::exists(prefix() / "include/kuvra" / e.path().filename())) << e.path();
    // The helpers of the programs are no part of what is installed.
    EXPECT_FALSE(fs::exists(prefix() / "include/kuvra/internal"));
}

TEST_F(Installed, FindPackageBuildsACProgram) {
    fs::path dir = work_->path() / "cmake-build";
    auto r = cmake_build(dir, KUVRA_VERSION);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto run = kvtest::run({(dir / "consumer").string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kExpected);
    // Another major version is refused by the version file.
    auto other = cmake_build(work_->path() / "cmake-other", "99.0");
    EXPECT_NE(other.status, 0);
    EXPECT_NE((other.out + other.err).find("requested version \"99.0\""), std::string::npos)
        << other.out << other.err;
}

TEST_F(Installed, PkgConfigBuildsACProgram) {
    kvtest::RunOptions opt;
    // Only the installed tree: not the system's own .pc files.
    opt.env = {"PKG_CONFIG_LIBDIR=" + (libdir() / "pkgconfig").string(), "PKG_CONFIG_PATH"};
    auto version = kvtest::run({KUVRA_PKG_CONFIG, "--modversion", "kuvra"}, opt);
    EXPECT_EQ(version.out, std::string(KUVRA_VERSION) + "\n") << version.err;
    fs::path exe = work_->path() / "pc-consumer";
    opt.env.push_back("PC=" KUVRA_PKG_CONFIG);
    auto r = kvtest::sh(std::string(KUVRA_CC) + " -std=c11 -o " + exe.string() + " " +
                            KUVRA_CONSUMER_DIR + "/consumer.c $(\"$PC\" --cflags --libs kuvra)",
                        opt);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto run = kvtest::run({exe.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kExpected);
}

} // namespace
