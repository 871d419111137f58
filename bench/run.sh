#!/bin/bash
# The filter benchmarks, all three, inside the test sandbox (run as root):
#   bench/run.sh BUILD_DIR
# (a) copy path: a rasterizer stand-in writing 1 GiB, through each filter and zlpsim-backend,
#     against `cat` of the same bytes through the same capture;
# (b) a real 20-page PostScript job at 600 dpi through the USB filter and Ghostscript, against
#     the same Ghostscript command alone;
# (c) the filters' own peak resident memory against a program that only links libcups.
# ZLP_BENCH_BYTES (default 1073741824), ZLP_BENCH_RUNS (copy path, default 5) and
# ZLP_BENCH_REAL_RUNS (real job, default 7) change its length; the best run of each counts.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ "${1:-}" != "--inside" ]; then
    if [ $# -ne 1 ]; then
        echo "usage: bench/run.sh BUILD_DIR" >&2
        exit 2
    fi
    build=$(cd "$1" && pwd)
    for f in sim/backend/zlpsim-backend bench/zlp_bench_rasterizer bench/zlp_bench_bare \
        bench/zlp_bench_peakrss filter/pstopxl_5520nw filter/pstopxl_5520nw_net; do
        if [ ! -x "$build/$f" ]; then
            echo "bench/run.sh: $build/$f is missing; build first: cmake --build $build" >&2
            exit 2
        fi
    done
    exec "$here/../tests/sandbox/sandbox.sh" "$build" -- "$here/run.sh" --inside "$build"
fi

build=$2
backend=$build/sim/backend/zlpsim-backend
filters=$(cups-config --serverbin)/filter
rasterizer=/opt/varn/ZLP5520NW/bin/usb/zlp5520nw/bin/gs
bytes=${ZLP_BENCH_BYTES:-1073741824}
runs=${ZLP_BENCH_RUNS:-5}
real_runs=${ZLP_BENCH_REAL_RUNS:-7}
work=/var/tmp/bench
mkdir -p "$work"
export PPD=$(cups-config --datadir)/model/ZLP5520NW.ppd
[ -f "$PPD" ] || echo "note: $PPD is not installed; the filters use their defaults"
args=(ZLP5520NW 42 user title 1 "")
printf 'lock CODE=00001\n' >"$work/net.script"
: >"$work/usb.script"

script_for() {
    if [ "$1" = pstopxl_5520nw_net ]; then echo "$work/net.script"; else echo "$work/usb.script"; fi
}
now_ns() { date +%s%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
mibps() { awk -v b="$bytes" -v ns="$1" 'BEGIN { printf "%.0f", b / 1048576 / (ns / 1e9) }'; }
verdict() { awk -v v="$1" -v goal="$2" -v op="$3" \
    'BEGIN { ok = op == ">=" ? v >= goal : v <= goal; print ok ? "goal met" : "GOAL NOT MET" }'; }

# Runs a command RUNS times; sets best_ns to the fastest wall time. Any failure ends the bench.
best_of() {
    local label=$1 start elapsed rc
    shift
    best_ns=
    for _ in $(seq "$runs"); do
        start=$(now_ns)
        set +e
        "$@"
        rc=$?
        set -e
        elapsed=$(($(now_ns) - start))
        if [ "$rc" -ne 0 ]; then
            echo "bench: $label failed with exit code $rc" >&2
            tail -n 20 "$work/err" >&2 2>/dev/null || true
            exit 1
        fi
        if [ -z "$best_ns" ] || [ "$elapsed" -lt "$best_ns" ]; then best_ns=$elapsed; fi
        rm -f /var/tmp/qzt.prn
    done
}

# The bytes the backend had captured at the filter's last drain request.
last_drain_bytes() { awk '$2 == "drain" { n = $5 } END { print n + 0 }' "$work/events"; }

echo "== (a) copy path: $bytes bytes from a rasterizer stand-in, best of $runs"
ln -sfn "$build/bench/zlp_bench_rasterizer" "$rasterizer"
export ZLP_BENCH_BYTES=$bytes
best_of cat "$backend" --in /dev/null --out /dev/null --err "$work/err" -- \
    /bin/sh sh -c "'$build/bench/zlp_bench_rasterizer' | cat" cat x y
cat_ns=$best_ns
printf '  %-20s %8s s %7s MiB/s\n' cat "$(seconds "$cat_ns")" "$(mibps "$cat_ns")"
for filter in pstopxl_5520nw pstopxl_5520nw_net; do
    best_of "$filter" "$backend" --script "$(script_for $filter)" --in /dev/null --out /dev/null \
        --err "$work/err" --events "$work/events" -- "$filters/$filter" "${args[@]}"
    moved=$(last_drain_bytes)
    if [ "$moved" -lt "$bytes" ]; then
        echo "bench: $filter passed on only $moved of $bytes bytes" >&2
        exit 1
    fi
    r=$(ratio "$cat_ns" "$best_ns")
    printf '  %-20s %8s s %7s MiB/s  throughput ratio to cat %s (goal >= 0.9: %s)\n' "$filter" \
        "$(seconds "$best_ns")" "$(mibps "$best_ns")" "$r" "$(verdict "$r" 0.9 '>=')"
done
unset ZLP_BENCH_BYTES
ln -sfn /usr/bin/gs "$rasterizer"

runs=$real_runs
echo "== (b) real job: 20 pages, 600 dpi, pxlmono, best of $runs"
"$here/make-job.sh" 20 >"$work/job.ps"
# The spool file the filter counts pages and copies in.
cp "$work/job.ps" /var/spool/cups/d00042-001
best_of gs sh -c "gs -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pxlmono -r600x600 -g4961x7016 -q \
    -sOutputFile=- - <'$work/job.ps' >'$work/gs.prn' 2>'$work/err'"
gs_ns=$best_ns
best_of pstopxl_5520nw "$backend" --in "$work/job.ps" --out "$work/filter.prn" \
    --err "$work/err" --events "$work/events" -- "$filters/pstopxl_5520nw" "${args[@]}"
filter_ns=$best_ns
r=$(ratio "$filter_ns" "$gs_ns")
printf '  %-20s %8s s  %10s bytes\n' "gs alone" "$(seconds "$gs_ns")" "$(stat -c %s "$work/gs.prn")"
printf '  %-20s %8s s  %10s bytes  time ratio to gs %s (goal <= 1.03: %s)\n' pstopxl_5520nw \
    "$(seconds "$filter_ns")" "$(stat -c %s "$work/filter.prn")" "$r" "$(verdict "$r" 1.03 '<=')"

echo "== (c) peak resident memory (VmHWM at exit, the process itself, not Ghostscript)"
ZLP_PEAKRSS_PROGRAM=$build/bench/zlp_bench_bare ZLP_PEAKRSS_OUT=$work/bare.kib \
    "$build/bench/zlp_bench_peakrss" bare
bare_kib=$(cat "$work/bare.kib")
printf '  %-20s %8s KiB\n' "libcups only" "$bare_kib"
for filter in pstopxl_5520nw pstopxl_5520nw_net; do
    ZLP_PEAKRSS_PROGRAM=$filters/$filter ZLP_PEAKRSS_OUT=$work/filter.kib \
        "$backend" --script "$(script_for $filter)" --in "$work/job.ps" --out /dev/null \
        --err "$work/err" -- "$build/bench/zlp_bench_peakrss" "${args[@]}"
    kib=$(cat "$work/filter.kib")
    diff=$((kib - bare_kib))
    printf '  %-20s %8s KiB  difference %s KiB (goal <= 1024: %s)\n' "$filter" "$kib" "$diff" \
        "$(verdict "$diff" 1024 '<=')"
done
