#!/bin/sh
# kuvra_ppmtodicom -m on a 4096 x 4096 P6 image (48 MiB of pixels), plain and
# gzip-compressed, against the cost of just writing the same bytes to a file
# in /tmp: cat for the plain input, gunzip -c for the compressed one.
# Prints the median wall times, their ratios and the converter's peak RSS.
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

# Median wall time in seconds of RUNS runs of a shell command; after each run
# the files it left are removed (the converter's spool files are named in
# its stream).
median() {
    i=0
    : >"$WORK/times"
    while [ $i -lt "$RUNS" ]; do
        start=$(date +%s.%N)
        sh -c "$1"
        end=$(date +%s.%N)
        echo "$end - $start" | bc -l >>"$WORK/times"
        cleanup
        i=$((i + 1))
    done
    sort -n "$WORK/times" | awk '{ t[NR] = $1 } END { printf "%.3f", t[int((NR + 1) / 2)] }'
}

cleanup() {
    if [ -s "$WORK/stream" ]; then
        grep -o '/tmp/kuvra_ppmtodicom_[A-Za-z0-9]\{6\}' "$WORK/stream" | sort -u | xargs -r rm -f
    fi
    rm -f "$WORK/stream" "$WORK/copy"
}

# Peak resident set of one converter run, in KiB.
peak_rss() {
    /usr/bin/time -f %M -o "$WORK/rss" sh -c "exec '$CONV' -m <'$1' >'$WORK/stream'"
    cleanup
    cat "$WORK/rss"
}

sync
median "cat '$WORK/in.ppm' >'$WORK/copy'" >/dev/null # warm the cache
plain_base=$(median "cat '$WORK/in.ppm' >'$WORK/copy'")
plain_conv=$(median "'$CONV' -m <'$WORK/in.ppm' >'$WORK/stream'")
gz_base=$(median "gunzip -c '$WORK/in.ppm.gz' >'$WORK/copy'")
gz_conv=$(median "'$CONV' -m <'$WORK/in.ppm.gz' >'$WORK/stream'")
plain_rss=$(peak_rss "$WORK/in.ppm")
gz_rss=$(peak_rss "$WORK/in.ppm.gz")

ratio() { echo "$1 / $2" | bc -l | awk '{ printf "%.2f", $1 }'; }
printf 'input: %dx%d P6, %d bytes plain, %d bytes gzip; median of %d runs\n' $W $H \
    "$(wc -c <"$WORK/in.ppm")" "$(wc -c <"$WORK/in.ppm.gz")" "$RUNS"
printf '%-10s %-22s %9s %9s %7s %10s\n' case baseline base_s conv_s ratio peak_rss
printf '%-10s %-22s %9s %9s %7s %7s KiB\n' plain "cat > /tmp file" "$plain_base" "$plain_conv" \
    "$(ratio "$plain_conv" "$plain_base")" "$plain_rss"
printf '%-10s %-22s %9s %9s %7s %7s KiB\n' gzip "gunzip -c > /tmp file" "$gz_base" "$gz_conv" \
    "$(ratio "$gz_conv" "$gz_base")" "$gz_rss"
echo "targets: ratio <= 1.30, peak RSS < 8192 KiB"
