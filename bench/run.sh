#!/bin/bash
# The filter benchmarks, all three, inside the test sandbox (run as root):
#   bench/run.sh BUILD_DIR
# (a) copy path: a rasterizer stand-in writing 1 GiB, through each filter and zlpsim-backend,
#     against `cat` of the same bytes through the same capture, and for the USB filter (which
#     also keeps a debug copy) against `tee FILE` into the same folder; and the filter's fixed
#     cost per job;
# (b) real 20- and 200-page PostScript jobs at 600 dpi through the USB filter and Ghostscript,
#     against the same Ghostscript command alone;
# (c) the filters' own peak resident memory against a program that only links libcups, with a
#     PostScript and a PDF spool file.
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
# The USB filter also writes every byte to its debug copy in /var/tmp: its floor is a tool that
# does the same, tee into a file in that folder.
best_of tee "$backend" --in /dev/null --out /dev/null --err "$work/err" -- \
    /bin/sh sh -c "'$build/bench/zlp_bench_rasterizer' | tee /var/tmp/tee.prn" tee x y
tee_ns=$best_ns
rm -f /var/tmp/tee.prn
printf '  %-20s %8s s %7s MiB/s  (and a copy in /var/tmp)\n' "tee FILE" "$(seconds "$tee_ns")" \
    "$(mibps "$tee_ns")"
for filter in pstopxl_5520nw pstopxl_5520nw_net; do
    best_of "$filter" "$backend" --script "$(script_for $filter)" --in /dev/null --out /dev/null \
        --err "$work/err" --events "$work/events" -- "$filters/$filter" "${args[@]}"
    moved=$(last_drain_bytes)
    if [ "$moved" -lt "$bytes" ]; then
        echo "bench: $filter passed on only $moved of $bytes bytes" >&2
        exit 1
    fi
    if [ "$filter" = pstopxl_5520nw ]; then
        floor=tee floor_ns=$tee_ns
        rc=$(ratio "$cat_ns" "$best_ns")
        extra=" (to cat $rc)"
    else
        floor=cat floor_ns=$cat_ns extra=
    fi
    r=$(ratio "$floor_ns" "$best_ns")
    printf '  %-20s %8s s %7s MiB/s  throughput ratio to %s %s (goal >= 0.9: %s)%s\n' "$filter" \
        "$(seconds "$best_ns")" "$(mibps "$best_ns")" "$floor" "$r" "$(verdict "$r" 0.9 '>=')" \
        "$extra"
done

# The filter's own cost per job: everything but rendering, with a stand-in rasterizer that
# writes only the preamble, against that stand-in alone under the same backend.
fixed_runs=${ZLP_BENCH_FIXED_RUNS:-20}
mean_ns() {
    local start total=0
    for _ in $(seq "$fixed_runs"); do
        start=$(now_ns)
        "$@" >/dev/null 2>&1 || { echo "bench: $1 failed" >&2; exit 1; }
        total=$((total + $(now_ns) - start))
    done
    echo $((total / fixed_runs))
}
export ZLP_BENCH_BYTES=0
alone_ns=$(mean_ns "$backend" --in /dev/null --out /dev/null --err /dev/null -- \
    "$build/bench/zlp_bench_rasterizer" gs x y z 1 "")
job_ns=$(mean_ns "$backend" --in /dev/null --out /dev/null --err /dev/null -- \
    "$filters/pstopxl_5520nw" "${args[@]}")
fixed_ms=$(awk -v a="$job_ns" -v b="$alone_ns" 'BEGIN { printf "%.1f", (a - b) / 1e6 }')
unset ZLP_BENCH_BYTES
ln -sfn /usr/bin/gs "$rasterizer"

runs=$real_runs
gs_args="-dBATCH -dPARANOIDSAFER -dNOMEDIAATTRS -dNOINTERPOLATE -sDEVICE=pxlmono \
-dNumRenderingThreads=4 -r600x600 -g4961x7016 -q -dMediaPosition=1 -dNOPAUSE -dSAFER \
-sstdout=%stderr -sOutputFile=- -"
echo "== (b) real job: 600 dpi, pxlmono, best of $runs; the filter's fixed cost per job: $fixed_ms ms"
echo "   (mean of $fixed_runs jobs with a rasterizer that only writes its preamble, less that rasterizer alone)"
for pages in 20 200; do
    "$here/make-job.sh" "$pages" >"$work/job.ps"
    # The spool file the filter counts pages and copies in.
    cp "$work/job.ps" /var/spool/cups/d00042-001
    # Ghostscript with the very arguments the filter gives it, its output through the same
    # backend capture: what remains is the filter's own cost.
    best_of gs "$backend" --in "$work/job.ps" --out "$work/gs.prn" --err "$work/err" -- \
        /bin/sh sh -c "exec gs $gs_args" gs x y z
    gs_ns=$best_ns
    best_of pstopxl_5520nw "$backend" --in "$work/job.ps" --out "$work/filter.prn" \
        --err "$work/err" --events "$work/events" -- "$filters/pstopxl_5520nw" "${args[@]}"
    filter_ns=$best_ns
    r=$(ratio "$filter_ns" "$gs_ns")
    goal=
    [ "$pages" = 200 ] && goal=" (goal <= 1.03: $(verdict "$r" 1.03 '<='))"
    printf '  %3s pages  gs alone %8s s %11s bytes\n' "$pages" "$(seconds "$gs_ns")" \
        "$(stat -c %s "$work/gs.prn")"
    printf '  %3s pages  filter   %8s s %11s bytes  %s ms, time ratio to gs %s%s\n' "$pages" \
        "$(seconds "$filter_ns")" "$(stat -c %s "$work/filter.prn")" \
        "$(awk -v a="$filter_ns" -v b="$gs_ns" 'BEGIN { printf "%+.0f", (a - b) / 1e6 }')" "$r" "$goal"
done
"$here/make-job.sh" 20 >"$work/job.ps"
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile="$work/job.pdf" "$work/job.ps"

echo "== (c) peak resident memory (VmHWM at exit, the process itself, not Ghostscript)"
ZLP_PEAKRSS_PROGRAM=$build/bench/zlp_bench_bare ZLP_PEAKRSS_OUT=$work/bare.kib \
    "$build/bench/zlp_bench_peakrss" bare
bare_kib=$(cat "$work/bare.kib")
printf '  %-20s %8s KiB\n' "libcups only" "$bare_kib"
# The spool file decides how pages are counted: PostScript comments, or qpdf for a PDF.
for spool in ps pdf; do
    cp "$work/job.$spool" /var/spool/cups/d00042-001
    for filter in pstopxl_5520nw pstopxl_5520nw_net; do
        ZLP_PEAKRSS_PROGRAM=$filters/$filter ZLP_PEAKRSS_OUT=$work/filter.kib \
            "$backend" --script "$(script_for $filter)" --in "$work/job.ps" --out /dev/null \
            --err "$work/err" -- "$build/bench/zlp_bench_peakrss" "${args[@]}"
        kib=$(cat "$work/filter.kib")
        diff=$((kib - bare_kib))
        if [ "$spool" = ps ]; then
            goal=" (goal <= 1024: $(verdict "$diff" 1024 '<='))"
        else
            goal=" (qpdf loaded for the PDF)"
        fi
        printf '  %-20s %-4s spool %8s KiB  difference %s KiB%s\n' "$filter" "$spool" "$kib" \
            "$diff" "$goal"
    done
done
