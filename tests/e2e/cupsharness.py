"""Driving a private cupsd and the simulated printer from inside tests/sandbox/sandbox.sh.

Shared by the end-to-end scenarios (e2e.py) and the demo (demo/demo.py).
"""
import atexit
import json
import os
import re
import subprocess
import time

ZLP = "/opt/varn/ZLP5520NW/bin"
NET, USB = "ZLP5520NW-net", "ZLP5520NW"
PORTS = {NET: 9100, USB: 9110}
PPDS = {NET: "ZLP5520NW-net.ppd", USB: "ZLP5520NW.ppd"}
JOB_TEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "job-attributes.test")
FINAL_STATES = ("completed", "canceled", "aborted")


class Failure(Exception):
    pass


def check(condition, what, detail=None):
    if not condition:
        raise Failure(what if detail is None else f"{what}\n    got: {detail!r}")


def eq(got, want, what):
    check(got == want, f"{what}: expected {want!r}", got)


def wait_until(condition, timeout, what, interval=0.05):
    """Polls condition until it returns something true, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def run(*cmd, ok=True):
    result = subprocess.run(cmd, capture_output=True, text=True)
    if ok and result.returncode != 0:
        raise Failure(f"{' '.join(cmd)} failed ({result.returncode}): {result.stderr.strip()}")
    return result.stdout


def read(path, default=None):
    """A text file as it is on disk (no newline translation: state texts end in CR)."""
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as f:
            return f.read()
    except FileNotFoundError:
        return default


def require_sandbox(program):
    """lpadmin must never change the machine's own CUPS."""
    if not os.environ.get("ZLP_IN_SANDBOX"):
        raise SystemExit(f"{program} runs inside tests/sandbox/sandbox.sh BUILD --cupsd -- ...")


_simulators = []


@atexit.register
def _stop_simulators():
    """A failed scenario must not leave its printer running in the dead sandbox."""
    for sim in _simulators:
        sim.stop()


class Simulator:
    """zlpsim-net on one port, writing its job streams and reports into folder."""

    def __init__(self, sim, folder, port, *args):
        self.dir = folder
        os.makedirs(folder, exist_ok=True)
        ready = os.path.join(folder, "ready")
        self.log = open(os.path.join(folder, "log"), "w")
        self.proc = subprocess.Popen(
            [sim, "--port", str(port), "--out-dir", folder, "--ready-file", ready, *args],
            stdout=self.log, stderr=subprocess.STDOUT)
        _simulators.append(self)
        wait_until(lambda: os.path.exists(ready) or self.proc.poll() is not None, 5,
                   f"the simulator on port {port}")
        check(self.proc.poll() is None, f"the simulator on port {port} did not start",
              read(self.log.name))

    def report(self, job):
        text = read(os.path.join(self.dir, f"job-{job}.json"))
        return json.loads(text) if text else None

    def wait_report(self, job, timeout=30):
        return wait_until(lambda: self.report(job), timeout, f"the printer's report of job {job}")

    def output(self):
        return read(self.log.name, "")

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def add_queue(name, port, ppd=None, ppd_file=None):
    """A socket queue to the simulator; SNMP off, or every job waits for its look-ups."""
    model = ["-m", ppd] if ppd else ["-P", ppd_file]
    run("lpadmin", "-p", name, "-v", f"socket://127.0.0.1:{port}/?snmp=false", *model)
    run("cupsenable", name)
    run("cupsaccept", name)


def lp(queue, path, *options, title=None, copies=None):
    """Submits a file; returns the job id."""
    cmd = ["lp", "-d", queue]
    if title:
        cmd += ["-t", title]
    if copies:
        cmd += ["-n", str(copies)]
    for option in options:
        cmd += ["-o", option]
    out = run(*cmd, path)
    match = re.search(r"request id is \S+-(\d+) ", out)
    check(match, "lp printed no request id", out)
    return int(match.group(1))


def job_attributes(queue, job):
    """job-state and friends over IPP, as ipptool prints them."""
    out = run("ipptool", "-tv", "-d", f"job_id={job}", f"ipp://localhost/printers/{queue}",
              JOB_TEST)
    attrs, received = {}, False
    for line in out.splitlines():
        received = received or "RECEIVED:" in line
        match = re.match(r"\s+([a-z-]+) \([^)]*\) = ?(.*)$", line)
        if received and match:
            attrs[match.group(1)] = match.group(2)
    return attrs


def job_state(queue, job):
    return job_attributes(queue, job).get("job-state")


def wait_job(queue, job, states=("completed",), timeout=60):
    """Waits for the job to end; fails unless it ended in one of states."""
    def ended():
        state = job_state(queue, job)
        return state if state in FINAL_STATES else None

    state = wait_until(ended, timeout, f"job {queue}-{job} to end")
    check(state in states, f"job {queue}-{job} ended {state}, expected {'/'.join(states)}",
          job_attributes(queue, job))
    return state


def printer_long(queue):
    return run("lpstat", "-l", "-p", queue)


def build_folder(queue):
    return f"{ZLP}/{'net' if queue == NET else 'usb'}"


def settings_path(queue):
    return f"{build_folder(queue)}/config/printerInfo"


def print_log_path(queue):
    return f"{build_folder(queue)}/print_log"


STATE_PATH = f"{ZLP}/usb/config/printerState"


def settings_file(queue):
    return read(settings_path(queue))


def print_log(queue):
    return read(print_log_path(queue), "")


def state_file():
    return read(STATE_PATH)
