#!/bin/sh
# Benchmark of the DICOM export: kuvra_ppmtodicom -d secondary_capture on a
# 4096 x 4096 P6 (48 MiB) and a 4096 x 4096 16-bit P5 (32 MiB), against
# gdcmimg converting the same files.  Reports the best wall time of RUNS
# runs of each, their ratio, and the peak RSS of every process of our
# pipeline (converter, m4, dd, synthesizer; each measured by /usr/bin/time
# through wrappers placed first on PATH, in a separate run).
# Targets: at most 0.5x gdcmimg's wall time, every process under 16 MiB.
#
# Usage: bench/dicom.sh [build-dir]       (RUNS=5 by default)
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
runs=${RUNS:-5}
bin=$build/bin
for p in kuvra_ppmtodicom kuvra_dicom_synthesizer; do
    [ -x "$bin/$p" ] || { echo "dicom.sh: $bin/$p is not built" >&2; exit 1; }
done
work=$(mktemp -d /tmp/kuvra_bench_dicom.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

/usr/bin/python3 - "$work" <<'PY'
import os, sys
w = h = 4096
d = sys.argv[1]
row = bytes((x * 7 + 13) & 0xFF for x in range(w * 3))
with open(os.path.join(d, "rgb.ppm"), "wb") as f:
    f.write(b"P6\n%d %d\n255\n" % (w, h))
    for y in range(h):
        f.write(row[y % 97:] + row[:y % 97])
row16 = b"".join(bytes(((v >> 8) & 0x0F, v & 0xFF)) for v in range(0, w * 5, 5))
with open(os.path.join(d, "grey.pgm"), "wb") as f:
    f.write(b"P5\n%d %d\n4095\n" % (w, h))
    for y in range(h):
        f.write(row16[2 * (y % 89):] + row16[:2 * (y % 89)])
PY

now() { date +%s.%N; }
# best_of CMD...: the smallest wall time of $runs runs, in seconds.
best_of() {
    best=
    i=0
    while [ $i -lt "$runs" ]; do
        t0=$(now)
        "$@"
        t1=$(now)
        t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
        if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
        i=$((i + 1))
    done
    printf '%.3f' "$best"
}

ours() { PATH=$bin:$PATH "$bin/kuvra_ppmtodicom" -d secondary_capture < "$1" > "$work/ours.dcm"; }
theirs() { gdcmimg -i "$1" -o "$work/gdcm.dcm"; }

# Wrappers that record the peak RSS of each program of the pipeline.
mkdir "$work/wrap"
for p in m4 dd kuvra_dicom_synthesizer; do
    real=$(PATH=$bin:$PATH command -v $p)
    printf '#!/bin/sh\nexec /usr/bin/time -a -o "%s/rss" -f "%s %%M KiB" "%s" "$@"\n' \
        "$work" "$p" "$real" > "$work/wrap/$p"
    chmod +x "$work/wrap/$p"
done

fail=0
for img in rgb.ppm grey.pgm; do
    in=$work/$img
    t_ours=$(best_of ours "$in")
    t_gdcm=$(best_of theirs "$in")
    ratio=$(awk -v a="$t_ours" -v b="$t_gdcm" 'BEGIN { printf "%.2f", a / b }')
    : > "$work/rss"
    PATH=$work/wrap:$bin:$PATH /usr/bin/time -a -o "$work/rss" -f "kuvra_ppmtodicom %M KiB" \
        "$bin/kuvra_ppmtodicom" -d secondary_capture < "$in" > "$work/ours.dcm" 2>/dev/null
    /usr/bin/time -o "$work/rss.gdcm" -f "%M" gdcmimg -i "$in" -o "$work/gdcm.dcm"
    echo "$img ($(stat -c %s "$in") bytes):"
    echo "  kuvra -d secondary_capture: ${t_ours} s   gdcmimg: ${t_gdcm} s   ratio ${ratio} (target <= 0.5)"
    echo "  peak RSS: $(sort -u "$work/rss" | tr '\n' ',' | sed 's/,$//; s/,/, /g')   gdcmimg: $(cat "$work/rss.gdcm") KiB"
    [ -s "$work/ours.dcm" ] || { echo "  no output"; fail=1; }
    awk -v r="$ratio" 'BEGIN { exit !(r > 0.5) }' && fail=1
    while read -r name kib unit; do
        [ "$kib" -ge 16384 ] && { echo "  $name over 16 MiB"; fail=1; }
    done < "$work/rss"
done
exit $fail
