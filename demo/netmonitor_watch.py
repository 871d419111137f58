"""netmonitor in the demo: while the network job prints, the installed netmonitor watches the
simulated network printer, which reports its state on its UDP status port ("CODE=10023" while
a job comes in and 4 s after, "CODE=10001" otherwise). Its notices are read from the desktop
stand-in (tests/desktop) that demo.sh runs the demo on; without the stand-in nothing is done.
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "desktop"))

NETMONITOR = "/opt/varn/ZLP5520NW/bin/net/netmonitor"
NET_IP_INFO = "/opt/varn/ZLP5520NW/bin/net/config/netIpInfo"
READY = "打印机准备就绪"
PRINTING = "正在打印"
STATUS_SCRIPT = ('linger 4000\nstate idle\nrequest\n  reply "CODE=10001"\n'
                 'state printing\nrequest\n  reply "CODE=10023"\n')


class NetMonitorWatch:
    def __init__(self, work):
        self.available = bool(os.environ.get("DESKTOP_EVENTS")) and os.path.exists(NETMONITOR)
        self.work = work
        self.proc = None
        self.started = None
        self.problem = None if self.available else "no desktop stand-in: netmonitor not run"

    def printer_args(self):
        """What the network queue's simulated printer needs to answer the monitor."""
        if not self.available:
            return []
        os.makedirs(self.work, exist_ok=True)
        script = os.path.join(self.work, "status.txt")
        with open(script, "w") as f:
            f.write(STATUS_SCRIPT)
        return ["--udp-port", "9101", "--udp-script", script]

    def start(self, address):
        """The address file as the setup tool writes it, then the monitor; returns once the
        printer's first answer is on the desktop (or after 10 s)."""
        if not self.available:
            return
        import desktop
        with open(NET_IP_INFO, "w") as f:
            f.write(address)
        self.started = time.monotonic()
        self.events = desktop.Events(since=self.started)
        self.proc = subprocess.Popen([NETMONITOR], stdout=open(os.path.join(self.work, "log"), "w"),
                                     stderr=subprocess.STDOUT)
        self.wait_for(READY, 10)

    def wait_for(self, summary, timeout):
        import desktop
        try:
            return self.events.next(desktop.is_notify(summary=summary), timeout, summary)
        except desktop.Timeout:
            self.problem = f"no notice {summary!r} within {timeout} s"
            return None

    def finish(self):
        """Waits for the ready notice after the job, stops the monitor, and returns the lines
        for the report."""
        if not self.available:
            return [f"  netmonitor: {self.problem}"]
        import desktop
        # The printer reports printing for 4 s after the job's data; the monitor asks every 3 s.
        if self.wait_for(PRINTING, 10):
            self.wait_for(READY, 15)
        desktop.stop_program(self.proc)
        notices = desktop.Events(since=self.started).notices()
        lines = ["  netmonitor notices on the desktop (seconds after its start):"]
        lines += [f"    +{n['t'] - self.started:5.1f} s  {n['summary']} / "
                  + n["body"].replace("\n", " ") for n in notices]
        if self.problem:
            lines.append(f"    problem: {self.problem}")
        return lines

    def ok(self):
        return self.problem is None
