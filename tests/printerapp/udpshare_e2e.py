#!/usr/bin/env python3
"""The Printer Application and the network monitor on one machine, both watching the simulated
network printer's status over UDP (the replies all go to port 9102 of this host).

Runs inside tests/sandbox/sandbox.sh BUILD:

    udpshare_e2e.py --app PATH --sim PATH --netmonitor PATH MODE

MODE raw: the app as the service runs it (root, with CAP_NET_RAW as its only capability). MODE
bind: the app without CAP_NET_RAW, so that it binds the port for a moment at each poll.

Checked: the monitor, started before the app, after it, and at many moments of the app's poll
cycle, never says the port is taken; both see the printer go out of paper and come back, within
the bounds below; the app never keeps the port.
"""
import argparse
import json
import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
from cupsharness import Failure, Simulator, read, require_sandbox  # noqa: E402
import app_e2e  # noqa: E402
from app_e2e import App, WORK, printer_reasons  # noqa: E402

PRINTER_IP = "127.0.0.2"
NET_CONFIG = "/opt/varn/ZLP5520NW/bin/net/config"
PORT_TAKEN = "无法接收打印机状态"
# The monitor asks every 3 s (its first request 3 s after it starts): a change shows at its
# next request. The app asks every 3 s, or takes the replies to the monitor's requests at its
# next poll: up to two periods.
MONITOR_BOUND = 5.0
APP_BOUND = 8.0
# A monitor's first sight of the printer also waits for its start (slow under emulation).
FIRST_SIGHT_LIMIT = 20.0
PAPER_OUT, READY = 41913, 10001


class Printer:
    """zlpsim-net answering every "GetStatus;" with one code; restarted to change it."""

    def __init__(self, sim):
        self.sim_path = sim
        self.sim = None
        self.runs = 0

    def answer(self, code):
        if self.sim:
            self.sim.stop()
        self.runs += 1
        script = app_e2e.write(f"{WORK}/status-{self.runs}.txt",
                               f"state idle\nrequest\n  reply \"CODE={code}\"\n")
        self.sim = Simulator(self.sim_path, f"{WORK}/sim-{self.runs}", 9100, "--bind", PRINTER_IP,
                             "--udp-port", "9101", "--udp-script", script)
        return time.monotonic()

    def requests_since(self, ms):
        """The senders of the requests the printer got since wall clock ms."""
        lines = read(f"{self.sim.dir}/udp.jsonl", "").splitlines()
        events = [json.loads(line) for line in lines if line.strip()]
        return [e["from"] for e in events if e.get("event") == "request" and e["ms"] >= ms]

    def stop(self):
        if self.sim:
            self.sim.stop()


class Monitor:
    """netmonitor on the offscreen platform; its debug output is what it did."""

    def __init__(self, program, n):
        self.log_path = f"{WORK}/netmonitor-{n}.log"
        runtime = f"{WORK}/runtime-{n}"
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
                   DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
        self.log_file = open(self.log_path, "w")
        self.proc = subprocess.Popen([program], env=env, stdout=self.log_file,
                                     stderr=subprocess.STDOUT, preexec_fn=app_e2e.die_with_parent)
        self.started = time.monotonic()

    def log(self):
        return read(self.log_path, "")

    def saw(self, code):
        return f"receive = CODE={code}" in self.log()

    def port_refused(self):
        text = self.log()
        return "bind port 9102 failed:" in text or PORT_TAKEN in text

    def retries(self):
        return self.log().count("in use, trying again")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log_file.close()


def until(condition, limit):
    """Seconds until condition() held, or None after limit seconds."""
    started = time.monotonic()
    while time.monotonic() - started < limit:
        if condition():
            return time.monotonic() - started
        time.sleep(0.05)
    return None


def app_sees(reason):
    return lambda: printer_reasons() == reason


def port_bound_by_app(app_pid):
    """Whether the app holds a socket on UDP 9102 right now (its sockets' inodes)."""
    inodes = set()
    for name in ("/proc/net/udp", "/proc/net/udp6"):
        for line in read(name, "").splitlines()[1:]:
            fields = line.split()
            if len(fields) > 9 and fields[1].endswith(":238E"):
                inodes.add(fields[9])
    fd_dir = f"/proc/{app_pid}/fd"
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(f"{fd_dir}/{fd}").strip("socket:[]") in inodes:
                return True
        except OSError:
            pass
    return False


def has_net_raw():
    for line in read("/proc/self/status", "").splitlines():
        if line.startswith("CapBnd:"):
            return bool(int(line.split()[1], 16) >> 13 & 1)  # CAP_NET_RAW
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--netmonitor", required=True)
    parser.add_argument("mode", choices=("raw", "bind"))
    args = parser.parse_args()
    require_sandbox("udpshare_e2e.py")
    if args.mode == "raw" and not has_net_raw():
        print("this machine gives the test no CAP_NET_RAW: the service's way is not testable here")
        sys.exit(77)
    os.makedirs(WORK, exist_ok=True)
    os.makedirs(NET_CONFIG, exist_ok=True)
    app_e2e.write(f"{NET_CONFIG}/netIpInfo", PRINTER_IP + "\n")
    # raw: root with CAP_NET_RAW as its only capability, as the service's unit bounds it;
    # bind: the app as a user without CAP_NET_RAW would run it.
    caps = "-all,+net_raw" if args.mode == "raw" else "-net_raw"
    app_program = app_e2e.write(f"{WORK}/app-{args.mode}",
                                f"#!/bin/sh\nexec setpriv --inh-caps -all --bounding-set {caps} "
                                f"{args.app} \"$@\"\n")
    os.chmod(app_program, 0o755)

    printer = Printer(args.sim)
    monitors = []
    app = None
    failures = []

    def expect(ok, what):
        print(("ok   " if ok else "FAIL ") + what, flush=True)
        if not ok:
            failures.append(what)

    try:
        printer.answer(PAPER_OUT)
        # 1. The monitor first, then the app.
        first = Monitor(args.netmonitor, 0)
        monitors.append(first)
        expect(until(lambda: first.saw(PAPER_OUT), FIRST_SIGHT_LIMIT) is not None,
               "monitor started alone sees paper out")
        app = App(app_program, f"zlpnet://{PRINTER_IP}:9100", state=f"state-{args.mode}")
        until(lambda: "raw socket" in app.log(), 8)
        said = [line for line in app.log().splitlines() if "raw socket" in line]
        expect(bool(said) and ("read from a raw socket" in said[0]) == (args.mode == "raw"),
               f"the app says how it hears: {said[:1]}")
        if args.mode == "raw":
            took = until(app_sees("media-empty"), APP_BOUND)
            expect(took is not None, f"app beside the monitor sees paper out ({took} s)")
        else:
            # Without a raw socket nothing reaches the app while the monitor has the port.
            until(lambda: "status poll skipped" in app.log(), 8)
            expect("status poll skipped" in app.log(), "app without raw socket skips its polls")

        changed = printer.answer(READY)
        took_monitor = until(lambda: first.saw(READY), MONITOR_BOUND)
        expect(took_monitor is not None, f"monitor sees ready again ({took_monitor} s)")
        if args.mode == "raw":
            took = until(app_sees("none"), APP_BOUND - (time.monotonic() - changed))
            expect(took is not None, f"app sees ready again beside the monitor "
                   f"({time.monotonic() - changed:.1f} s after the change)")
        expect(not first.port_refused(), "monitor started before the app: port never refused")
        first.stop()

        # 2. The app alone: it hears the printer in either mode.
        changed = printer.answer(PAPER_OUT)
        took = until(app_sees("media-empty"), APP_BOUND)
        expect(took is not None, f"app alone sees paper out ({took} s after the change)")

        # 3. The monitor started at many moments of the app's 3 s poll cycle (0.35 s apart,
        # so that some starts fall into a poll), each until it has seen the printer.
        held = 0
        samples = 0
        for n in range(1, 10):
            time.sleep(0.35)
            monitor = Monitor(args.netmonitor, n)
            monitors.append(monitor)
            seen = until(lambda: monitor.saw(PAPER_OUT), FIRST_SIGHT_LIMIT)
            expect(seen is not None and not monitor.port_refused(),
                   f"monitor start {n} (0.35 s after the last stopped): sees paper out, port "
                   f"not refused (retries {monitor.retries()})")
            if n < 9:
                monitor.stop()
        last = monitors[-1]

        # The app never keeps the port: sampled while the last monitor runs and after.
        last.stop()
        deadline = time.monotonic() + 6
        while time.monotonic() < deadline:
            samples += 1
            held += port_bound_by_app(app.proc.pid)
            time.sleep(0.01)
        print(f"app held UDP 9102 in {held} of {samples} samples over 6 s", flush=True)
        if args.mode == "raw":
            expect(held == 0, "the app with a raw socket never binds the port")
        else:
            expect(held < samples * 0.2, "the app binds the port only for a moment per poll")

        # 4. Both see the printer come back, the monitor started after the app.
        monitor = Monitor(args.netmonitor, 10)
        monitors.append(monitor)
        expect(until(lambda: monitor.saw(PAPER_OUT), FIRST_SIGHT_LIMIT) is not None,
               "monitor started after the app sees paper out")
        changed = printer.answer(READY)
        took_monitor = until(lambda: monitor.saw(READY), MONITOR_BOUND)
        expect(took_monitor is not None, f"monitor sees ready ({took_monitor} s)")
        if args.mode == "raw":
            took = until(app_sees("none"), APP_BOUND - (time.monotonic() - changed))
            expect(took is not None, f"app sees ready beside the monitor "
                   f"({time.monotonic() - changed:.1f} s after the change)")
        expect(not monitor.port_refused(), "monitor started after the app: port never refused")
        if args.mode == "raw":
            # While the monitor asks the same printer, the app hears its replies and asks no
            # more itself (the monitor's requests come from port 9102, the app's from another).
            window_start = time.time() * 1000
            time.sleep(9.2)
            asked = printer.requests_since(window_start)
            own = [r for r in asked if not r.endswith(":9102")]
            print(f"requests in 9.2 s beside the monitor: {len(asked) - len(own)} from the "
                  f"monitor, {len(own)} from the app", flush=True)
            expect(len(asked) - len(own) >= 2 and len(own) <= 1,
                   "the app takes the monitor's replies instead of asking as well")
        retries = sum(m.retries() for m in monitors)
        print(f"monitor starts that found the port taken for a moment: "
              f"{sum(1 for m in monitors if m.retries())} of {len(monitors)} "
              f"({retries} retries)", flush=True)
    except Failure as failure:
        failures.append(str(failure))
        print("FAIL", failure, flush=True)
    finally:
        for monitor in monitors:
            monitor.stop()
        if app:
            if failures:
                print(app.log()[-4000:])
            app.stop()
        printer.stop()
    if failures:
        for monitor in monitors:
            if monitor.port_refused():
                print(f"--- {monitor.log_path}\n{monitor.log()[-2000:]}")
        sys.exit(1)


if __name__ == "__main__":
    main()
