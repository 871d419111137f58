#!/usr/bin/env python3
"""The demo's inside: runs in the sandbox that demo.sh sets up (suite installed, private cupsd).

Prints the sample document to both queues, each on its own simulated printer, and reports
what the printer received and what CUPS says, copying the evidence to the output folder.
"""
import argparse
import os
import shutil
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from netmonitor_watch import NetMonitorWatch  # noqa: E402
from cupsharness import (NET, PORTS, PPDS, STATE_PATH, USB, Failure, Simulator, add_queue,  # noqa: E402
                         job_attributes, lp, print_log_path, read, require_sandbox,
                         settings_path, wait_job)

WORK = "/var/tmp/demo"
KIND = {NET: "network queue", USB: "USB queue, carried here by a socket"}
CHINESE_FONT = "/usr/share/fonts/truetype/arphic/uming.ttc"


def shown(line):
    return line.replace("\x1b", "ESC")


def columns(lines, width=48, indent="    "):
    """The header lines in two columns, so that twenty of them take ten rows."""
    half = (len(lines) + 1) // 2
    rows = []
    for left, right in zip(lines[:half], lines[half:] + [""]):
        left = shown(left)
        if len(left) > width:
            left = left[:width - 1] + "…"
        rows.append(f"{indent}{left:<{width}}  {shown(right)}".rstrip())
    return rows


def describe(queue, jid, report, attrs, seconds, files):
    x = report["pclxl"]
    ending = {"trailer": "the PJL trailer (EOJ)", "cancel": "the cancel sequence",
              "uel": "a bare universal exit", "truncated": "nothing: cut off",
              "empty": "nothing"}[report["end"]]
    out = [f"{queue}  ({KIND[queue]}, socket://127.0.0.1:{PORTS[queue]})",
           f"  CUPS job {queue}-{jid}: {attrs.get('job-state', '?')}"
           f" after {seconds:.1f} s",
           f"  printer received {x['pages']} pages, {report['bytes']} bytes, "
           f"{x['resolution'][0]} dpi; PCL XL "
           + ("well formed" if x["wellFormed"] else f"BROKEN ({x['error']})")
           + f"; ended with {ending}"]
    if report["lockQueries"]:
        answers = ", ".join(r or "no answer" for r in report["lockReplies"])
        out.append(f"  lock query \"LockPrinter?\" x{report['lockQueries']}: {answers}")
    out.append(f"  PJL header ({len(report['pjl'])} lines):")
    out += columns(report["pjl"])
    out.append("  kept: " + files[0])
    out += [f"        {f}" for f in files[1:]]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--doc", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    require_sandbox("demo.py")
    shutil.rmtree(WORK, ignore_errors=True)

    notes = []
    if not os.path.exists(CHINESE_FONT):
        notes.append(f"note: {CHINESE_FONT} is missing (Debian package fonts-arphic-uming); "
                     "Ghostscript substitutes the Chinese font")

    watch = NetMonitorWatch(f"{WORK}/netmonitor")
    sims = {q: Simulator(args.sim, f"{WORK}/{'net' if q == NET else 'usb'}", PORTS[q],
                         *(watch.printer_args() if q == NET else []))
            for q in (NET, USB)}
    try:
        for queue in (NET, USB):
            add_queue(queue, PORTS[queue], ppd=PPDS[queue])
        watch.start("127.0.0.1")
        started = time.monotonic()
        jobs = {q: lp(q, args.doc, title=os.path.basename(args.doc)) for q in (NET, USB)}
        seconds = {}
        for queue, jid in jobs.items():
            wait_job(queue, jid, ("completed", "canceled", "aborted"), timeout=120)
            seconds[queue] = time.monotonic() - started
        reports = {q: sims[q].wait_report(1) for q in (NET, USB)}
        watched = watch.finish()
    finally:
        for sim in sims.values():
            sim.stop()

    title = os.path.basename(args.doc)
    lines = [f"ZLP5520NW demo: {title} through a private CUPS to the simulated printer", ""]
    ok = True
    for queue in (NET, USB):
        report, attrs = reports[queue], job_attributes(queue, jobs[queue])
        target = os.path.join(args.out, queue)
        os.makedirs(target, exist_ok=True)
        kept = [(report["stream"], "stream.prn"),
                (os.path.join(sims[queue].dir, "job-1.json"), "printer-report.json"),
                (print_log_path(queue), "print_log"), (settings_path(queue), "printerInfo")]
        if queue == USB:
            kept.append((STATE_PATH, "printerState"))
        files = []
        for source, name in kept:
            if os.path.exists(source):
                shutil.copyfile(source, os.path.join(target, name))
                files.append(os.path.join(target, name))
        lines += describe(queue, jobs[queue], report, attrs, seconds[queue], files)
        if queue == USB:
            lines.append(f"  printer state file: {read(STATE_PATH, '(none)')!r}")
        else:
            lines += watched
        lines.append("")
        ok = ok and attrs.get("job-state") == "completed" and report["end"] == "trailer" and \
            report["pclxl"]["wellFormed"] and report["pclxl"]["pages"] > 0
    lines += notes
    ok = ok and watch.ok()
    lines.append("result: " + ("both queues printed" + (", netmonitor saw the job" if watch.available else "")
                               if ok else "FAILED, see above"))
    text = "\n".join(lines) + "\n"
    with open(os.path.join(args.out, "report.txt"), "w") as f:
        f.write(text)
    sys.stdout.write(text)
    return 0 if ok else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print(f"demo failed: {failure}", file=sys.stderr)
        sys.exit(1)
