#!/bin/bash
# The driverless road against the classic one, side by side in one run: the same document to a
# driverless CUPS queue (lpadmin -m everywhere) printing through zlp5520nw-printer-app, and to
# the classic network queue "ZLP5520NW-net" (our PPD and filter), each to its own zlpsim-net;
# and on USB, a second driverless queue through the app's USB printer (PAPPL's USB device on
# the simulated USB printer: the app's server runs under zlpsim-usb) beside the classic USB
# queue "ZLP5520NW" (its filter; CUPS's socket backend to a zlpsim-net stands in for its usb
# backend). Prints the median time from `lp` to the job's completion in CUPS, the bytes the
# printer received, and the app's resident memory when idle (after start and after the jobs).
#
#   bench/driverless_vs_classic.sh BUILD_DIR   (as root; ZLP_BENCH_DOC=file.ps, ZLP_BENCH_RUNS=N)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
app="$1/printerapp/zlp5520nw-printer-app"
if [ $# -ne 1 ] || [ ! -x "$1/sim/net/zlpsim-net" ] || [ ! -x "$app" ]; then
    echo "usage: $0 BUILD_DIR   (a built tree with the Printer Application)" >&2
    exit 2
fi
doc=$(realpath "${ZLP_BENCH_DOC:-$repo/demo/sample.ps}")
runs=${ZLP_BENCH_RUNS:-5}
[ -r "$doc" ] || { echo "$0: cannot read $doc" >&2; exit 2; }
[[ "$runs" =~ ^[1-9][0-9]?$ ]] || { echo "$0: ZLP_BENCH_RUNS must be 1 to 99" >&2; exit 2; }

exec "$repo/tests/sandbox/sandbox.sh" "$1" --cupsd -- python3 - "$repo" "$1/sim/net/zlpsim-net" \
    "$app" "$doc" "$runs" "$1/sim/usb/zlpsim-usb" <<'PYTHON'
import glob
import json
import os
import statistics
import subprocess
import sys
import time

repo, sim, app_path, doc, runs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
usb_sim = sys.argv[6]
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(repo, "tests", "e2e"))
sys.path.insert(0, os.path.join(repo, "tests", "printerapp"))
from cupsharness import (NET, PORTS, PPDS, USB, Failure, Simulator, add_queue, check, job_state,
                         lp, run, require_sandbox, wait_until)
import app_e2e
import app_usb_e2e

require_sandbox("driverless_vs_classic.sh")
DRIVERLESS, DRIVERLESS_USB = "ZLPapp", "ZLPappusb"
STREAMS = "/var/tmp/bench/usb-streams"
os.makedirs(app_e2e.WORK, exist_ok=True)
os.makedirs(STREAMS, exist_ok=True)
sims = {NET: Simulator(sim, "/var/tmp/bench/classic", 9100),
        DRIVERLESS: Simulator(sim, "/var/tmp/bench/driverless", 9130),
        USB: Simulator(sim, "/var/tmp/bench/classic-usb", PORTS[USB]),
        DRIVERLESS_USB: None}
add_queue(NET, 9100, ppd=PPDS[NET])
add_queue(USB, PORTS[USB], ppd=PPDS[USB])
script = "/var/tmp/bench/usb-printer.txt"
with open(script, "w") as f:
    f.write('on "CheckStatus?"\n  reply "CODE=10001"\n')
app = app_e2e.App(app_path, "zlpnet://127.0.0.1:9130",
                  prefix=(usb_sim, "--script", script, "--stream-dir", STREAMS, "--"))
run(app_path, "add", "-d", "zlpusb", "-v", "usb://VARN/ZLP5520NW?serial=ZLPSIM0001", "-m", "zlp5520nw")


def app_pid():
    """The server itself, a child of zlpsim-usb."""
    pid = app_usb_e2e.server_pid(app.proc.pid, app_path)
    if not pid:
        raise Failure("the app's server is not running")
    return pid


def rss_kib():
    with open(f"/proc/{app_pid()}/status") as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])


def usb_report(count):
    """The newest job at the simulated USB printer, decoded; the device's opens that sent a
    job (not a status poll) must be `count`."""
    def jobs():
        found = []
        for path in sorted(glob.glob(f"{STREAMS}/open-*.bin")):
            with open(path, "rb") as f:
                if f.read(12) != b"CheckStatus?":
                    found.append(path)
        return len(found) == count and found
    path = wait_until(jobs, 30, f"USB job {count} at the printer")[-1]
    out = subprocess.run([sim, "--decode", path], capture_output=True, text=True, timeout=60)
    return json.loads(out.stdout)


time.sleep(2)
idle_start = rss_kib()
run("lpadmin", "-p", DRIVERLESS, "-E", "-v", app_e2e.URI, "-m", "everywhere")
run("lpadmin", "-p", DRIVERLESS_USB, "-E", "-v", app_e2e.URI.rsplit("/", 1)[0] + "/zlpusb",
    "-m", "everywhere")
times = {q: [] for q in sims}
sizes = {q: [] for q in sims}
pages = {q: set() for q in sims}
try:
    for round_ in range(runs + 1):  # the first round warms caches and is not counted
        for queue in sims:
            started = time.monotonic()
            jid = lp(queue, doc, title="bench")
            state = wait_until(lambda: (s := job_state(queue, jid)) in
                               ("completed", "canceled", "aborted") and s, 300,
                               f"{queue}-{jid}", interval=0.01)
            elapsed = time.monotonic() - started
            check(state == "completed", f"{queue}-{jid} ended {state}")
            report = (sims[queue].wait_report(round_ + 1) if sims[queue] else
                      usb_report(round_ + 1))
            check(report["pclxl"]["wellFormed"], f"{queue}: broken PCL XL", report["pclxl"]["error"])
            if round_ > 0:
                times[queue].append(elapsed)
                sizes[queue].append(report["bytes"])
                pages[queue].add(report["pclxl"]["pages"])
    time.sleep(3)
    idle_after = rss_kib()
except Failure as failure:
    sys.exit(f"bench failed: {failure}")
finally:
    app.stop()
    for s in sims.values():
        if s:
            s.stop()

print(f"document: {doc}, {runs} runs per queue (after one warm-up), median of each")
print(f"{'queue':<26}{'lp -> completed':>16}{'bytes received':>16}{'pages':>7}")
for q, name in ((NET, "classic ZLP5520NW-net"), (DRIVERLESS, "driverless -> app -> net"),
                (USB, "classic ZLP5520NW (USB)"), (DRIVERLESS_USB, "driverless -> app -> USB")):
    print(f"{name:<26}{statistics.median(times[q]):>14.3f} s{int(statistics.median(sizes[q])):>16}"
          f"{','.join(map(str, sorted(pages[q]))):>7}")
print(f"app resident memory when idle: {idle_start} KiB after start, {idle_after} KiB after the jobs")
PYTHON
