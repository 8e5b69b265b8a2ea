// kuvra_pipeprefix against cat on a 1 GiB stream, pipe in and pipe out.
//
// Both programs get the same wiring: a writer thread fills the input pipe
// from a 1 MiB buffer, the benchmark reads the output pipe to its end.
// kuvra_pipeprefix gets an empty prefix (descriptor 2 on /dev/null).  The
// last lines printed are the ratios of the two programs' median times (below 1: faster than cat).
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr size_t kStreamBytes = size_t(1) << 30;
constexpr size_t kChunk = size_t(1) << 20;

std::string pipeprefix_path() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "kuvra_pipeprefix";
    std::string dir(self, size_t(n));
    dir.erase(dir.rfind('/')); // build/bench
    dir.erase(dir.rfind('/')); // build
    return dir + "/bin/kuvra_pipeprefix";
}

// Streams kStreamBytes through program and adds the child's CPU seconds
// (user + system) to cpu; false if anything went wrong.
bool stream_through(const std::string &program, double &cpu) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_RDONLY, 0);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    pid_t pid;
    int rc = posix_spawnp(&pid, program.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        return false;
    }
    std::thread writer([fd = in[1]] {
        std::vector<char> buf(kChunk, 'x');
        for (size_t left = kStreamBytes; left > 0;) {
            ssize_t n = write(fd, buf.data(), std::min(left, kChunk));
            if (n <= 0 && errno != EINTR) break;
            if (n > 0) left -= size_t(n);
        }
        close(fd);
    });
    std::vector<char> buf(kChunk);
    size_t total = 0;
    for (;;) {
        ssize_t n = read(out[0], buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += size_t(n);
    }
    close(out[0]);
    writer.join();
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    cpu += double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return total == kStreamBytes && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void run(benchmark::State &state, const std::string &program) {
    double cpu = 0;
    for (auto _ : state) {
        if (!stream_through(program, cpu)) {
            state.SkipWithError(("streaming through " + program + " failed").c_str());
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kStreamBytes));
    // The program's own cost, less disturbed by a busy machine than the
    // wall time of the whole pipeline.
    state.counters["child_cpu_ms"] = cpu * 1000 / double(state.iterations());
}

void BM_cat(benchmark::State &state) {
    run(state, "cat");
}
void BM_pipeprefix(benchmark::State &state) {
    run(state, pipeprefix_path());
}

// One pass per repetition, the two programs' repetitions interleaved at
// random (see main), so that both see the same load of a shared machine.
BENCHMARK(BM_cat)->Iterations(1)->Repetitions(7)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pipeprefix)
    ->Iterations(1)
    ->Repetitions(7)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Keeps the console output and remembers each benchmark's median time.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs)
            if (r.aggregate_name == "median") {
                median_[r.run_name.function_name] = r.GetAdjustedRealTime();
                auto c = r.counters.find("child_cpu_ms");
                if (c != r.counters.end()) cpu_[r.run_name.function_name] = c->second.value;
            }
    }
    std::map<std::string, double> median_, cpu_;
};

} // namespace

int main(int argc, char **argv) {
    // Interleaving by default; a flag given on the command line wins.
    std::vector<char *> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto cat = reporter.median_.find("BM_cat");
    auto pp = reporter.median_.find("BM_pipeprefix");
    if (cat != reporter.median_.end() && pp != reporter.median_.end() && cat->second > 0)
        printf("kuvra_pipeprefix / cat wall time ratio (medians): %.3f\n",
               pp->second / cat->second);
    auto ccat = reporter.cpu_.find("BM_cat");
    auto cpp = reporter.cpu_.find("BM_pipeprefix");
    if (ccat != reporter.cpu_.end() && cpp != reporter.cpu_.end() && ccat->second > 0)
        printf("kuvra_pipeprefix / cat CPU time ratio (medians): %.3f\n",
               cpp->second / ccat->second);
    benchmark::Shutdown();
    return 0;
}
