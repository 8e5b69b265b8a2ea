// Helpers for the program tests of kuvra_ppmtodicom.
#pragma once

#include "convtest.h"
#include "kvtest.h"

#include <string>
#include <vector>

namespace progtest {

// What m4 writes after a template's own output, at the end of a complete
// macro stream (KV_M4_CLOSING).
inline const std::string end_mark = "\n" KV_END_MARK "\n";

// The texts of the converter's log lines on standard error, each without
// the time-stamp prefix (which must be there, with category 3 and mask 8).
std::vector<std::string> messages(const std::string &err);

// Runs the converter with the arguments and options.
kvtest::RunResult convert(const std::vector<std::string> &args, const kvtest::RunOptions &opt);
kvtest::RunResult convert(const std::vector<std::string> &args, const std::string &input);

// The bytes compressed by one of the outside programs ("gzip", "bzip2", "lzma").
std::string compress(const std::string &program, const std::string &bytes);

std::string p6(int w, int h, const std::string &pixels, const std::string &header = "");
std::string p5(int w, int h, int maxval, const std::string &pixels, const std::string &header = "");

bool exists(const std::string &path);

} // namespace progtest
