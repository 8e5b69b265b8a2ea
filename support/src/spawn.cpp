// The child starter: posix_spawnp with file actions, so that the caller's
// descriptors stay as they are and the address space is never copied.
#include <kuvra/internal/spawn.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>

extern char **environ;

namespace kuvra::internal {

namespace {

// The file actions and attributes of one start, released however it ends.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool have_actions = false, have_attr = false;
    ~SpawnSetup() {
        if (have_actions) posix_spawn_file_actions_destroy(&actions);
        if (have_attr) posix_spawnattr_destroy(&attr);
    }
};

bool rebinds(int io, int target) {
    return io == kChildDevNull || (io >= 0 && io != target);
}

int add_actions(posix_spawn_file_actions_t &fa, const int io[3]) {
    for (int k = 0; k < 3; ++k) {
        const int src = io[k];
        if (src >= 0 && src <= 2 && src != k)
            for (int j = 0; j < k; ++j)
                if (j == src && rebinds(io[j], j)) return EINVAL;
        int rc = 0;
        if (src == kChildDevNull)
            rc = posix_spawn_file_actions_addopen(&fa, k, "/dev/null", k == 0 ? O_RDONLY : O_WRONLY,
                                                  0);
        else if (src >= 0) // onto itself: only close-on-exec is cleared
            rc = posix_spawn_file_actions_adddup2(&fa, src, k);
        else if (src != kChildInherits)
            rc = EINVAL;
        if (rc != 0) return rc;
    }
    // A source above 2 that is not close-on-exec would reach the child a
    // second time under its own number.
    for (int k = 0; k < 3; ++k) {
        const int src = io[k];
        bool first = src > 2 && (k == 0 || src != io[0]) && (k < 2 || src != io[1]);
        if (first) {
            if (int rc = posix_spawn_file_actions_addclose(&fa, src)) return rc;
        }
    }
    return 0;
}

} // namespace

int start_child(const ChildLaunch &child, pid_t *pid) {
    if (child.argv == nullptr || child.argv[0] == nullptr || pid == nullptr) return EINVAL;
    const char *file = child.file ? child.file : child.argv[0];
    SpawnSetup s;
    if (int rc = posix_spawn_file_actions_init(&s.actions)) return rc;
    s.have_actions = true;
    if (int rc = add_actions(s.actions, child.io)) return rc;
    if (child.clean_signals) {
        if (int rc = posix_spawnattr_init(&s.attr)) return rc;
        s.have_attr = true;
        sigset_t defaults, none;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigemptyset(&none);
        int rc = posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        if (rc == 0) rc = posix_spawnattr_setsigdefault(&s.attr, &defaults);
        if (rc == 0) rc = posix_spawnattr_setsigmask(&s.attr, &none);
        if (rc != 0) return rc;
    }
    return posix_spawnp(pid, file, &s.actions, s.have_attr ? &s.attr : nullptr,
                        const_cast<char *const *>(child.argv), environ);
}

bool start_made_no_child(int error) {
    // The errors of creating the process (clone, and the child's stack that
    // posix_spawn maps first).  An exec that fails for want of memory gives
    // ENOMEM too and is counted with them: the system is out of room either
    // way.
    return error == EAGAIN || error == ENOMEM || error == ENOSPC || error == EUSERS;
}

} // namespace kuvra::internal
