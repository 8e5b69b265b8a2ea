// Shared set-up for the viewer hand-off tests: sample files, the process's
// descriptors and children, and the debug ring read back as messages.
#pragma once

#include <kuvra/debuglog.h>
#include <kuvra/filetype.h>
#include <kuvra/pipes.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

#include "kvtest.h"

namespace viewertest {

// ---- Sample files ----------------------------------------------------------

// size bytes that begin with lead and go on with a fixed pseudo-random tail.
std::string bytes_after(const std::string &lead, size_t size);
std::string png_bytes(size_t size = 200000);
std::string jpeg_bytes(size_t size = 5000);
// Through the real gzip program.
std::string gzipped(const std::string &bytes);
// A FileCapsule fieldset carrying content, padded by pad bytes.
std::string capsule(const std::string &content, size_t pad = 3);
// A Part 10 DICOM file (explicit VR little endian) of one rows x cols
// MONOCHROME2 frame of 8-bit samples.
std::string dicom_file(int rows, int cols);

// ---- Process state -----------------------------------------------------------

// Open descriptors of this process and what they refer to.
std::map<int, std::string> open_fds();
// Processes whose parent is this process, zombies included.
std::vector<pid_t> children();
// Polls cond every 10 ms until it holds or limit has passed; its last result.
bool wait_for(const std::function<bool()> &cond,
              std::chrono::milliseconds limit = std::chrono::seconds(30));

// ---- Log ------------------------------------------------------------------

struct Message {
    int category;
    uint32_t severity;
    std::string text;
    bool operator==(const Message &) const = default;
};
void PrintTo(const Message &m, std::ostream *os);
// Every message in the ring, oldest first, of any category and severity.
std::vector<Message> ring_messages();
Message error_message(const std::string &text); // category 3, severity 8
Message warning_for(const std::string &path, const std::string &mime, int code);
Message see_failed(int result);

// The viewer fixture: a "see" of its own first on PATH that records each
// call (its arguments, what its standard input is and, when it is given a
// stream, the bytes it reads); the build's programs next; a fresh debug ring
// and log file; the reaper installed.  Every call made through call() is
// checked to leave the process's descriptors as they were.
class ViewerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pipethrough_catch_SIGCHLD(); }
    void SetUp() override;
    void TearDown() override;

    // Writes a file of the temporary directory; returns its path.
    std::string sample(const std::string &name, const std::string &bytes);
    // open_file_via_OS with the descriptor check.
    int call(const std::string &path);
    // Replaces PATH (the recording viewer's directory always comes first).
    void set_path(const std::string &rest);

    // The recording of the one call of the viewer, once complete.
    struct Recording {
        std::vector<std::string> args; // argv[1..]
        std::string stdin_name;        // what its descriptor 0 referred to
        std::string input;             // bytes read when given a stream
        int calls = 0;                 // times the viewer ran
    };
    Recording wait_recording();
    // After the viewer has run: every child has ended and been collected.
    void expect_children_collected();

    kvtest::TempDir tmp;
    std::filesystem::path bindir; // holds the recording "see"
    std::filesystem::path logfile;

  private:
    std::string saved_path_;
};

} // namespace viewertest
