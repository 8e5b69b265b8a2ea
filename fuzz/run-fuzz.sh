#!/bin/sh
# Runs every built fuzz target for a fixed time, or until it has run
# FUZZ_RUNS inputs when that is set (SECONDS then caps the time).
#   [FUZZ_RUNS=N] fuzz/run-fuzz.sh BUILD_DIR SECONDS [TARGET...]
# New inputs go to BUILD_DIR/fuzz/work/<target> (the seed corpus in
# fuzz/corpus/<target> is only read), crash inputs to BUILD_DIR/fuzz/artifacts.
# Prints one line per target with its executions; fails if any target fails.
set -u
build=$1
seconds=$2
shift 2
src=$(cd "$(dirname "$0")" && pwd)
bin=$build/fuzz/bin
if [ $# -eq 0 ]; then
    set -- $(cat "$build/fuzz/targets.txt")
fi
mkdir -p "$build/fuzz/artifacts" "$build/fuzz/logs"
runs=${FUZZ_RUNS:+-runs=$FUZZ_RUNS}
status=0
for t in "$@"; do
    work=$build/fuzz/work/$t
    log=$build/fuzz/logs/$t.log
    mkdir -p "$work"
    # -close_fd_mask=3: the code under test may write to stdout/stderr;
    # libFuzzer keeps its own copy of stderr for its reports.
    start=$(date +%s)
    # $runs unquoted: empty when no count is asked for.
    "$bin/fuzz_$t" -max_total_time="$seconds" $runs -print_final_stats=1 -timeout=10 \
        -rss_limit_mb=2048 -close_fd_mask=3 -artifact_prefix="$build/fuzz/artifacts/$t-" \
        "$work" "$src/corpus/$t" >"$log" 2>&1
    rc=$?
    took=$(($(date +%s) - start))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
    if [ $rc -eq 0 ]; then
        short=
        if [ -n "${FUZZ_RUNS:-}" ] && [ "${execs:-0}" -lt "$FUZZ_RUNS" ]; then
            short="  (time up before $FUZZ_RUNS)"
        fi
        printf '%-14s %10s execs in %ss  %s%s\n' "$t" "${execs:-?}" "$took" "$cov" "$short"
    else
        printf '%-14s FAILED (status %s), see %s\n' "$t" "$rc" "$log"
        grep -m 5 -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | sed 's/^/    /'
        status=1
    fi
done
exit $status
