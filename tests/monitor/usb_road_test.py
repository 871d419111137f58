#!/usr/bin/python3
"""The road of one USB print job, with the monitor watching: lp -> the sandbox's cupsd -> the
USB queue's filter -> CUPS's socket backend -> zlpsim-net (which stalls, so that the filter
runs through several polls), while the installed usbmonitor runs on the desktop stand-in with
the simulated USB printer on its bus.

Run inside sandbox.sh --cupsd and desktop-session.sh:
  usb_road_test.py --net-sim PATH/zlpsim-net --usb-sim PATH/zlpsim-usb

What is checked comes from outside the monitor: the notices and widget texts the desktop
stand-in received, the commands the simulated USB printer recorded, and CUPS.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path[:0] = [os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "desktop")]
import desktop  # noqa: E402
from cupsharness import (PORTS, USB, Failure, Simulator, add_queue, check, eq, lp,  # noqa: E402
                         require_sandbox, state_file, wait_job, wait_until)
from e2e import heavy_ps  # noqa: E402

MONITOR = "/opt/varn/ZLP5520NW/bin/usb/usbmonitor"
TITLE = "ZLP5520NW USB状态监控"
WORK = "/var/tmp/usbroad"
POLL_S = 5.0
# Low paper in tray 1 until the job, then ready: the printing notice is then a change of
# state that the tray announces, and the ready state after the job comes from the printer.
USB_SCRIPT = """\
on "CheckStatus?"
  reply "CODE=62122"
on "CheckStatus?"
  reply "CODE=10001"
"""
LOW_PAPER = ("纸盒1纸张不足", "打印机纸盒1剩余纸张较少\n请向纸盒1中添加纸张")
PRINTING = ("正在打印", "打印机正在打印")
READY = ("打印机准备就绪", "打印机准备就绪，等待打印任务")


def filter_running():
    """Pids of processes the kernel calls pstopxl_5520nw (the USB filter)."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/comm") as f:
                    if f.read().strip() == "pstopxl_5520nw":
                        pids.append(int(entry))
            except OSError:
                pass
    return pids


class Road:
    def __init__(self, args):
        self.args = args
        os.makedirs(WORK, exist_ok=True)
        self.outdir = os.environ.get("DESKTOP_OUTDIR", WORK)
        self.record = os.path.join(self.outdir, "usb-printer.rec")
        self.started = time.monotonic()
        self.events = desktop.Events(since=self.started)
        self.monitor = None
        self.window = None

    def commands(self):
        try:
            with open(self.record) as f:
                return [line.rstrip("\n") for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def texts(self):
        texts = desktop.texts_by_description(self.window)
        return texts.get("打印机状态"), texts.get("处理建议")

    def wait_texts(self, expected, timeout, what):
        try:
            return desktop.wait_until(what, lambda: self.texts() == expected, timeout,
                                      interval=0.2)
        except desktop.Timeout as error:
            raise Failure(f"{error}; the window shows {self.texts()!r}")

    def notices(self):
        return [(round(e["t"] - self.started, 1), e["summary"], e["body"])
                for e in self.events.notices()]

    def start_monitor(self):
        script = os.path.join(WORK, "usb-printer.txt")
        with open(script, "w") as f:
            f.write(USB_SCRIPT)
        log = open(os.path.join(self.outdir, "usbmonitor.out"), "w")
        self.monitor = subprocess.Popen(
            [self.args.usb_sim, "--script", script, "--record", self.record, "--", MONITOR],
            stdout=log, stderr=subprocess.STDOUT)
        app = desktop.find_application("usbmonitor", timeout=20)
        self.window = desktop.find_window(app, TITLE)

    def stop_monitor(self):
        if self.monitor and self.monitor.poll() is None:
            self.monitor.terminate()
            try:
                self.monitor.wait(10)
            except subprocess.TimeoutExpired:
                self.monitor.kill()
                self.monitor.wait()


def road(args):
    r = Road(args)
    # A printer end that takes 1.5 MB and then stops reading until told to go on: the
    # filter, behind full pipe and socket buffers, keeps running.
    sim = Simulator(args.net_sim, f"{WORK}/printer", PORTS[USB], "--stall-after", "1500000",
                    "--rcvbuf", "32768")
    doc = heavy_ps(f"{WORK}/heavy.ps", 8)
    add_queue(USB, PORTS[USB], ppd="ZLP5520NW.ppd")
    try:
        r.start_monitor()

        # Before the job the monitor asks the printer: low paper, a warning notice.
        wait_until(lambda: len(r.commands()) >= 1, 15, "the first status request")
        r.events.next(desktop.is_notify(summary=LOW_PAPER[0], body=LOW_PAPER[1]), 5,
                      "the low paper notice")
        r.wait_texts(LOW_PAPER, 5, "the low paper state in the window")

        # The job: its filter must be seen before the next poll.
        jid = lp(USB, doc, "PageSize=Letter", "Duplex=DuplexNoTumble", title="usb road")
        wait_until(lambda: filter_running() and state_file() == "CODE=10023", 15,
                   "the USB filter running with CODE=10023 in the state file")
        seen = time.monotonic()
        time.sleep(1.0)  # a poll that began before the filter started ends within this
        asked = len(r.commands())
        check(asked == 1, "the job started after the first poll and before the second",
              r.commands())
        wait_until(lambda: "stalled" in sim.output(), 60, "the printer to stall")

        # While the job owns the printer: the state file speaks, and the panel shows the job.
        r.events.next(desktop.is_notify(summary=PRINTING[0], body=PRINTING[1]), POLL_S + 3,
                      "the printing notice")
        r.wait_texts(PRINTING, 3, "the printing state in the window")
        texts = desktop.texts_by_description(r.window)
        eq((texts.get("纸张尺寸"), texts.get("双面打印"),
            texts.get("打印质量")), ("Letter", "长边翻转", "600dpi;"),
           "the settings panel during the job")

        # At least two more polls with the filter still running: not one status request.
        remaining = seen + 2 * POLL_S + 1.5 - time.monotonic()
        if remaining > 0:
            time.sleep(remaining)
        check(filter_running(), "the filter still runs after two polls")
        eq(r.commands(), ["\"CheckStatus?\""] * asked, "requests the USB printer got during the job")
        eq(r.texts(), PRINTING, "the window during the job")

        # The printer reads on; the job ends; the next polls ask the printer again.
        sim.signal(signal.SIGUSR1)
        wait_job(USB, jid, timeout=120)
        ended = time.monotonic()
        wait_until(lambda: not filter_running(), 10, "the filter to end")
        eq(state_file(), "CODE=10001", "the state file after the job")
        wait_until(lambda: len(r.commands()) > asked, POLL_S + 5, "a status request after the job")
        r.wait_texts(READY, 5, "the ready state in the window")
        check(time.monotonic() - ended < 2 * POLL_S + 5, "ready within two polls of the job's end")
        eq(set(r.commands()), {"\"CheckStatus?\""}, "every command the USB printer got")
        report = sim.wait_report(1)
        eq(report["end"], "trailer", "the job reached the printer whole")
        desktop.screenshot(os.path.join(r.outdir, "usb-road-after.png"))
        print("notices:", r.notices())
        print(f"status requests: {len(r.commands())}, {asked} before the job")
    finally:
        r.stop_monitor()
        sim.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--net-sim", required=True)
    parser.add_argument("--usb-sim", required=True)
    args = parser.parse_args()
    require_sandbox("usb_road_test.py")
    started = time.monotonic()
    try:
        road(args)
    except (Failure, desktop.Timeout) as failure:
        print(f"FAIL usb road: {failure}", file=sys.stderr)
        return 1
    print(f"PASS usb road ({time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
