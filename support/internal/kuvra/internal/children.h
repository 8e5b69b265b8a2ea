// How the children of the pipe operations (kuvra/pipes.h) ended.  Internal,
// not installed.
#pragma once

namespace kuvra::internal {

// One child that did not exit with status 0.
struct ChildFailure {
    char program[32]; // its argv[0], cut to fit
    int status;       // as waitpid reports it; -1 when someone else collected it
};

// Waits for every child the pipe operations started that has not been
// reported here yet, blocking until each has ended; the reaper may have
// collected some already and kept their status.  Returns true when all of
// them exited with status 0, else false with *failed (if not null) set to
// the first one started of those that did not.  Every child it looked at is
// forgotten: a second call reports only children started after the first.
// Call it once the caller has read the children's output to its end, or
// after ending them: a child still writing into a full pipe would never end.
bool wait_started_children(ChildFailure *failed);

// "exit status N" or "signal N" for a waitpid status, into buf.
const char *describe_status(int status, char *buf, unsigned size);

} // namespace kuvra::internal
