// Where the fuzz targets report a failed check.  libFuzzer's -close_fd_mask
// closes the standard error of the code under test (it writes messages
// there); the targets write to a copy of it taken at start-up, before that.
#pragma once

#include <unistd.h>

namespace fuzzreport {
inline const int fd = dup(2);
} // namespace fuzzreport
