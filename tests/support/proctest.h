// Helpers for tests of code that starts children on pipes: the calling
// process's children and standard descriptors as /proc and fstat see them,
// pipes with contents, and a scarce descriptor supply.
#pragma once

#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
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

// Everything left on fd, read to its end.
inline std::string read_all(int fd) {
    std::string s;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return s;
        s.append(buf, size_t(n));
    }
}

// Read end of a pipe that holds data (at most a pipe's capacity) and ends.
inline int pipe_with(const std::string &data) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    if (write(p[1], data.data(), data.size()) != ssize_t(data.size()))
        ADD_FAILURE() << "pipe_with: short write";
    close(p[1]);
    return p[0];
}

// Leaves exactly `room` descriptors free below a lowered limit for the scope.
class DescriptorRoom {
  public:
    explicit DescriptorRoom(int room) {
        getrlimit(RLIMIT_NOFILE, &old_);
        rlimit low = old_;
        low.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0;)
            fillers_.push_back(fd);
        for (int i = 0; i < room && !fillers_.empty(); ++i) {
            close(fillers_.back());
            fillers_.pop_back();
        }
    }
    ~DescriptorRoom() {
        for (int fd : fillers_)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &old_);
    }
    static int free_now() {
        std::vector<int> got;
        for (int fd; (fd = fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0;)
            got.push_back(fd);
        for (int fd : got)
            close(fd);
        return int(got.size());
    }

  private:
    rlimit old_{};
    std::vector<int> fillers_;
};

} // namespace proctest
