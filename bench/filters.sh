#!/bin/sh
# Wall time, CPU time and peak RSS of kuvra_pnmto3d32 and kuvra_FST_extract,
# each against cat moving the same number of bytes to the same sink.
#
#   bench/filters.sh [BUILD_DIR]        (default: build)
#
# Environment: RUNS (default 7; the best run counts, the machine is shared),
# SINKS (default "null pipe": /dev/null, and a pipe into "cat >/dev/null";
# "file", a file in the work directory, is also known but mostly measures
# the disk's write-back),
# TMPDIR (work directory parent, needs about 2 GiB).
#
# Inputs: an 8192 x 8192 16-bit P5 and an 8192 x 8192 P6 image (each gives a
# 256 MiB volume), a capsule carrying a 512 MiB file; all from /dev/urandom.
# pnmto3d32 is compared with cat writing 256 MiB, FST_extract with cat
# writing 512 MiB.
set -eu

build=${1:-build}
runs=${RUNS:-7}
sinks=${SINKS:-null pipe}
p3d=$build/bin/kuvra_pnmto3d32
fst=$build/bin/kuvra_FST_extract
for p in "$p3d" "$fst" /usr/bin/time; do
    [ -x "$p" ] || { echo "filters.sh: $p not found (build first)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kuvra-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

side=8192
mib=1048576
{ printf 'P5\n%d %d\n65535\n' $side $side; head -c $((side * side * 2)) /dev/urandom; } >"$work/p5.pgm"
{ printf 'P6\n%d %d\n255\n' $side $side; head -c $((side * side * 3)) /dev/urandom; } >"$work/p6.ppm"
head -c $((256 * mib)) /dev/urandom >"$work/256m"
head -c $((512 * mib)) /dev/urandom >"$work/512m"
{ printf 'KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n%d\n%d\n' $((512 * mib)) $((512 * mib)); cat "$work/512m"; printf '\nENDFIELD\n'; } >"$work/capsule.fst"

# run SINK INPUT PROGRAM [ARGS]: one run with standard output to the sink;
# CPU time and peak RSS of PROGRAM alone go to $work/time.
run() {
    sink=$1 input=$2
    shift 2
    case $sink in
    null) /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" <"$input" >/dev/null ;;
    pipe) /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" <"$input" | cat >/dev/null ;;
    file) /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" <"$input" >"$work/out" ;;
    *) echo "filters.sh: unknown sink $sink" >&2; exit 1 ;;
    esac
}

# measure SINK INPUT PROGRAM [ARGS]: best wall and CPU milliseconds and the
# largest peak RSS (KiB) of RUNS runs, as "wall cpu rss"; the first, untimed
# run warms the page cache.
measure() {
    run "$@"
    best_wall= best_cpu= max_rss=0
    i=0
    while [ $i -lt "$runs" ]; do
        rm -f "$work/out"
        t0=$(date +%s%N)
        run "$@"
        t1=$(date +%s%N)
        read -r user sys rss <"$work/time"
        wall=$(((t1 - t0) / 1000000))
        cpu=$(echo "($user + $sys) * 1000 / 1" | bc)
        if [ -z "$best_wall" ] || [ $wall -lt "$best_wall" ]; then best_wall=$wall; fi
        if [ -z "$best_cpu" ] || [ "$cpu" -lt "$best_cpu" ]; then best_cpu=$cpu; fi
        if [ "$rss" -gt $max_rss ]; then max_rss=$rss; fi
        i=$((i + 1))
    done
    echo "$best_wall $best_cpu $max_rss"
}

ratio() { echo "scale=2; $1 / ($2 + 0.0001)" | bc; }

row() { # name sink input ref program...
    name=$1 sink=$2 input=$3 ref=$4
    shift 4
    set -- $(measure "$sink" "$input" "$@") $(measure "$sink" "$ref" cat)
    printf '%-22s %-5s %7s %7s %7s  %7s %7s %7s  %6s %6s %6s\n' "$name" "$sink" \
        "$1" "$2" "$3" "$4" "$5" "$6" "$(ratio "$1" "$4")" "$(ratio "$2" "$5")" \
        "$(ratio "$3" "$6")"
}

echo "best of $runs runs; times in ms, peak RSS in KiB; $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-22s %-5s %7s %7s %7s  %7s %7s %7s  %6s %6s %6s\n' program sink wall cpu rss \
    cat-wall cat-cpu cat-rss x-wall x-cpu x-rss
for sink in $sinks; do
    row "pnmto3d32 P5 16-bit" "$sink" "$work/p5.pgm" "$work/256m" "$p3d"
    row "pnmto3d32 P6" "$sink" "$work/p6.ppm" "$work/256m" "$p3d"
    row "FST_extract 512 MiB" "$sink" "$work/capsule.fst" "$work/512m" "$fst"
done

# The outputs have the sizes the inputs promise.
[ "$("$p3d" -D <"$work/p5.pgm" | wc -c)" -eq $((side * side * 4)) ]
[ "$("$fst" <"$work/capsule.fst" | cmp - "$work/512m" && echo same)" = same ]
