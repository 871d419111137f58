"""The measuring half of monitor_startup.sh; runs on the desktop stand-in."""

import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "desktop"))
import desktop  # noqa: E402

SETTLE_S = 10.0


def status_kib(pid, field, path="status"):
    with open("/proc/%d/%s" % (pid, path)) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def one_run(program):
    started = time.monotonic()
    proc = subprocess.Popen([program], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    events = desktop.Events(since=started)
    try:
        item = events.next(desktop.is_event("item-registered"), 15, "tray item")
        registered_ms = (item["t"] - started) * 1000
        time.sleep(max(0.0, started + SETTLE_S - time.monotonic()))
        if proc.poll() is not None:
            raise RuntimeError("%s ended early with %d" % (os.path.basename(program), proc.returncode))
        rss = status_kib(proc.pid, "VmRSS")
        anon = status_kib(proc.pid, "RssAnon")
        pss = status_kib(proc.pid, "Pss", "smaps_rollup")
    finally:
        proc.terminate()
        proc.wait(timeout=10)
    events.next(desktop.is_event("item-unregistered"), 10, "item gone")
    return registered_ms, rss / 1024, pss / 1024, anon / 1024


def main():
    program = sys.argv[1]
    runs = int(os.environ.get("ZLP_BENCH_RUNS", "5"))
    results = []
    for n in range(runs):
        registered_ms, rss, pss, anon = one_run(program)
        print("run %d: tray item registered %.1f ms after start; after %.0f s: VmRSS %.1f MiB "
              "(of it anonymous %.1f MiB), Pss %.1f MiB"
              % (n + 1, registered_ms, SETTLE_S, rss, anon, pss), flush=True)
        results.append((registered_ms, rss, pss, anon))
    reg = [r[0] for r in results]
    rss = [r[1] for r in results]
    pss = [r[2] for r in results]
    anon = [r[3] for r in results]
    name = os.path.basename(program)
    print("%s start to tray item registered: median %.1f ms (min %.1f, max %.1f); "
          "goal < 300 ms" % (name, statistics.median(reg), min(reg), max(reg)))
    print("%s idle VmRSS: median %.1f MiB (min %.1f, max %.1f); goal < 30 MiB"
          % (name, statistics.median(rss), min(rss), max(rss)))
    print("  of it anonymous (the program's own) median %.1f MiB; Pss median %.1f MiB"
          % (statistics.median(anon), statistics.median(pss)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
