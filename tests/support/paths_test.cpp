#include <kuvra/fileutil.h>

#include "kvtest.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// Sets or unsets one environment variable for the span of a test.
class EnvVar {
  public:
    EnvVar(const char *name, const char *value) : name_(name) {
        if (const char *old = getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    EnvVar(const EnvVar &) = delete;
    EnvVar &operator=(const EnvVar &) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// The install state as a fresh process has it.
void reset_install_state() {
    prog_name = "";
    prog_path[0] = '\0';
    ENV_PATH_PATH[0] = '\0';
}

void make_program(const fs::path &p, fs::perms perms = fs::perms::owner_all) {
    fs::create_directories(p.parent_path());
    kvtest::write_file(p, "#!/bin/sh\n");
    fs::permissions(p, perms);
}

// A directory below base whose path is exactly len characters long
// (components kept well under the file-name limit).
fs::path deep_dir(const fs::path &base, size_t len) {
    std::string p = base.string();
    while (p.size() < len) {
        size_t part = std::min<size_t>(100, len - p.size() - 1);
        if (part == 0) { // one character left: cannot add "/x" in one go
            p.pop_back();
            continue;
        }
        p += "/" + std::string(part, 'd');
    }
    fs::create_directories(p);
    return p;
}

} // namespace

TEST(DetectInstallpath, DirectoryOfArgumentZero) {
    EnvVar path("PATH", "/usr/bin:/bin");
    struct Case {
        const char *argv0, *name, *path;
    } cases[] = {
        {"/opt/x/bin/conv", "conv", "/opt/x"},
        {"./conv", "conv", "."},
        {"/opt/x/bin///conv", "conv", "/opt/x"}, // slashes go before the /bin test
        {"/opt/x/bin/bin/conv", "conv", "/opt/x/bin"},
        {"/bin/conv", "conv", "/bin"},
        {"/conv", "conv", ""},
        {"//conv", "conv", ""},
        {"rel/dir/conv", "conv", "rel/dir"},
        {"/opt/xbin/conv", "conv", "/opt/xbin"},
    };
    for (const Case &c : cases) {
        reset_install_state();
        EXPECT_EQ(detect_installpath(c.argv0), 0);
        EXPECT_STREQ(prog_name, c.name) << c.argv0;
        EXPECT_STREQ(prog_path, c.path) << c.argv0;
    }
    // prog_name points into argument 0.
    const char *argv0 = "/a/b";
    detect_installpath(argv0);
    EXPECT_EQ(prog_name, argv0 + 3);
}

TEST(DetectInstallpath, PathKeptInSearchPathForm) {
    reset_install_state();
    {
        EnvVar path("PATH", "/usr/bin:/bin::/x:");
        detect_installpath("/opt/x/bin/conv");
        EXPECT_STREQ(ENV_PATH_PATH, "/usr/bin|/bin||/x|");
    }
    EnvVar path("PATH", nullptr);
    strcpy(ENV_PATH_PATH, "kept");
    strcpy(prog_path, "kept");
    detect_installpath("conv");
    EXPECT_STREQ(ENV_PATH_PATH, "kept");
    EXPECT_STREQ(prog_path, "kept");
    EXPECT_STREQ(prog_name, "conv");
}

TEST(DetectInstallpath, BareNameFoundAlongPath) {
    kvtest::TempDir t;
    make_program(t / "first/conv",
                 fs::perms::owner_read | fs::perms::owner_write); // not executable
    fs::create_directories(t / "second/conv");                    // a directory
    make_program(t / "usr/local/bin/conv");
    make_program(t / "later/bin/conv");
    std::string path = (t / "missing").string() + ":" + (t / "first").string() + ":" +
                       (t / "second").string() + ":" + (t / "usr/local/bin/").string() + ":" +
                       (t / "later/bin").string();
    EnvVar env("PATH", path.c_str());
    reset_install_state();
    detect_installpath("conv");
    EXPECT_STREQ(prog_name, "conv");
    EXPECT_EQ(std::string(prog_path), (t / "usr/local").string());

    // Not found anywhere: prog_path keeps what it held.
    strcpy(prog_path, "kept");
    detect_installpath("noprogram");
    EXPECT_STREQ(prog_path, "kept");
    // The empty name is no program, though every directory is searchable.
    detect_installpath("");
    EXPECT_STREQ(prog_path, "kept");
}

TEST(DetectInstallpath, OverlongArgumentZeroIsPassedOver) {
    EnvVar env("PATH", "/usr/bin");
    reset_install_state();
    std::string argv0 = "/" + std::string(1030, 'a') + "/conv";
    detect_installpath(argv0.c_str());
    EXPECT_STREQ(prog_path, "");
    EXPECT_STREQ(prog_name, "conv");
    // Exactly 1,023 characters still fits.
    std::string fits = "/" + std::string(1017, 'a') + "/conv";
    ASSERT_EQ(fits.size(), 1023u);
    detect_installpath(fits.c_str());
    EXPECT_EQ(std::string(prog_path), "/" + std::string(1017, 'a'));
}

TEST(DetectInstallpath, OverlongCandidateIsNotCutAndUsed) {
    kvtest::TempDir t;
    // An executable whose path is exactly 1,023 characters: a PATH component
    // that starts with it would, cut to the work buffer, name that file.
    fs::path dir = deep_dir(t.path(), 1023 - 5);
    fs::path exe = dir / "prog";
    ASSERT_EQ(exe.string().size(), 1023u);
    make_program(exe);
    make_program(t / "good/bin/prog");
    std::string path = exe.string() + "zzz:" + (t / "good/bin").string();
    EnvVar env("PATH", path.c_str());
    reset_install_state();
    detect_installpath("prog");
    EXPECT_EQ(std::string(prog_path), (t / "good").string());
}
