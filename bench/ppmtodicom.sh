#!/bin/sh
# kuvra_ppmtodicom -m on a 4096 x 4096 P6 image (48 MiB of pixels), plain and
# gzip-compressed, against the cost of just writing the same bytes to a file
# in /tmp: cat for the plain input, gunzip -c for the compressed one.
# Prints the median wall and CPU times, their ratios and the converter's peak
# RSS.
#
# Usage: bench/ppmtodicom.sh [build-dir] [runs]
set -eu

BUILD=${1:-build}
RUNS=${2:-11}
CONV="$(cd "$BUILD/bin" && pwd)/kuvra_ppmtodicom"
[ -x "$CONV" ] || { echo "no $CONV; build first" >&2; exit 1; }
# The converter finds kuvra_pipeprefix on PATH, as an installed copy does.
PATH="$(dirname "$CONV"):$PATH"
export PATH

WORK=$(mktemp -d /tmp/kvbench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT INT TERM

# Uniform noise of 16 levels (4 bits a byte): gzip halves it, about as a
# real image compresses.
W=4096
H=4096
LEVELS=$(i=0; while [ $i -lt 16 ]; do printf '\\000-\\017'; i=$((i + 1)); done)
{
    printf 'P6\n#Patient Name:\tBench\n%d %d\n255\n' $W $H
    head -c $((W * H * 3)) /dev/urandom | tr '\000-\377' "$LEVELS"
} >"$WORK/in.ppm"
gzip -c "$WORK/in.ppm" >"$WORK/in.ppm.gz"

# Runs a shell command RUNS times and prints the median wall time and the
# median CPU time (user + system, children included) in seconds.  After each
# run the files it left are removed (the converter's spool files are named
# in its stream).  Wall time on a shared machine is noisy; CPU time is the
# steadier figure.
median() {
    i=0
    : >"$WORK/times"
    while [ $i -lt "$RUNS" ]; do
        /usr/bin/time -f '%e %U %S' -o "$WORK/one" sh -c "$1"
        awk '{ printf "%s %.3f\n", $1, $2 + $3 }' "$WORK/one" >>"$WORK/times"
        cleanup
        i=$((i + 1))
    done
    wall=$(sort -n -k1,1 "$WORK/times" | awk '{ t[NR] = $1 } END { printf "%.3f", t[int((NR + 1) / 2)] }')
    cpu=$(sort -n -k2,2 "$WORK/times" | awk '{ t[NR] = $2 } END { printf "%.3f", t[int((NR + 1) / 2)] }')
    echo "$wall $cpu"
}

cleanup() {
    if [ -s "$WORK/stream" ]; then
        grep -o '/tmp/kuvra_ppmtodicom_[A-Za-z0-9]\{6\}' "$WORK/stream" | sort -u | xargs -r rm -f
    fi
    rm -f "$WORK/stream" "$WORK/copy"
}

# Peak resident set of one converter run, in KiB (GNU time, Debian package "time").
peak_rss() {
    /usr/bin/time -f %M -o "$WORK/rss" sh -c "exec '$CONV' -m <'$1' >'$WORK/stream'"
    cleanup
    cat "$WORK/rss"
}

sync
median "cat '$WORK/in.ppm' >'$WORK/copy'" >/dev/null # warm the cache
set -- $(median "cat '$WORK/in.ppm' >'$WORK/copy'") \
    $(median "'$CONV' -m <'$WORK/in.ppm' >'$WORK/stream'") \
    $(median "gunzip -c '$WORK/in.ppm.gz' >'$WORK/copy'") \
    $(median "'$CONV' -m <'$WORK/in.ppm.gz' >'$WORK/stream'")
plain_rss=$(peak_rss "$WORK/in.ppm")
gz_rss=$(peak_rss "$WORK/in.ppm.gz")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
printf 'input: %dx%d P6, %d bytes plain, %d bytes gzip; medians of %d runs\n' $W $H \
    "$(wc -c <"$WORK/in.ppm")" "$(wc -c <"$WORK/in.ppm.gz")" "$RUNS"
printf '%-6s %-22s %8s %8s %6s %8s %8s %6s %10s\n' case baseline base_s conv_s ratio \
    base_cpu conv_cpu ratio peak_rss
printf '%-6s %-22s %8s %8s %6s %8s %8s %6s %6s KiB\n' plain "cat > /tmp file" "$1" "$3" \
    "$(ratio "$3" "$1")" "$2" "$4" "$(ratio "$4" "$2")" "$plain_rss"
# The decompressors the converter starts end unwaited-for, so its CPU time
# would leave them out: no CPU figures for the compressed case.
printf '%-6s %-22s %8s %8s %6s %8s %8s %6s %6s KiB\n' gzip "gunzip -c > /tmp file" "$5" "$7" \
    "$(ratio "$7" "$5")" - - - "$gz_rss"
echo "targets: ratio <= 1.30, peak RSS < 8192 KiB"
