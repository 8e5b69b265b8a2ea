// Helpers for tests that run the built programs as a user would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kvtest {

struct RunResult {
    int status = -1;     // exit status when the program exited, else -1
    int term_signal = 0; // signal that ended it, else 0
    std::string out;     // everything written to standard output
    std::string err;     // everything written to standard error
};

struct RunOptions {
    std::string input;            // bytes fed to standard input (then EOF)
    bool close_stdin = false;     // run with descriptor 0 closed instead
    std::vector<std::string> env; // "NAME=value" added or overriding; "NAME" alone unsets
    std::filesystem::path cwd;    // working directory, if not empty
    std::string stdin_file;       // if set, standard input is this file (seekable)
};

// Runs argv[0] (looked up through PATH when it holds no '/') and collects its
// output.  Never throws on a failing program; the result says what happened.
RunResult run(const std::vector<std::string> &argv, const RunOptions &opt = {});
// Convenience: runs "/bin/sh -c script".
RunResult sh(const std::string &script, const RunOptions &opt = {});

// Path of a program of the build tree (build/bin/NAME).
std::string bin(const std::string &name);
// Path below the source tree.
std::filesystem::path source(const std::string &rel);

std::string read_file(const std::filesystem::path &p);
void write_file(const std::filesystem::path &p, const std::string &bytes);

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// The lines of a text, without their line feeds (a last line without one
// counts too).
std::vector<std::string> split_lines(const std::string &text);

// The rows of the Markdown table that follows the line "<!-- marker -->" in
// the source file rel: header and separator rows left out, each row's cells
// without their surrounding blanks.
std::vector<std::vector<std::string>> doc_table(const std::string &rel, const std::string &marker);
// The texts between backquotes in a table cell, in order.
std::vector<std::string> code_spans(const std::string &cell);

// Names of the entries of a directory matching a prefix (e.g. spool files in /tmp).
std::vector<std::string> list_dir(const std::filesystem::path &dir, const std::string &prefix);

// Number of descriptors the calling process has open.
int open_fd_count();

} // namespace kvtest
