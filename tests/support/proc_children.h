// The calling process's children and standard descriptors as /proc and
// fstat see them, for tests of code that starts children on pipes.
#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace proctest {

// Process numbers of the live and zombie children of this process.
inline std::vector<pid_t> children() {
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream f(task.path() / "children");
        pid_t pid;
        while (f >> pid)
            pids.push_back(pid);
    }
    return pids;
}

// State letter of a process ('Z' for a zombie), or 0 if it is gone.
inline char state_of(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return 0;
    return stat[close + 2];
}

inline std::vector<pid_t> zombie_children() {
    std::vector<pid_t> z;
    for (pid_t p : children())
        if (state_of(p) == 'Z') z.push_back(p);
    return z;
}

// Polls pred every 5 ms until it holds or the time is up; the last value.
template <class Pred> bool eventually(Pred pred, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Which files descriptors 0, 1 and 2 refer to (device, inode; 0/0 if closed).
using StdIds = std::array<std::pair<dev_t, ino_t>, 3>;
inline StdIds std_ids() {
    StdIds ids{};
    for (int i = 0; i < 3; ++i) {
        struct stat st;
        if (fstat(i, &st) == 0) ids[size_t(i)] = {st.st_dev, st.st_ino};
    }
    return ids;
}

} // namespace proctest
