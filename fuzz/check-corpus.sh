#!/bin/bash
# One fuzz target, briefly, on its seed corpus: every seed must pass, and a few seconds of
# fuzzing from them must find nothing. Run by CTest (label fuzz).
#
#   fuzz/check-corpus.sh TARGET_BINARY CORPUS_DIR SECONDS
#
# Exit 77 (CTest's skip) when the target could not be built because clang or libFuzzer is
# missing; the build leaves the binary absent and a marker file in its place.
set -euo pipefail
binary=$1 corpus=$2 seconds=$3
if [ ! -x "$binary" ]; then
    if [ -f "$(dirname "$binary")/NO_LIBFUZZER" ]; then
        echo "skipped: $(cat "$(dirname "$binary")/NO_LIBFUZZER")"
        exit 77
    fi
    echo "fuzz target $binary was not built" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/new"
# Every seed on its own first: a failing seed names itself.
"$binary" -runs=0 "$corpus" > "$work/seeds" 2>&1 || {
    grep -E -B5 -A20 'property broken|ERROR:|runtime error' "$work/seeds" | head -60
    exit 1
}
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/new" "$corpus" > "$work/log" 2>&1 || {
    grep -E -A20 'property broken|ERROR:|runtime error' "$work/log" | head -60
    for f in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
        [ -f "$f" ] && { echo "finding: $(basename "$f")"; od -c "$f" | head -20; }
    done
    exit 1
}
grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$work/log"
