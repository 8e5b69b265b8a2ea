// The one way a child process is started.  Internal, not installed.
#pragma once

#include <sys/types.h>

namespace kuvra::internal {

// What one of a child's descriptors 0, 1 and 2 is.  A descriptor of the
// caller is given by its number.
constexpr int kChildInherits = -1; // the caller's own descriptor of that number
constexpr int kChildDevNull = -2;  // /dev/null, opened for reading (0) or writing (1, 2)

struct ChildLaunch {
    const char *file = nullptr;        // looked up through PATH; argv[0] when null
    const char *const *argv = nullptr; // null-terminated, argv[0] the program's name
    int io[3] = {kChildInherits, kChildInherits, kChildInherits};
    // SIGPIPE at its default and no signal blocked in the child, whatever
    // the caller holds; otherwise the child inherits the caller's mask and
    // the signals it ignores, as across a plain exec.
    bool clean_signals = false;
};

// Starts the program with posix_spawnp: 0 with *pid set, or the error
// number that posix_spawnp gives (a failed start of the child, or a failed
// exec, which leaves no child to wait for).  The caller's descriptors are
// never changed; the child gets every descriptor of the caller that is not
// close-on-exec, except that a descriptor given in io reaches the child
// only under its standard number.  io is applied as 0, 1, 2 in this order:
// a source that is itself 0, 1 or 2 may not be a number rebound before it
// (EINVAL); one given as its own number reaches the child even when it is
// close-on-exec.
int start_child(const ChildLaunch &child, pid_t *pid);

// True when an error of start_child means that no child was created (the
// system had no process or memory for it), false when the child existed
// and its exec or its descriptor set-up failed.
bool start_made_no_child(int error);

} // namespace kuvra::internal
