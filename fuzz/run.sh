#!/bin/bash
# Runs the fuzz targets, each for SECONDS (default 60) starting from its corpus in the repo, and
# reports executions per second and findings. New inputs go to a scratch folder, never into the
# repo; a finding (crash, leak, time-out, broken property) is copied to fuzz/findings/.
#   fuzz/run.sh FUZZ_BUILD_DIR [SECONDS [TARGET...]]
# FUZZ_BUILD_DIR is BUILD/fuzz/targets of the main build, or a build of fuzz/targets made with
# clang. Exit code 1 when any target found something.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ $# -lt 1 ]; then
    sed -n '2,8p' "$0" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_pjlheader fuzz_customsize fuzz_spoolscan fuzz_lockreply fuzz_jobtext)
fi

scratch=$(mktemp -d /tmp/zlp-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failed=0
printf '%-18s %8s %10s %9s %6s  %s\n' target seconds runs exec/s corpus findings
for target in "${targets[@]}"; do
    program=$build/$target
    if [ ! -x "$program" ]; then
        echo "fuzz/run.sh: $program is missing; build the fuzz targets first" >&2
        exit 2
    fi
    mkdir -p "$scratch/$target/new" "$scratch/$target/art"
    set +e
    "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$scratch/$target/art/" "$scratch/$target/new" "$here/corpus/$target" \
        >"$scratch/$target/log" 2>&1
    rc=$?
    set -e
    runs=$(awk '/stat::number_of_executed_units:/ { print $2 }' "$scratch/$target/log")
    speed=$(awk '/stat::average_exec_per_sec:/ { print $2 }' "$scratch/$target/log")
    units=$(($(find "$here/corpus/$target" "$scratch/$target/new" -type f | wc -l)))
    findings=$(find "$scratch/$target/art" -type f | wc -l)
    note=none
    if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
        failed=1
        mkdir -p "$here/findings"
        cp "$scratch/$target/art/"* "$here/findings/" 2>/dev/null || true
        note="exit $rc, $findings input(s) in fuzz/findings/"
        grep -E 'ERROR|SUMMARY|#[0-9]+ 0x' "$scratch/$target/log" | head -12 >&2 || true
    fi
    printf '%-18s %8s %10s %9s %6s  %s\n' "$target" "$seconds" "${runs:-?}" "${speed:-?}" \
        "$units" "$note"
done
exit $failed
