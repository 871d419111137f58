#!/usr/bin/python3
"""The demo's monitor part: runs in the sandbox (suite installed, private cupsd) on the desktop
stand-in (tests/desktop/desktop-session.sh), after demo.py.

Starts the installed usbmonitor with the simulated USB printer on its bus (paper low in tray 1
at first, ready later), prints a long job to the USB queue whose printer pauses for a while,
and reports the notices a user would have seen (time, title, text), what the window's status
line said over time, the status requests the USB printer got, and screenshots of the window
(opened from the tray menu, as a user would) in out/usbmonitor/.
"""
import argparse
import os
import subprocess
import sys
import time

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path[:0] = [os.path.join(HERE, "..", "tests", "e2e"), os.path.join(HERE, "..", "tests", "desktop")]
import desktop  # noqa: E402
from cupsharness import (FINAL_STATES, PORTS, USB, Failure, Simulator, job_state, lp,  # noqa: E402
                         require_sandbox, state_file, wait_until)
from e2e import heavy_ps  # noqa: E402

MONITOR = "/opt/varn/ZLP5520NW/bin/usb/usbmonitor"
TITLE = "ZLP5520NW USB状态监控"
WORK = "/var/tmp/demo-monitor"
USB_SCRIPT = 'on "CheckStatus?"\n  reply "CODE=62122"\non "CheckStatus?"\n  reply "CODE=10001"\n'
PAUSE_MS = 12000


class Monitor:
    def __init__(self, usb_sim, out):
        self.out = out
        self.record = os.path.join(out, "usb-printer.rec")
        script = os.path.join(WORK, "usb-printer.txt")
        with open(script, "w") as f:
            f.write(USB_SCRIPT)
        self.t0 = time.monotonic()
        self.events = desktop.Events(since=self.t0)
        self.proc = subprocess.Popen(
            [usb_sim, "--script", script, "--record", self.record, "--", MONITOR],
            stdout=open(os.path.join(out, "usbmonitor.out"), "w"), stderr=subprocess.STDOUT)
        self.window = desktop.find_window(desktop.find_application("usbmonitor", 20), TITLE)
        self.timeline = []  # (seconds, status line) whenever it changed
        self.shots = []

    def requests(self):
        try:
            with open(self.record) as f:
                return sum(1 for line in f if line.strip())
        except FileNotFoundError:
            return 0

    def status(self):
        """(status line, help text), read until two reads agree: the labels change one after
        the other."""
        last = None
        for _ in range(5):
            texts = desktop.texts_by_description(self.window)
            now = texts.get("打印机状态"), texts.get("处理建议")
            if now == last:
                break
            last = now
        return last

    def sample(self):
        state = self.status()
        if not self.timeline or self.timeline[-1][1] != state:
            self.timeline.append((time.monotonic() - self.t0, state))
        return state

    def wait_state(self, title, timeout):
        return wait_until(lambda: self.sample()[0] == title, timeout, f"the window to say {title}",
                          interval=0.25)

    def menu(self, label):
        """Clicks an entry of the tray icon's menu, as a user's panel would."""
        item = self.events.find(desktop.is_event("item-registered"))[1]
        bus = dbus.SessionBus()
        path = desktop.item_properties()["Menu"]
        proxy = bus.get_object(item["sender"], path)
        _, layout = proxy.GetLayout(0, -1, ["label"], dbus_interface="com.canonical.dbusmenu")
        for child in layout[2]:
            entry_id, props = child[0], child[1]
            if str(props.get("label", "")).replace("&", "") == label:
                proxy.Event(entry_id, "clicked", dbus.Int32(0, variant_level=1),
                            dbus.UInt32(0), dbus_interface="com.canonical.dbusmenu")
                return
        raise Failure(f"no tray menu entry {label!r}")

    def screenshot(self, name, why):
        """The window as the user opens it from the tray menu, then hidden again."""
        self.menu("显示窗体")
        window = wait_until(lambda: (lambda w: w if w and w["mapped"] else None)(
            desktop.x_window(TITLE)), 5, "the window to show")
        time.sleep(0.5)
        path = os.path.join(self.out, name)
        desktop.screenshot(path, window=str(window["id"]))
        self.shots.append((path, why))
        self.menu("最小化")

    def notices(self):
        return [(e["t"] - self.t0, e["summary"], e["body"]) for e in self.events.notices()]

    def stop(self):
        desktop.stop_program(self.proc)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--net-sim", required=True)
    parser.add_argument("--usb-sim", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    require_sandbox("usbmonitor_demo.py")
    os.makedirs(WORK, exist_ok=True)
    out = os.path.join(args.out, "usbmonitor")
    os.makedirs(out, exist_ok=True)

    # Six pages of photos (noise): longer than the buffers between filter and printer, so the
    # filter is still at work while the printer pauses.
    doc = heavy_ps(f"{WORK}/photos.ps", 6)
    sim = Simulator(args.net_sim, f"{WORK}/printer", PORTS[USB], "--stall-after", "1500000",
                    "--stall-ms", str(PAUSE_MS), "--rcvbuf", "32768")
    monitor = Monitor(args.usb_sim, out)
    lines = ["", "usbmonitor on the desktop stand-in, watching a USB job "
             f"(6 pages of photos; the printer pauses {PAUSE_MS / 1000:.0f} s after 1.5 MB)"]
    try:
        monitor.wait_state("纸盒1纸张不足", 15)
        monitor.screenshot("1-low-paper.png", "before the job: the printer reports low paper")
        before = monitor.requests()
        printed = time.monotonic()
        jid = lp(USB, doc, "PageSize=Letter", "Duplex=DuplexNoTumble", title="photos")
        monitor.wait_state("正在打印", 20)
        monitor.screenshot("2-printing.png", "during the job: the filter's state file speaks")
        while job_state(USB, jid) not in FINAL_STATES:
            monitor.sample()
            time.sleep(0.25)
        ended = time.monotonic()
        during = monitor.requests() - before
        monitor.wait_state("打印机准备就绪", 15)
        monitor.screenshot("3-ready.png", "after the job: the printer answers CODE=10001")
        state = job_state(USB, jid)
    finally:
        monitor.stop()
        sim.stop()

    t = monitor.t0
    lines.append(f"  job ZLP5520NW-{jid}: {state}, printed at {printed - t:.1f} s, "
                 f"ended at {ended - t:.1f} s (times from the monitor's start)")
    lines.append(f"  status requests to the USB printer: {before} before the job, "
                 f"{during} while it ran, {monitor.requests() - before - during} after it")
    lines.append(f"  printer state file at the end: {state_file()!r}")
    lines.append("  notices (balloons) the user saw:")
    for seconds, title, text in monitor.notices():
        lines.append(f"    {seconds:6.1f} s  {title}: {text.replace(chr(10), ' / ')}")
    lines.append("  the window's status line:")
    for seconds, (title, text) in monitor.timeline:
        lines.append(f"    {seconds:6.1f} s  {title}: {(text or '').replace(chr(10), ' / ')}")
    lines.append("  screenshots:")
    lines += [f"    {path}  ({why})" for path, why in monitor.shots]
    ok = state == "completed" and during == 0
    lines.append("result: " + ("the monitor followed the job" if ok else "FAILED, see above"))
    text = "\n".join(lines) + "\n"
    with open(os.path.join(args.out, "report.txt"), "a") as f:
        f.write(text)
    sys.stdout.write(text)
    return 0 if ok else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (Failure, desktop.Timeout) as failure:
        print(f"monitor demo failed: {failure}", file=sys.stderr)
        sys.exit(1)
