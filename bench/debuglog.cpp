// Cost of one debug_printf: a message that no sink takes (the category test
// and two mask tests; the time query is skipped) and one that only the ring
// takes (the time query and one vsnprintf into its slot).
#include <kuvra/debuglog.h>

#include <benchmark/benchmark.h>

namespace {

// Defaults of debug_init and no log file: severity 128 (debug) passes
// neither the ring mask 0x7f nor any file.
void BM_DroppedMessage(benchmark::State &state) {
    debug_init();
    debug_set_file(nullptr);
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(debug_printf(3, KV_SEV_DEBUG, "dropped %d\n", i++));
    benchmark::DoNotOptimize(KVDebugConfig.ringcount);
    debug_exit();
}
BENCHMARK(BM_DroppedMessage);

// A category outside 0 to 63 is refused before the time query.
void BM_BadCategory(benchmark::State &state) {
    debug_init();
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(debug_printf(64, KV_SEV_ERROR, "dropped %d\n", i++));
    debug_exit();
}
BENCHMARK(BM_BadCategory);

// Severity 64 (info) is kept by the ring's default mask; there is no log file.
void BM_RingOnlyMessage(benchmark::State &state) {
    debug_init();
    debug_set_file(nullptr);
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            debug_printf(3, KV_SEV_INFO, "Reading field %d of %s.\n", i++, "volume"));
    if (KVDebugConfig.ringcount != state.iterations())
        state.SkipWithError("the ring did not take every message");
    debug_exit();
}
BENCHMARK(BM_RingOnlyMessage);

} // namespace

BENCHMARK_MAIN();
