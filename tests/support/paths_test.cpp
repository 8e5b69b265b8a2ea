#include <kuvra/fileutil.h>

#include "kvtest.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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
        p.append("/").append(part, 'd');
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

namespace {

// Expands text in a buffer of the given size; the expanded text, or nullopt
// on failure.
std::optional<std::string> expand(const std::string &text, size_t size = 1024) {
    std::string buf(std::max(size, text.size() + 1), '\0');
    memcpy(buf.data(), text.c_str(), text.size() + 1);
    if (KVPathExpandEnvironment(buf.data(), size) != 0) return std::nullopt;
    return std::string(buf.c_str());
}

} // namespace

TEST(KVPathExpandEnvironment, ReplacesReferences) {
    EnvVar home("HOME", "/home/u");
    EnvVar a("KV_TEST_A", "x");
    EXPECT_EQ(expand("$(HOME)/.x"), "/home/u/.x");
    EXPECT_EQ(expand("$(KV_TEST_A)$(KV_TEST_A)/$(HOME)"), "xx//home/u");
    EXPECT_EQ(expand("a$b"), "a$b");
    EXPECT_EQ(expand("$"), "$");
    EXPECT_EQ(expand("$$(KV_TEST_A)$"), "$x$");
    EXPECT_EQ(expand("no references"), "no references");
    EXPECT_EQ(expand(""), "");
}

TEST(KVPathExpandEnvironment, ProgpathFallsBackToInstallDirectory) {
    strcpy(prog_path, "/opt/kv");
    {
        EnvVar unset("progpath", nullptr);
        EXPECT_EQ(expand("$(progpath)/share"), "/opt/kv/share");
        // Only the exact name falls back.
        EXPECT_EQ(expand("$(PROGPATH)/share"), std::nullopt);
    }
    EnvVar set("progpath", "/env");
    EXPECT_EQ(expand("$(progpath)/share"), "/env/share");
    prog_path[0] = '\0';
}

TEST(KVPathExpandEnvironment, ValuesAreNotExpandedAgain) {
    EnvVar home("HOME", "/home/u");
    EnvVar v("KV_TEST_A", "$(HOME)");
    EXPECT_EQ(expand("$(KV_TEST_A)/$(HOME)"), "$(HOME)//home/u");
    EnvVar half("KV_TEST_B", "$(");
    EXPECT_EQ(expand("$(KV_TEST_B)x"), "$(x");
}

TEST(KVPathExpandEnvironment, FailsSilentlyOnUnknownNames) {
    EnvVar unset("KV_TEST_UNSET", nullptr);
    EnvVar a("KV_TEST_A", "x=y");
    testing::internal::CaptureStderr();
    EXPECT_EQ(expand("$(KV_TEST_UNSET)/a"), std::nullopt);
    EXPECT_EQ(expand("$()/a"), std::nullopt);
    // The entry "KV_TEST_A=x=y" starts with "KV_TEST_A=x=", but that is no name.
    EXPECT_EQ(expand("$(KV_TEST_A=x)"), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(KVPathExpandEnvironment, UnclosedReferenceFailsWithMessage) {
    EnvVar home("HOME", "/home/u");
    testing::internal::CaptureStderr();
    EXPECT_EQ(expand("$(HOME"), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot correctly expand path:$(HOME.\n");
    // A later reference: the text from where the scan went on.
    testing::internal::CaptureStderr();
    EXPECT_EQ(expand("$(HOME)/a$(HOME"), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot correctly expand path:/a$(HOME.\n");
}

TEST(KVPathExpandEnvironment, ResultMustLeaveRoomForTerminator) {
    EnvVar v("KV_TEST_A", "12345");
    // "$(KV_TEST_A)/ab" becomes "12345/ab": 8 characters.
    EXPECT_EQ(expand("$(KV_TEST_A)/ab", 9), "12345/ab");
    EXPECT_EQ(expand("$(KV_TEST_A)/ab", 8), std::nullopt);
    // A growing value near the end of a small buffer: no write past it.
    EnvVar big("KV_TEST_B", std::string(100, 'v').c_str());
    EXPECT_EQ(expand("$(KV_TEST_B)", 100), std::nullopt);
    EXPECT_EQ(expand("$(KV_TEST_B)", 101), std::string(100, 'v'));
}

TEST(GetPathComponent, CountsExpandedComponents) {
    char dst[64];
    EXPECT_STREQ(getpathcomponent("a||b", 0, dst, sizeof dst), "a");
    EXPECT_STREQ(getpathcomponent("a||b", 1, dst, sizeof dst), "");
    EXPECT_STREQ(getpathcomponent("a||b", 2, dst, sizeof dst), "b");
    EXPECT_EQ(getpathcomponent("a||b", 3, dst, sizeof dst), nullptr);
    EXPECT_EQ(getpathcomponent("a||b", -1, dst, sizeof dst), nullptr);
    // A final '|' adds no component.
    EXPECT_EQ(getpathcomponent("a|", 1, dst, sizeof dst), nullptr);
    EXPECT_EQ(getpathcomponent("", 0, dst, sizeof dst), nullptr);
    EXPECT_EQ(getpathcomponent(nullptr, 0, dst, sizeof dst), nullptr);
    EXPECT_EQ(getpathcomponent("a", 0, dst, 0), nullptr);
}

TEST(GetPathComponent, SkipsComponentsThatDoNotExpandOrFit) {
    EnvVar unset("KV_TEST_UNSET", nullptr);
    EnvVar home("HOME", "/home/u");
    char dst[16];
    EXPECT_STREQ(getpathcomponent("a|$(KV_TEST_UNSET)|b", 1, dst, sizeof dst), "b");
    EXPECT_STREQ(getpathcomponent("x|$(HOME)/.kv|y", 1, dst, sizeof dst), "/home/u/.kv");
    // 16 characters do not fit in 16 bytes: passed over, not cut.
    EXPECT_STREQ(getpathcomponent("0123456789abcdef|c", 0, dst, sizeof dst), "c");
    EXPECT_STREQ(getpathcomponent("0123456789abcde|c", 0, dst, sizeof dst), "0123456789abcde");
    // Expansion is bounded by the same size.
    EXPECT_STREQ(getpathcomponent("$(HOME)/123456789|c", 0, dst, sizeof dst), "c");
}

TEST(GetFilePath, FirstComponentThatPassesAccess) {
    EnvVar unset("KV_TEST_UNSET", nullptr);
    char out[1024];
    EXPECT_STREQ(getfilepath("$(KV_TEST_UNSET)|/etc", "hosts", 4, out, sizeof out), "/etc/hosts");
    kvtest::TempDir t;
    make_program(t / "b/f", fs::perms::owner_read);
    make_program(t / "c/f", fs::perms::owner_read | fs::perms::owner_write);
    std::string list = (t / "a").string() + "|" + (t / "b").string() + "|" + (t / "c").string();
    EXPECT_EQ(std::string(getfilepath(list.c_str(), "f", 4, out, sizeof out)),
              (t / "b/f").string());
    if (geteuid() != 0) { // root may write anything
        EXPECT_EQ(std::string(getfilepath(list.c_str(), "f", 2, out, sizeof out)),
                  (t / "c/f").string());
    }
    // No name: the directory itself.
    EXPECT_EQ(std::string(getfilepath(list.c_str(), nullptr, 5, out, sizeof out)),
              (t / "b").string());
    EXPECT_EQ(std::string(getfilepath(list.c_str(), "", 0, out, sizeof out)), (t / "b").string());
    // An empty directory gives "/name".
    EXPECT_STREQ(getfilepath("|x", "etc", 0, out, sizeof out), "/etc");
}

TEST(GetFilePath, NoCandidate) {
    char out[64] = "untouched";
    EXPECT_EQ(getfilepath("", "hosts", 0, out, sizeof out), nullptr);
    EXPECT_EQ(getfilepath(nullptr, "hosts", 0, out, sizeof out), nullptr);
    EnvVar unset("KV_TEST_UNSET", nullptr);
    EXPECT_EQ(getfilepath("$(KV_TEST_UNSET)", "hosts", 0, out, sizeof out), nullptr);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(getfilepath("/nonexistent-a|/nonexistent-b", "f", 0, out, sizeof out), nullptr);
    EXPECT_STREQ(out, "/nonexistent-b/f"); // the last candidate tried
}

TEST(GetFilePath, CandidateTooLongIsNotTestedCut) {
    // "/etc/hosts" cut to 6 bytes would be "/etc/", an existing directory.
    char out[6];
    EXPECT_EQ(getfilepath("/etc", "hosts", 0, out, sizeof out), nullptr);
    char out2[11];
    EXPECT_STREQ(getfilepath("/etc", "hosts", 0, out2, sizeof out2), "/etc/hosts");
}

TEST(GetFileBase, JoinsDirectoryAndName) {
    char out[16] = "garbage";
    EXPECT_STREQ(getfilebase("/d", "n", out, sizeof out), "/d/n");
    EXPECT_STREQ(getfilebase(nullptr, "n", out, sizeof out), "/n");
    EXPECT_STREQ(getfilebase("", "n", out, sizeof out), "/n");
    EXPECT_STREQ(getfilebase("/d", nullptr, out, sizeof out), "/d");
    EXPECT_STREQ(getfilebase("/d", "", out, sizeof out), "/d");
    EXPECT_STREQ(getfilebase(nullptr, nullptr, out, sizeof out), "");
    EXPECT_STREQ(getfilebase("/dir", "name", out, 8), "/dir/na"); // silently cut
}

TEST(GetHomePath, BaseFromHomeThenUserprofile) {
    char out[64];
    {
        EnvVar home("HOME", "/home/u");
        EnvVar up("USERPROFILE", "/win");
        EXPECT_STREQ(gethomepath(".kv", out, sizeof out), "/home/u/.kv");
        EXPECT_STREQ(gethomepath("", out, sizeof out), "/home/u/");
    }
    EnvVar home("HOME", nullptr);
    {
        EnvVar up("USERPROFILE", "/win");
        EXPECT_STREQ(gethomepath(".kv", out, sizeof out), "/win/.kv");
    }
    EnvVar up("USERPROFILE", nullptr);
    EXPECT_STREQ(gethomepath(".kv", out, sizeof out), "./.kv");
}

TEST(GetHomePath, TooLongLeavesOutUntouched) {
    EnvVar home("HOME", "/h");
    char out[8] = "keep";
    // "/h" + "/" + "abc" + NUL needs 7 bytes; the bound is strict.
    EXPECT_EQ(gethomepath("abcd", out, 8), nullptr);
    EXPECT_STREQ(out, "keep");
    EXPECT_STREQ(gethomepath("abc", out, 8), "/h/abc");
}

TEST(TryMkdir, ExistingAndNew) {
    kvtest::TempDir t;
    EXPECT_EQ(try_mkdir(t.path().c_str()), 0);
    kvtest::write_file(t / "file", "x");
    EXPECT_EQ(try_mkdir((t / "file").c_str()), -2);
    EXPECT_EQ(try_mkdir((t / "new").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(t / "new"));
    EXPECT_EQ(try_mkdir((t / "missing/child").c_str()), -1);
    EXPECT_FALSE(fs::exists(t / "missing"));
    // Symbolic links are followed.
    fs::create_directory_symlink(t / "new", t / "link");
    EXPECT_EQ(try_mkdir((t / "link").c_str()), 0);
    fs::create_symlink(t / "file", t / "filelink");
    EXPECT_EQ(try_mkdir((t / "filelink").c_str()), -2);
}
