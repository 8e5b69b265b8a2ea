// Helpers for the converter's tests: in-process runs of the core on memory
// streams, the log messages they raise, and the spool files they name.
#pragma once

#include <kuvra/debuglog.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "ppmtodicom.h"

namespace convtest {

// The texts of the ring entries stored since the last debug_init, oldest first.
std::vector<std::string> logged();

// Spool file names that a macro stream names in its DATA macros, in order.
std::vector<std::string> spool_names(const std::string &stream);
// The files that its DATA_BS macros have dd write the swapped copies into.
std::vector<std::string> swap_names(const std::string &stream);
// The DATA_BS definition of field name, the converter's, for data and swap.
std::string data_bs_definition(const std::string &name, const std::string &data,
                               const std::string &swap);
// The value of the definition of macro in stream ("define([[M]],[[v]])"),
// or "<undefined>".
std::string macro(const std::string &stream, const std::string &name);
// True when stream holds the exact line text (without its line feed).
bool has_line(const std::string &stream, const std::string &line);

struct Conversion {
    int status = -2;
    std::string out;
    std::vector<std::string> log;
};

// Fixture for in-process conversions: a fresh log ring per test (no log
// file), and every spooled file removed afterwards.
class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Runs convert_stream over input (starting with its magic line).
    Conversion convert(const std::string &input, int magic);
};

// Removes the named files (spool files of -m program runs) on destruction.
class SpoolCleanup {
  public:
    ~SpoolCleanup();
    void add(const std::string &stream);

  private:
    std::vector<std::string> names_;
};

// Building blocks of inputs.
std::string field(const std::string &name, const std::string &type, const std::string &dims,
                  const std::string &sizes, const std::string &data);
std::string pattern(size_t n, unsigned seed = 1); // reproducible binary bytes

} // namespace convtest
