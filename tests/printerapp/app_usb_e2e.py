#!/usr/bin/env python3
"""The Printer Application on USB: PAPPL's own USB device against the simulated printer.

Runs inside tests/sandbox/sandbox.sh BUILD --cupsd, one scenario per sandbox:

    app_usb_e2e.py --app PATH --sim PATH --usb-sim PATH --link PATH SCENARIO

The app's server runs under zlpsim-usb (umockdev fakes the bus, the simulator answers as the
printer and keeps what each open of the device sent in a file of its own). Programs that must
see the same bus (the app's `devices` and `autoadd`, the monitor's USB link `usblinkclient`)
get the server's LD_PRELOAD and UMOCKDEV_DIR.

Scenarios: print (devices, autoadd, jobs decoded at the printer, only a job or a poll opens
the device), status (the idle poll's "CheckStatus?" answers become printer-state-reasons),
share (the monitor's link and the app take turns with the device: busy is waited out on both
sides, never an error).
"""
import argparse
import json
import os
import re
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import app_e2e  # noqa: E402
from app_e2e import (PORT, WORK, App, documents, heavy_pdf, ipp_attrs, ipp_print,  # noqa: E402
                     job_attrs, printer_reasons, submit, write)
from cupsharness import Failure, check, eq, read, require_sandbox, wait_until  # noqa: E402

USB_URI = "usb://VARN/ZLP5520NW?serial=ZLPSIM0001"
STREAMS = f"{WORK}/usb-streams"
# The USB link's results (printerlink/usb_communicate.h); it claims the interface as it sends,
# so a device another program holds fails the send.
LINK_OK, LINK_WRITE_FAILED = 0, 253

READY = 'on "CheckStatus?"\n  reply "CODE=10001"\n'

PRINTER_STATE_TEST = app_e2e.PRINTER_ATTRS_TEST


def server_pid(ancestor, app):
    """The app's server among the descendants of `ancestor` (the sandbox shares the machine's
    process table, and other tests run the same program)."""
    parents = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                parents[pid] = f.read().rsplit(")", 1)[1].split()[1]
        except (OSError, IndexError):
            continue
    for pid in parents:
        up = pid
        while up in parents and up != str(ancestor):
            up = parents[up]
        if up != str(ancestor):
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
            # An arm64 build runs under qemu-user through binfmt_misc with argv[0] kept:
            # its command line is the interpreter, the program's path, then its own argv.
            if args[:2] == [app.encode(), b"server"] or (
                    len(args) > 3 and args[1] == app.encode() and args[3] == b"server"):
                return pid
        except OSError:
            continue
    return None


class UsbPrinter:
    """The app's server on the simulated USB bus."""

    def __init__(self, args, script, state="state"):
        self.args = args
        self.record = f"{WORK}/usb-{state}.rec"
        os.makedirs(STREAMS, exist_ok=True)
        for name in os.listdir(STREAMS):
            os.unlink(os.path.join(STREAMS, name))
        script_path = write(f"{WORK}/usb-{state}.txt", script)
        self.app = App(args.app, USB_URI, state=state,
                       prefix=(args.usb_sim, "--script", script_path, "--record", self.record,
                               "--stream-dir", STREAMS, "--"))
        self.env = dict(os.environ, **self._bus_environment())

    def _bus_environment(self):
        """LD_PRELOAD and UMOCKDEV_DIR of the server, which zlpsim-usb started on its bus."""
        def server_environ():
            pid = server_pid(self.app.proc.pid, self.args.app)
            if not pid:
                return None
            with open(f"/proc/{pid}/environ", "rb") as f:
                return f.read().decode(errors="replace").split("\0")
        environ = wait_until(server_environ, 10, "the app's server on the simulated bus")
        found = dict(e.split("=", 1) for e in environ if e.startswith(("LD_PRELOAD=", "UMOCKDEV_DIR=")))
        check("UMOCKDEV_DIR" in found, "the server runs without the simulated bus", environ)
        return found

    def run(self, *cmd, timeout=60):
        """A program on the same bus as the server."""
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=self.env)

    def link(self, command, hold_ms=0):
        """The monitor's USB link: open, claim, send, read one reply, (hold,) release."""
        return self.run(*self.link_command(command, hold_ms), timeout=30 + hold_ms / 1000)

    def link_command(self, command, hold_ms=0):
        return [self.args.link] + (["--hold", str(hold_ms)] if hold_ms else []) + [command]

    def streams(self):
        """What each open of the device sent, in order."""
        names = sorted(n for n in os.listdir(STREAMS) if n.startswith("open-"))
        result = []
        for name in names:
            with open(os.path.join(STREAMS, name), "rb") as f:
                result.append((name, f.read()))
        return result

    def job_streams(self):
        return [(n, data) for n, data in self.streams() if data != b"CheckStatus?"]

    def decode(self, name):
        out = subprocess.run([self.args.sim, "--decode", os.path.join(STREAMS, name)],
                             capture_output=True, text=True, timeout=60)
        check(out.returncode == 0, f"{name}: the stream does not decode", out.stderr[-800:])
        return json.loads(out.stdout)

    def stop(self):
        self.app.stop()


def job_seconds(log, job_id):
    """From the job's start to its end, by the app's own log."""
    def at(pattern):
        m = re.search(r"\[(\d+-\d+-\d+T[\d:.]+)Z\] \[Job %d\] %s" % (job_id, pattern), log)
        return m and time.mktime(time.strptime(m.group(1)[:19], "%Y-%m-%dT%H:%M:%S")) + \
            float("0" + m.group(1)[19:])
    start, end = at("Starting print job"), at("Completed")
    return end - start if start and end else None


def printer_state():
    attrs = ipp_attrs(PRINTER_STATE_TEST, "printer-state")
    return attrs.get("printer-state", ""), attrs.get("printer-state-reasons", "")


def scenario_print(args):
    usb = UsbPrinter(args, READY)
    try:
        # PAPPL's USB device lists the printer by its IEEE 1284 ID and serial number.
        listing = usb.run(args.app, "devices")
        eq(listing.returncode, 0, f"devices: {listing.stderr[-800:]}")
        check(USB_URI in listing.stdout, "devices does not list the USB printer",
              listing.stdout + listing.stderr)
        print("devices:", [line for line in listing.stdout.splitlines() if "usb://" in line])
        added = usb.run(args.app, "autoadd")
        eq(added.returncode, 0, f"autoadd: {added.stderr}")
        # The saved state tells each printer's device and the device ID it was chosen by
        # (Get-Printers does not carry them).
        def usb_printers():
            text = read(f"{WORK}/state/state", "")
            found = re.findall(r'<Printer did="([^"]*)" driver="([^"]*)" id="\d+" name="([^"]*)" '
                               r'uri="([^"]*)"', text)
            return len(found) == 2 and found
        printers = wait_until(usb_printers, 10, "two printers in the saved state")
        print("printers:", printers)
        eq([p[3] for p in printers], [USB_URI] * 2, "the printers' device URIs")
        auto = [p for p in printers if p[2] != "zlp"]
        eq(len(auto), 1, "the printer autoadd made")
        # The device's own ID, read from the printer by GET_DEVICE_ID, chose our driver.
        eq(auto[0][0], "MFG:VARN;MDL:ZLP5520NW;CMD:PJL,PCLXL;CLS:PRINTER;DES:VARN ZLP5520NW;",
           "device ID of the printer autoadd made")
        check("Driver reports ppm 30" in usb.app.log().split(f"Printer '{auto[0][2]}'")[-1],
              "the autoadded printer runs our driver", usb.app.log()[-1500:])

        docs = documents()
        cases = [
            ("pdf", "application/pdf",
             ["keyword sides two-sided-long-edge", "enum print-quality 5",
              "keyword zlp-toner-save on"],
             {"RESOLUTION": "TR1200", "ECONOMODE": "ON", "HOLD": "OFF", "USERNAME": '"alice"'}, 2),
            ("pwg", "image/pwg-raster", ["text zlp-secure-print-pin 0042", "enum print-quality 3"],
             {"HOLD": "STORE", "HOLDKEY": "0042", "RESOLUTION": "300"}, 2),
        ]
        before = 0
        for job_id, (key, fmt, attrs, want, pages) in enumerate(cases, 1):
            result = ipp_print(docs[key], fmt, attrs, name=f"usb-{key}")
            eq(result.get("job-state"), "completed", f"{key}: job state ({result['output'][-800:]})")
            jobs = usb.job_streams()
            eq(len(jobs), before + 1, f"{key}: opens of the device that sent a job")
            before = len(jobs)
            name, data = jobs[-1]
            report = usb.decode(name)
            s = report.get("pjlSet", {})
            for setting, value in want.items():
                eq(s.get(setting), value, f"{key}: @PJL SET {setting}")
            eq(report["pclxl"]["pages"], pages, f"{key}: pages at the printer")
            eq(report.get("end"), "trailer", f"{key}: the stream's end")
            eq(report.get("lockQueries"), 0, f"{key}: no LockPrinter? on USB")
            if key == "pdf":
                page_list = report["pclxl"]["pageList"]
                check(any(p["duplexMode"] == 1 for p in page_list), "pdf: duplex in the pages",
                      page_list)
            seconds = job_seconds(usb.app.log(), job_id)
            print(f"usb {key}: completed in {seconds:.2f} s, {len(data)} bytes "
                  f"at the printer, {pages} pages, {', '.join(f'{k}={s.get(k)}' for k in want)}")
        # Between jobs the device is opened only for polls, each sending "CheckStatus?" alone.
        polls = [n for n, data in usb.streams() if data == b"CheckStatus?"]
        check(polls, "no status poll reached the printer", usb.streams()[:3])
        odd = [(n, data[:40]) for n, data in usb.streams()
               if data != b"CheckStatus?" and not data.startswith(b"\x1b%-12345X")]
        eq(odd, [], "opens that sent neither a poll nor a job")
        print(f"{len(polls)} status polls, each in an open of its own")
    finally:
        usb.stop()


def scenario_status(args):
    """Paper out, a jam, toner low, then ready: one answer per poll."""
    script = "".join(f'on "CheckStatus?"\n  reply "CODE={code}"\n'
                     for code in (41913, 44114, 10209, 10001))
    usb = UsbPrinter(args, script)
    try:
        seen = []
        messages = {}
        deadline = time.monotonic() + 45
        while time.monotonic() < deadline:
            attrs = ipp_attrs(PRINTER_STATE_TEST, "printer-state")
            reasons = attrs.get("printer-state-reasons", "")
            if not seen or seen[-1] != reasons:
                seen.append(reasons)
                messages[reasons] = attrs.get("printer-state-message", "")
            if len(seen) >= 2 and reasons == "none" and "toner-low" in seen[-2]:
                break
            time.sleep(0.3)
        print("printer-state-reasons seen:", seen)
        print("printer-state-message:", messages)
        eq([r for r in seen if r != "none"], ["media-empty", "media-jam", "toner-low"],
           "reasons in the printer's order")
        eq(seen[-1], "none", "ready again")
        polls = [n for n, data in usb.streams() if data == b"CheckStatus?"]
        check(len(polls) >= 4, "one CheckStatus? per state", len(polls))
        check("CheckStatus?" in read(usb.record, ""), "the poll's command in the record")
    finally:
        usb.stop()


def scenario_share(args):
    """The monitor's USB link beside the app: each waits while the other holds the device."""
    usb = UsbPrinter(args, READY)
    try:
        log_start = len(usb.app.log())
        # The app's idle polls meet a device the monitor holds: skipped, tried again.
        states = []
        stop = threading.Event()

        def watch():
            while not stop.is_set():
                states.append(printer_state())
                time.sleep(0.25)
        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            held = usb.link("CheckStatus?", hold_ms=12000)
        finally:
            stop.set()
            watcher.join()
        print("link holding the device for 12 s:", held.returncode, repr(held.stdout))
        eq(held.returncode, LINK_OK, f"the link that held the device: {held.stderr[-500:]}")
        log = usb.app.log()[log_start:]
        busy_polls = log.count("Unable to claim USB interface")
        print(f"app polls that found the device busy: {busy_polls}; printer states seen:",
              sorted(set(states)))
        check(busy_polls >= 1, "no app poll met the held device (the test did not test)",
              log[-1500:])
        eq(sorted(set(states)), [("idle", "none")], "printer state while the monitor held the device")
        # Released at once: the link gets the device right after.
        after = usb.link("CheckStatus?")
        eq(after.returncode, LINK_OK, f"the link after the app's polls: {after.stderr[-300:]}")
        eq(after.stdout, "CODE=10001", "the link's reply")

        # A job while the monitor holds the device: it waits and then prints.
        docs = documents()
        hold = subprocess.Popen(usb.link_command("CheckStatus?", 8000), env=usb.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        time.sleep(0.5)
        started = time.monotonic()
        job_id = submit(docs["pdf"], "application/pdf")
        job_states = []
        printer_states = []
        final = wait_until(lambda: (job_states.append(job_attrs(job_id)) or
                                    printer_states.append(printer_state()) or
                                    job_states[-1].get("job-state") in ("completed", "aborted",
                                                                        "canceled")) and
                           job_states[-1], 60, "the job behind the monitor's hold", interval=0.5)
        hold.wait(30)
        print(f"job behind the hold: {final.get('job-state')} after "
              f"{time.monotonic() - started:.1f} s; job states seen:",
              list(dict.fromkeys((j.get('job-state'), j.get('job-state-reasons'))
                                 for j in job_states)),
              "printer states seen:", sorted(set(printer_states)))
        eq(final.get("job-state"), "completed", "job that met a busy device")
        messages = [j.get("job-state-message") for j in job_states]
        print("job-state-message seen:", list(dict.fromkeys(messages)))
        check("打印机忙，请稍后" in messages, "the waiting job says the printer is busy", messages)
        eq(messages[-1], "打印任务完成", "the message once it printed")
        check(not any(j.get("job-state") == "processing" and "error" in j.get("job-state-reasons", "")
                      for j in job_states), "an error reason on the waiting job", job_states)
        name, data = usb.job_streams()[-1]
        eq(usb.decode(name)["pclxl"]["pages"], 2, "pages of the job that waited")

        # The monitor's link during a job: its claim is refused (the monitor then shows no
        # new state, no error), and the device is free again as soon as the job ends.
        job_id = submit(heavy_pdf(), "application/pdf")
        wait_until(lambda: job_attrs(job_id).get("job-state") == "processing", 30, "processing")
        during = []
        while job_attrs(job_id).get("job-state") == "processing":
            result = usb.link("CheckStatus?")
            during.append((result.returncode, "Cannot Claim Interface" in result.stderr))
            time.sleep(0.2)
        after = usb.link("CheckStatus?")
        print("link during the job (result, claim refused):", during, "right after:",
              after.returncode)
        eq(job_attrs(job_id).get("job-state"), "completed", "the heavy job")
        refused = [d for d in during if d == (LINK_WRITE_FAILED, True)]
        check(refused, "the job did not hold the device", during)
        eq([d for d in during if d not in refused and d[0] != LINK_OK], [],
           "link results during the job other than a refused claim")
        eq(after.returncode, LINK_OK, "the link right after the job")
    finally:
        usb.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--sim", required=True, help="zlpsim-net, for --decode")
    parser.add_argument("--usb-sim", required=True)
    parser.add_argument("--link", required=True, help="usblinkclient: the monitor's USB link")
    parser.add_argument("scenario")
    args = parser.parse_args()
    require_sandbox("app_usb_e2e.py")
    os.makedirs(WORK, exist_ok=True)
    scenarios = {"print": scenario_print, "status": scenario_status, "share": scenario_share}
    try:
        scenarios[args.scenario](args)
    except Failure as failure:
        print(f"FAIL usb {args.scenario}: {failure}")
        log = read(f"{WORK}/app.log", "")
        print("--- app log: jobs, printers, devices ---\n" + "\n".join(
            line for line in log.splitlines()
            if re.match(r"[EWI] |D .*\[(Job|Printer|Device)", line) and "[Client" not in line)[-6000:])
        return 1
    print(f"ok usb {args.scenario}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
