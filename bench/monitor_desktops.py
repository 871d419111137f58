#!/usr/bin/python3
"""The installed monitors on real desktop components, beside a minimal PyQt5 tray program
(bench/pyqt5_tray.py): resident and own memory (Private_Clean + Private_Dirty) idle after
SECONDS on X11 (status-notifier-watcher with a host, dunst) and on Wayland (weston headless,
QT_QPA_PLATFORM=wayland; the monitors with their own client buffer integration, as they run,
and with Qt's EGL one forced), the number of mapped files naming LLVM, and
the time from start to the tray item registered with the host there at start, and from a host
that registers 2 s late to the item. Not a test.

    bench/monitor_desktops.sh BUILD_DIR [SECONDS]      (as root: sandbox and desktop session)
"""
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "desktop"))
import desktop  # noqa: E402
import real_desktop_test as real  # noqa: E402

PROGRAMS = {"usbmonitor": [real.USB], "netmonitor": [real.NET],
            "pyqt5-tray": ["/usr/bin/python3", os.path.join(HERE, "pyqt5_tray.py")]}


def memory(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        text = f.read()
    field = lambda name: int(re.search(name + r":\s+(\d+)", text).group(1))  # noqa: E731
    return field("Rss"), field("Private_Clean") + field("Private_Dirty")


def idle_memory(desk, seconds, env, tag, variants):
    procs = {}
    for name, extra in variants:
        procs[name] = desk.start(name + "-" + tag, PROGRAMS[name.split("+")[0]],
                                 env=dict(env, **extra))
    time.sleep(seconds)
    for name, proc in procs.items():
        if proc.poll() is not None:
            print("%-28s %-8s ended early (%d)" % (name, tag, proc.returncode))
            continue
        rss, own = memory(proc.pid)
        with open("/proc/%d/maps" % proc.pid) as f:
            llvm = sum(1 for line in f if "llvm" in line.lower())
        print("%-28s %-8s resident %6.1f MiB  own %6.1f MiB  llvm maps %d" % (
            name, tag, rss / 1024, own / 1024, llvm), flush=True)
        desktop.stop_program(proc)


def item_of(pid):
    return str(pid) in real.registered_items()


def tray_timing(desk, runs):
    host = None
    for late in (False, True):
        figures = []
        for _ in range(runs):
            if not late and host is None:
                host = desk.start("host", ["/usr/bin/python3", "-W", "ignore", real.__file__,
                                           "--register-host"])
                desktop.wait_until("host", lambda: "registered" in open(desk.log("host")).read(),
                                   5)
            started = time.monotonic()
            proc = desk.start("usbmonitor-timing", [real.USB])
            if late:
                time.sleep(2)
                host = desk.start("host", ["/usr/bin/python3", "-W", "ignore", real.__file__,
                                           "--register-host"])
                desktop.wait_until("host", lambda: "registered" in open(
                    desk.log("host")).read(), 5)
                started = time.monotonic()
            desktop.wait_until("item", lambda: item_of(proc.pid), 20, 0.01)
            figures.append(time.monotonic() - started)
            desktop.stop_program(proc)
            if late:
                desktop.stop_program(host)
                host = None
                open(desk.log("host"), "w").close()
        print("usbmonitor tray item registered %s: %s s" % (
            "after a host 2 s late registered" if late else "from start, host there",
            ", ".join("%.3f" % f for f in figures)), flush=True)
    if host:
        desktop.stop_program(host)


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    desk = real.Desktop("bench")
    try:
        desk.start("watcher", ["status-notifier-watcher"])
        time.sleep(1)
        desk.dunst()
        tray_timing(desk, 3)
        host = desk.start("host", ["/usr/bin/python3", "-W", "ignore", real.__file__,
                                   "--register-host"])
        time.sleep(1)
        x11 = dict(os.environ, QT_QPA_PLATFORM="xcb")
        idle_memory(desk, seconds, x11, "X11", [(n, {}) for n in PROGRAMS])
        desktop.stop_program(host)
        socket = "wl-bench-%d" % os.getpid()
        desk.start("weston", ["weston", "--backend=headless-backend.so", "--socket=" + socket,
                              "--idle-time=0", "--use-pixman"])
        desktop.wait_until("weston", lambda: os.path.exists(
            os.path.join(os.environ["XDG_RUNTIME_DIR"], socket)), 10)
        wl = dict(os.environ, QT_QPA_PLATFORM="wayland", WAYLAND_DISPLAY=socket)
        wl.pop("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", None)
        egl = {"QT_WAYLAND_CLIENT_BUFFER_INTEGRATION": "wayland-egl"}
        off = {"QT_WAYLAND_CLIENT_BUFFER_INTEGRATION": "none"}
        idle_memory(desk, seconds, wl, "Wayland", [("usbmonitor", {}), ("netmonitor", {}),
                                                    ("pyqt5-tray", {})])
        idle_memory(desk, seconds, wl, "Wayland", [("usbmonitor+EGL", egl),
                                                    ("netmonitor+EGL", egl),
                                                    ("pyqt5-tray+no-EGL", off)])
    finally:
        desk.stop()


if __name__ == "__main__":
    main()
