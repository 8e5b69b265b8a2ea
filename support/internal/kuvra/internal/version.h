// --version of every program.  Internal, not installed.
#pragma once

#include <cstdio>

#ifndef KUVRA_VERSION
#error "KUVRA_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace kuvra::internal {

// "NAME (kuvra) VERSION" on standard output, as the GNU tools print it;
// the caller exits with status 0.
inline void print_version(const char *name) {
    printf("%s (kuvra) %s\n", name, KUVRA_VERSION);
}

} // namespace kuvra::internal
