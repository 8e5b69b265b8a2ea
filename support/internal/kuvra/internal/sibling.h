// Finding the programs of the installation that a program runs
// (kuvra_dicom_synthesizer, kuvra_pipeprefix).  Internal, not installed.
#pragma once

#include <cstddef>

namespace kuvra::internal {

// The directory that holds the running program as its argument 0 names it
// (detect_installpath, before the final "/bin" is taken off; for a bare
// name, the PATH directory that holds it): null until detect_installpath
// has found one.
const char *program_directory();

// Where to run the program name of the installation from, the first of:
//  1. the environment variable env, when it is set and not empty: a path,
//     or a name that PATH finds (a way to run another build's program, or
//     a stand-in);
//  2. the running program's own directory (program_directory), so that a
//     program run by its path, its installation not on PATH, finds its
//     siblings, and finds its own installation's before any other on PATH;
//  3. the directory of /proc/self/exe, symbolic links resolved: the
//     installation that a link to the program points into;
//  4. PATH.
// out (size bytes) receives what to execute: a path, or a bare name for a
// PATH search.  True when a runnable file was found that way; false when
// none was (out then holds the name, for an exec that fails as PATH's
// would), or when out is too small.
bool find_sibling(const char *name, const char *env, char *out, size_t size);

} // namespace kuvra::internal
