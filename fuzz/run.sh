#!/bin/bash
# Builds the fuzz targets (if needed) and runs every one of them for SECONDS, then reports
# per target the executions, executions per second, new inputs found and any finding.
#
#   fuzz/run.sh SECONDS [TARGET...]
#
# ZLP_FUZZ_BUILD   build folder of the targets (default: build-fuzz beside this repo's files)
# ZLP_FUZZ_OUT     where runs keep their work (default: $ZLP_FUZZ_BUILD/runs)
# ZLP_FUZZ_JOBS    targets run at once (default 1); each is one process at nice 10
#
# The seed corpus in fuzz/corpus/<target>/ is read, never written: inputs found are kept in
# $ZLP_FUZZ_OUT/<target>/corpus, findings in $ZLP_FUZZ_OUT/<target>/ as crash-*, leak-*,
# timeout-* or oom-* files. A finding is a fault: fix it, then add the input to the corpus.
# Exit code 0 when no target found anything, 1 otherwise, 2 on a usage or build error.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: $0 SECONDS [TARGET...]" >&2
    exit 2
fi
shift
build=${ZLP_FUZZ_BUILD:-$here/../build-fuzz}
out=${ZLP_FUZZ_OUT:-$build/runs}
jobs=${ZLP_FUZZ_JOBS:-1}

if ! command -v clang++ > /dev/null; then
    echo "clang++ not found: install clang and libclang-rt-14-dev" >&2
    exit 2
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
fi
cmake --build "$build" -j2 > "$build/build.log" 2>&1 || {
    tail -30 "$build/build.log" >&2
    exit 2
}

if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < <(ls "$here/corpus")
fi

run_one() {
    local target=$1 dir=$out/$1
    mkdir -p "$dir/corpus"
    rm -f "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-*
    local start=$SECONDS
    # -timeout: one input taking 10 s is a hang; -rss_limit_mb: memory beyond 2 GiB a finding.
    nice -n 10 "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" "$here/corpus/$target" \
        > "$dir/log" 2>&1 || true
    echo $((SECONDS - start)) > "$dir/wall"
}

running=0
for target in "${targets[@]}"; do
    if [ ! -x "$build/fuzz_$target" ]; then
        echo "no such target: $target" >&2
        exit 2
    fi
    run_one "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait

found=0
printf '%-16s %8s %12s %10s %8s %6s  %s\n' target seconds execs exec/s corpus cover finding
for target in "${targets[@]}"; do
    dir=$out/$target
    stat() { sed -n "s/^stat::$1: *//p" "$dir/log" | tail -1; }
    execs=$(stat number_of_executed_units)
    rate=$(stat average_exec_per_sec)
    cover=$(grep -o 'cov: [0-9]*' "$dir/log" | tail -1 | cut -d' ' -f2)
    units=$(find "$dir/corpus" -type f | wc -l)
    finding=$(ls "$dir" | grep -E '^(crash|leak|timeout|oom)-' | head -1 || true)
    if [ -n "$finding" ]; then
        found=1
        finding="$dir/$finding: $(grep -m1 -E 'property broken|ERROR:|runtime error' "$dir/log" || true)"
    fi
    printf '%-16s %8s %12s %10s %8s %6s  %s\n' "$target" "$(cat "$dir/wall")" "${execs:-?}" \
        "${rate:-?}" "$units" "${cover:-?}" "${finding:-none}"
done
exit $found
