#!/usr/bin/env python3
"""Start-up bench of a status monitor on the desktop stand-in (not a test): the time from
the program's start to its tray item registered with the watcher, the start-up notice, and
the resident memory once it idles in the tray. Run inside tests/desktop/desktop-session.sh:

  tests/desktop/desktop-session.sh OUT -- python3 bench/monitor_startup.py build/monitor/usbmonitor [RUNS]
"""
import json
import os
import subprocess
import sys
import time

program = os.path.abspath(sys.argv[1])
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
events = os.environ["DESKTOP_EVENTS"]


def events_since(t0):
    out = []
    with open(events, encoding="utf-8") as f:
        for line in f:
            try:
                e = json.loads(line)
            except ValueError:
                continue
            if e["t"] >= t0:
                out.append(e)
    return out


def wait_for(t0, name, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for e in events_since(t0):
            if e["event"] == name:
                return e
        time.sleep(0.005)
    return None


def rss_kib(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return int(fields["VmRSS"].split()[0]), int(fields.get("RssAnon", "0 kB").split()[0])


def pss_kib(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    return 0


tray_ms, notice_ms, rss, anon, pss = [], [], [], [], []
for _ in range(runs):
    t0 = time.monotonic()
    p = subprocess.Popen([program], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    item = wait_for(t0, "item-registered")
    notice = wait_for(t0, "notify")
    if item:
        tray_ms.append((item["t"] - t0) * 1000)
    if notice:
        notice_ms.append((notice["t"] - t0) * 1000)
    time.sleep(6)  # past the start-up window's 4 s: idle in the tray
    r, a = rss_kib(p.pid)
    rss.append(r)
    anon.append(a)
    pss.append(pss_kib(p.pid))
    p.terminate()
    p.wait()
    time.sleep(0.5)


def median(values):
    values = sorted(values)
    return values[len(values) // 2] if values else float("nan")


print("%s, %d runs (median):" % (os.path.basename(program), runs))
print("  start to tray item registered: %.0f ms (%s)" % (median(tray_ms),
      ", ".join("%.0f" % v for v in tray_ms)))
print("  start to start-up notice:      %.0f ms" % median(notice_ms))
print("  idle resident memory:          %.1f MiB (anonymous %.1f MiB, proportional %.1f MiB)" % (
      median(rss) / 1024, median(anon) / 1024, median(pss) / 1024))
