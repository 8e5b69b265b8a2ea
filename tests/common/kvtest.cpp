#include "kvtest.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kvtest {

namespace fs = std::filesystem;

RunResult run(const std::vector<std::string> &argv, const RunOptions &opt) {
    RunResult r;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");

    // Build the child's environment before forking.
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e)
        envs.emplace_back(*e);
    for (const auto &kv : opt.env) {
        auto eq = kv.find('=');
        std::string name = kv.substr(0, eq);
        std::erase_if(envs, [&](const std::string &s) {
            return s.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (eq != std::string::npos) envs.push_back(kv);
    }
    std::vector<char *> envp, args;
    for (auto &s : envs)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argcopy = argv;
    for (auto &s : argcopy)
        args.push_back(s.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(127);
        if (opt.close_stdin) {
            close(0);
        } else if (!opt.stdin_file.empty()) {
            int fd = open(opt.stdin_file.c_str(), O_RDONLY);
            if (fd < 0) _exit(127);
            dup2(fd, 0);
            close(fd);
        } else {
            dup2(in[0], 0);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        environ = envp.data();
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (opt.close_stdin || !opt.stdin_file.empty()) {
        close(in[1]);
        in[1] = -1;
    }

    // Feed the input and drain both outputs together so that no side blocks.
    size_t written = 0;
    if (in[1] >= 0 && opt.input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    if (in[1] >= 0) fcntl(in[1], F_SETFL, O_NONBLOCK);
    void (*old)(int) = signal(SIGPIPE, SIG_IGN);
    while (out[0] >= 0 || err[0] >= 0) {
        pollfd p[3];
        int n = 0;
        int io = -1, oo = -1, eo = -1;
        if (in[1] >= 0) {
            io = n;
            p[n++] = {in[1], POLLOUT, 0};
        }
        if (out[0] >= 0) {
            oo = n;
            p[n++] = {out[0], POLLIN, 0};
        }
        if (err[0] >= 0) {
            eo = n;
            p[n++] = {err[0], POLLIN, 0};
        }
        if (poll(p, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (io >= 0 && p[io].revents) {
            ssize_t w = write(in[1], opt.input.data() + written, opt.input.size() - written);
            if (w > 0) written += size_t(w);
            if (w < 0 && errno != EAGAIN && errno != EINTR) written = opt.input.size();
            if (written >= opt.input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
        char buf[65536];
        for (auto [idx, fdp, dst] :
             {std::tuple{oo, &out[0], &r.out}, std::tuple{eo, &err[0], &r.err}}) {
            if (idx >= 0 && p[idx].revents) {
                ssize_t got = read(*fdp, buf, sizeof buf);
                if (got > 0) {
                    dst->append(buf, size_t(got));
                } else if (got == 0 || errno != EINTR) {
                    close(*fdp);
                    *fdp = -1;
                }
            }
        }
    }
    if (in[1] >= 0) close(in[1]);
    signal(SIGPIPE, old);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.term_signal = WTERMSIG(st);
    return r;
}

RunResult sh(const std::string &script, const RunOptions &opt) {
    return run({"/bin/sh", "-c", script}, opt);
}

std::string bin(const std::string &name) {
    return std::string(KUVRA_BIN_DIR) + "/" + name;
}

fs::path source(const std::string &rel) {
    return fs::path(KUVRA_SOURCE_DIR) / rel;
}

std::string read_file(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const fs::path &p, const std::string &bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/kvtest.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::string> list_dir(const fs::path &dir, const std::string &prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec)) {
        std::string n = e.path().filename().string();
        if (n.compare(0, prefix.size(), prefix) == 0) names.push_back(n);
    }
    return names;
}

int open_fd_count() {
    int n = 0;
    std::error_code ec;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd", ec))
        n++;
    return n - 1; // the iterator's own descriptor
}

std::vector<std::vector<std::string>> doc_table(const std::string &rel, const std::string &marker) {
    std::vector<std::vector<std::string>> rows;
    std::string text = read_file(source(rel));
    size_t at = text.find("<!-- " + marker + " -->\n");
    if (at == std::string::npos) return rows;
    std::vector<std::string> lines = split_lines(text.substr(at));
    for (size_t i = 3; i < lines.size() && lines[i].starts_with('|'); i++) {
        std::vector<std::string> cells;
        std::string line = lines[i].substr(1);
        for (size_t bar; (bar = line.find('|')) != std::string::npos; line.erase(0, bar + 1)) {
            std::string cell = line.substr(0, bar);
            size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
            cells.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
        }
        rows.push_back(cells);
    }
    return rows;
}

std::vector<std::string> code_spans(const std::string &cell) {
    std::vector<std::string> spans;
    for (size_t open = cell.find('`'); open != std::string::npos;) {
        size_t close = cell.find('`', open + 1);
        if (close == std::string::npos) break;
        spans.push_back(cell.substr(open + 1, close - open - 1));
        open = cell.find('`', close + 1);
    }
    return spans;
}

} // namespace kvtest
