#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kvsandbox {

namespace {

bool become_subreaper() {
    static const bool ok = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    return ok;
}

std::vector<pid_t> children() {
    std::vector<pid_t> kids;
    std::error_code ec;
    for (const auto &t : fs::directory_iterator("/proc/self/task", ec)) {
        std::ifstream f(t.path() / "children");
        pid_t p;
        while (f >> p)
            kids.push_back(p);
    }
    return kids;
}

// Reaps the orphans that are gone; those still alive after two seconds are
// reported and killed.
std::vector<std::string> collect_orphans() {
    std::vector<std::string> alive;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        std::vector<pid_t> kids = children();
        if (kids.empty()) return alive;
        if (std::chrono::steady_clock::now() > deadline) {
            for (pid_t p : kids) {
                std::string comm = kvtest::read_file("/proc/" + std::to_string(p) + "/comm");
                while (!comm.empty() && comm.back() == '\n')
                    comm.pop_back();
                alive.push_back(std::to_string(p) + " " + comm);
                kill(p, SIGKILL);
            }
            for (size_t i = 0; i < kids.size();)
                if (waitpid(-1, nullptr, 0) > 0 || errno != EINTR) ++i;
            return alive;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The helpers by absolute path, found on the test's own PATH: a run may
// give the program a PATH without them.
std::string locate(const std::string &name) {
    const char *path = getenv("PATH");
    std::string rest = path ? path : "";
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string dir = rest.substr(0, colon);
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
        std::string cand = (dir.empty() ? "." : dir) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0) return cand;
    }
    return name;
}

} // namespace

ScratchDir::ScratchDir() {
    fs::path base = fs::path(KUVRA_BUILD_DIR) / "tests" / "scratch";
    fs::create_directories(base);
    std::string tmpl = (base / "run.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

bool have_private_tmp() {
    static const bool ok = kvtest::run({locate("unshare"), "-rm", "true"}).status == 0;
    return ok;
}

namespace {

// The entries of the real /tmp that hold the source or build tree (a CI
// clone there, say): a private /tmp would hide them from the programs, so
// the run's /tmp shows them again, bound in at the same place.
std::vector<std::string> trees_in_tmp() {
    std::vector<std::string> names;
    for (std::string_view p : {KUVRA_BUILD_DIR, KUVRA_SOURCE_DIR}) {
        if (p.rfind("/tmp/", 0) != 0) continue;
        std::string top(p.substr(5, p.find('/', 5) - 5));
        if (std::find(names.begin(), names.end(), top) == names.end()) names.push_back(top);
    }
    return names;
}

// The script that makes $0 the run's /tmp and runs the program.  Mounts
// made below $0 first go along with the recursive bind.
std::string private_tmp_script() {
    std::string script;
    for (const std::string &top : trees_in_tmp())
        script += locate("mkdir") + " -p \"$0/" + top + "\" && " + locate("mount") +
                  " --bind \"/tmp/" + top + "\" \"$0/" + top + "\" && ";
    return script + locate("mount") + " --rbind \"$0\" /tmp && exec \"$@\"";
}

} // namespace

Outcome run(std::vector<std::string> argv, const Options &opt) {
    become_subreaper();
    if (opt.valgrind)
        argv.insert(argv.begin(), {locate("valgrind"), "-q", "--vgdb=no",
                                   "--error-exitcode=" + std::to_string(VALGRIND_ERROR)});
    if (opt.file_size_limit >= 0)
        argv.insert(argv.begin(),
                    {locate("prlimit"), "--fsize=" + std::to_string(opt.file_size_limit)});
    argv.insert(argv.begin(), {locate("timeout"), "-k", "5", std::to_string(opt.timeout_seconds)});

    kvtest::TempDir dir;
    fs::create_directory(dir / "tmp");
    std::vector<std::string> cmd;
    if (have_private_tmp())
        cmd = {locate("unshare"),     "-rm", locate("sh"), "-c", private_tmp_script(),
               (dir / "tmp").string()};
    cmd.insert(cmd.end(), argv.begin(), argv.end());

    kvtest::RunOptions ro;
    ro.input = opt.input;
    ro.stdin_file = opt.stdin_file;
    ro.env = opt.env;
    Outcome o;
    o.r = kvtest::run(cmd, ro);
    o.orphans = collect_orphans();
    const std::vector<std::string> trees = trees_in_tmp();
    for (const auto &e : fs::directory_iterator(dir / "tmp")) {
        std::string name = e.path().filename().string();
        if (std::find(trees.begin(), trees.end(), name) == trees.end()) o.tmp_left.push_back(name);
    }
    return o;
}

std::string describe(const kvtest::RunResult &r) {
    return "status " + std::to_string(r.status) + ", signal " + std::to_string(r.term_signal) +
           ", stderr:\n" + r.err;
}

} // namespace kvsandbox
