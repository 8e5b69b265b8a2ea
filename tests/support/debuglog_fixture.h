// Shared set-up for the debug log tests: the facility's state is process
// wide, so every test starts from a fresh debug_init with no log file and no
// environment overrides, and standard error can be captured into a file.
#pragma once

#include <kuvra/debuglog.h>

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "kvtest.h"

class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("KUVRA_DEBUG_FILE");
        unsetenv("KUVRA_DEBUG_FLAGS");
        debug_exit();
        KVDebugConfig.logfile = nullptr;
        ASSERT_EQ(debug_init(), 0);
    }
    void TearDown() override {
        debug_exit();
        KVDebugConfig.logfile = nullptr;
    }
    kvtest::TempDir tmp;
};

// Descriptor 2 goes to a temporary file for the capture's lifetime.
class StderrCapture {
  public:
    StderrCapture() {
        fflush(stderr);
        saved_ = dup(2);
        char name[] = "/tmp/kvdebugerrXXXXXX";
        fd_ = mkstemp(name);
        path_ = name;
        dup2(fd_, 2);
    }
    ~StderrCapture() {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        close(fd_);
        unlink(path_.c_str());
    }
    std::string text() const {
        fflush(stderr);
        return kvtest::read_file(path_);
    }

  private:
    int saved_ = -1, fd_ = -1;
    std::string path_;
};

// The slot holding the newest message.
inline const debugentry &newest_slot() {
    int32_t i = debugentry_inmem_index == 0 ? debugentry_inmem_max - 1 : debugentry_inmem_index - 1;
    return debugentry_inmem_list[i];
}
