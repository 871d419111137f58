#!/bin/bash
# Our queue against Debian's generic PCL XL driver, through a real cupsd to the simulated
# printer: the same document, in the same sandbox and run, to the queue "ZLP5520NW" (our PPD and
# pstopxl_5520nw) and to a queue made from cups-filters' pxlmono.ppd (gstopxl), both at A4 and
# 600 dpi, each to its own zlpsim-net. Prints the median time from `lp` to the job's completion
# in CUPS and the bytes the printer received, and our/generic ratios of both (goal: time <= 1).
# The network queue "ZLP5520NW-net" is measured too; its lock query adds a round trip.
#
#   bench/cups_vs_generic.sh BUILD_DIR        (as root; ZLP_BENCH_DOC=file.ps, ZLP_BENCH_RUNS=N)
#
# Default document: demo/sample.ps (three pages of Chinese and English text and a picture).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ne 1 ] || [ ! -x "$1/sim/net/zlpsim-net" ]; then
    echo "usage: $0 BUILD_DIR   (a built tree: cmake --build BUILD_DIR)" >&2
    exit 2
fi
doc=$(realpath "${ZLP_BENCH_DOC:-$repo/demo/sample.ps}")
runs=${ZLP_BENCH_RUNS:-5}
[ -r "$doc" ] || { echo "$0: cannot read $doc" >&2; exit 2; }
[[ "$runs" =~ ^[1-9][0-9]?$ ]] || { echo "$0: ZLP_BENCH_RUNS must be 1 to 99" >&2; exit 2; }

exec "$repo/tests/sandbox/sandbox.sh" "$1" --cupsd -- python3 - "$repo" "$1/sim/net/zlpsim-net" \
    "$doc" "$runs" <<'PYTHON'
import os
import statistics
import sys
import time

repo, sim, doc, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(repo, "tests", "e2e"))
from cupsharness import (NET, PPDS, USB, Failure, Simulator, add_queue, check, job_state, lp,
                         require_sandbox, wait_until)

require_sandbox("cups_vs_generic.sh")
GENERIC = "generic-pxlmono"
queues = {USB: 9110, NET: 9100, GENERIC: 9120}
work = "/var/tmp/bench"
sims = {q: Simulator(sim, f"{work}/{q}", port) for q, port in queues.items()}
add_queue(USB, queues[USB], ppd=PPDS[USB])
add_queue(NET, queues[NET], ppd=PPDS[NET])
add_queue(GENERIC, queues[GENERIC], ppd_file="/usr/share/ppd/cupsfilters/pxlmono.ppd")
# Same page as ours: A4 at 600 dpi (the generic PPD defaults to Letter).
for option in ("PageSize=A4", "Resolution=600dpi"):
    os.system(f"lpadmin -p {GENERIC} -o {option}")

times = {q: [] for q in queues}
sizes = {q: [] for q in queues}
pages = {q: set() for q in queues}
media = {q: set() for q in queues}
try:
    # Alternate the queues so that any drift of the machine hits all of them alike; the first
    # round warms the caches (fonts, Ghostscript's resources) and is not counted.
    for round_ in range(runs + 1):
        for queue in queues:
            started = time.monotonic()
            jid = lp(queue, doc, title="bench")
            state = wait_until(lambda: (s := job_state(queue, jid)) in
                               ("completed", "canceled", "aborted") and s, 300,
                               f"{queue}-{jid}", interval=0.01)
            elapsed = time.monotonic() - started
            check(state == "completed", f"{queue}-{jid} ended {state}")
            report = sims[queue].wait_report(round_ + 1)
            check(report["pclxl"]["wellFormed"], f"{queue}: broken PCL XL",
                  report["pclxl"]["error"])
            if round_ > 0:
                times[queue].append(elapsed)
                sizes[queue].append(report["bytes"])
                pages[queue].add(report["pclxl"]["pages"])
                x = report["pclxl"]
                media[queue].update(f"{p['mediaSize']}@{x['resolution'][0]}" for p in x["pageList"])
except Failure as failure:
    sys.exit(f"bench failed: {failure}")
finally:
    for s in sims.values():
        s.stop()

median = {q: statistics.median(t) for q, t in times.items()}
size = {q: statistics.median(b) for q, b in sizes.items()}
print(f"document: {doc}, {runs} runs per queue (after one warm-up), median of each")
print(f"{'queue':<18}{'lp -> completed':>16}{'bytes received':>16}{'pages':>7}  media@dpi")
for q in queues:
    print(f"{q:<18}{median[q]:>14.3f} s{int(size[q]):>16}"
          f"{','.join(map(str, sorted(pages[q]))):>7}  {','.join(sorted(media[q]))}")
for q in (USB, NET):
    print(f"{q} / generic: time {median[q] / median[GENERIC]:.3f}, "
          f"bytes {size[q] / size[GENERIC]:.3f}")
goal = median[USB] <= median[GENERIC]
print(f"goal (ours no slower than the generic driver): {'met' if goal else 'NOT met'}")
PYTHON
