// Running a program the way the reliability tests need: with a private /tmp
// (a bind mount in a mount namespace of its own, so that files left there
// are this run's and no other test's), a time limit, optionally under
// valgrind, and with the processes it leaves behind counted.
//
// Orphaned descendants are reparented to the test process, which makes
// itself the child subreaper on first use.
#pragma once

#include "kvtest.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kvsandbox {

// Status valgrind gives when it found memory errors; no program uses it.
constexpr int VALGRIND_ERROR = 99;
// Status of timeout(1) when the limit ran out.
constexpr int TIMED_OUT = 124;

struct Options {
    std::string input;            // standard input as a pipe with these bytes...
    std::string stdin_file;       // ...or this file itself (seekable)
    std::vector<std::string> env; // as kvtest::RunOptions::env
    bool valgrind = false;        // run argv[0] under valgrind
    int timeout_seconds = 120;    // then SIGTERM, SIGKILL 5 s later
    long file_size_limit = -1;    // RLIMIT_FSIZE in bytes, -1 for none
};

struct Outcome {
    kvtest::RunResult r;
    std::vector<std::string> tmp_left; // names left in the run's /tmp
    std::vector<std::string> orphans;  // "pid comm" of descendants still alive after it
};

// A fresh directory outside /tmp (under the build tree), removed with its
// contents on destruction.  Files a sandboxed run must see (programs put
// first on PATH, a HOME) live here: the run's private /tmp hides the real one.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Whether private /tmp directories are available here (unshare -rm), for
// checkouts anywhere, /tmp included.  When they are not, runs use the real
// /tmp and tmp_left is always empty.
bool have_private_tmp();

Outcome run(std::vector<std::string> argv, const Options &opt);

// "status N, signal S, stderr: ..." for failure messages.
std::string describe(const kvtest::RunResult &r);

} // namespace kvsandbox
