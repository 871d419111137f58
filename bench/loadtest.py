#!/usr/bin/env python3
"""Load test: many jobs on both queues at once through a private cupsd, with cancels.

Runs inside tests/sandbox/sandbox.sh BUILD --cupsd (see bench/loadtest.sh):

    loadtest.py --sim PATH/zlpsim-net --out DIR [--jobs 300] [--seed N] [--busy-every 7]

Submits JOBS jobs, each to one of the two queues at random (PostScript or PDF, 1 to 40 pages,
random options, secure print now and then), all at once; every tenth job is cancelled at a
random moment (while it waits, or a random time after it starts printing). The simulated
network printer answers "LockPrinter?" busy for every BUSY_EVERY-th job. Then it reports:

- the jobs completed and cancelled as CUPS saw them (and any other end);
- the jobs the simulated printers received whole: PJL trailer, well-formed PCL XL with every page;
- time per job (CUPS's time-at-processing to time-at-completed) and the whole run's throughput;
- the print logs: exactly one well-formed block per job that reached the filter's log, with its
  closing line (finished, or cancelled for a cancelled job), no torn or interleaved block, no
  block of a job that never ran, and a log that never shrank while the jobs ran.

The report goes to DIR/loadtest.json and, in short, to standard output. Exit 1 when a check
fails.
"""
import argparse
import hashlib
import json
import os
import random
import re
import statistics
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from cupsharness import (FINAL_STATES, NET, PORTS, PPDS, USB, Simulator, add_queue,  # noqa: E402
                         print_log_path, read, require_sandbox, run)

WORK = "/var/tmp/loadtest"
SEPARATOR = "*" * 51
DONE, CANCELLED = "打印任务完成", "打印任务被用户取消"
DUPLEX_TEXT = {"None": "单面打印", "DuplexTumble": "短边翻转", "DuplexNoTumble": "长边翻转"}
GET_JOBS = """{
    NAME "all jobs"
    OPERATION Get-Jobs
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR name requesting-user-name $user
    ATTR keyword which-jobs $which
    ATTR integer limit 100000
    ATTR keyword requested-attributes job-id,job-name,job-state,time-at-creation,time-at-processing,time-at-completed
    STATUS successful-ok
}
"""


# ---------------------------------------------------------------- documents

def text_ps(path, pages):
    """Light text pages with DSC comments, so pstops and the page count see every page."""
    lines = ["%!PS-Adobe-3.0", "%%Title: (load)", f"%%Pages: {pages}", "%%EndComments",
             "%%BeginProlog", "/F { findfont exch scalefont setfont } bind def", "%%EndProlog",
             "%%BeginSetup", "%%EndSetup"]
    for n in range(1, pages + 1):
        lines += [f"%%Page: {n} {n}",
                  f"20 /Helvetica-Bold F 72 760 moveto (Load test page {n} of {pages}) show",
                  "11 /Times-Roman F",
                  *[f"72 {720 - 14 * i} moveto (Line {i}: the quick brown fox jumps over the lazy dog.) show"
                    for i in range(10)],
                  "showpage"]
    lines += ["%%Trailer", "%%EOF"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def document(kind, pages, cache={}):
    key = (kind, pages)
    if key not in cache:
        ps = text_ps(f"{WORK}/docs/p{pages}.ps", pages)
        if kind == "pdf":
            pdf = f"{WORK}/docs/p{pages}.pdf"
            run("gs", "-q", "-dBATCH", "-dNOPAUSE", "-dSAFER", "-sDEVICE=pdfwrite",
                f"-sOutputFile={pdf}", ps)
            cache[key] = pdf
        else:
            cache[key] = ps
    return cache[key]


# ---------------------------------------------------------------- the jobs

def random_job(rng, index):
    queue = rng.choice((USB, NET))
    kind = rng.choice(("ps", "pdf"))
    pages = rng.randint(1, 40)
    options = {
        # 1200 dpi and above take several times as long to render: rarer.
        "Resolution": rng.choices(("300dpi", "600dpi", "1200dpi"), (4, 5, 1))[0],
        "PageSize": rng.choice(("A4", "Letter", "B5", "A5", "Executive")),
        "Duplex": rng.choice(("None", "DuplexTumble", "DuplexNoTumble")),
        "MediaType": rng.choice(("PLAIN", "THIN", "THICK", "BOND", "RECYCLED", "LABLE")),
        "InputSlot": rng.choice(("AUTO", "MPTRAY", "TRAY1", "TRAY2")),
        "TonerSaveMode": rng.choice(("ON", "OFF")),
        "PrintDensity": str(rng.randint(0, 5)),
        "Sleep": rng.choice(("PrinterDefault", "2minutes", "30minutes")),
    }
    key = None
    if rng.random() < 0.2:  # secure print: all four digits
        key = "".join(str(rng.randint(0, 9)) for _ in range(4))
        for n, digit in enumerate(key, 1):
            options[f"Passwd{n}"] = digit
    return {"index": index, "queue": queue, "kind": kind, "pages": pages, "options": options,
            "key": key, "title": f"load-{index:04d}", "cancel": index % 10 == 9}


def submit(job):
    cmd = ["lp", "-d", job["queue"], "-t", job["title"]]
    for name, value in job["options"].items():
        cmd += ["-o", f"{name}={value}"]
    out = run(*cmd, document(job["kind"], job["pages"]))
    match = re.search(r"request id is \S+-(\d+) ", out)
    if not match:
        raise RuntimeError(f"lp printed no request id: {out!r}")
    job["id"] = int(match.group(1))
    job["submitted"] = time.time()


def all_jobs(queue, which="all"):
    """job-id -> attributes of the queue's jobs (which-jobs: all, not-completed), over IPP."""
    test = f"{WORK}/get-jobs.test"
    if not os.path.exists(test):
        with open(test, "w") as f:
            f.write(GET_JOBS)
    out = run("ipptool", "-tv", "-d", f"which={which}", f"ipp://localhost/printers/{queue}", test)
    jobs, current = {}, None
    for line in out.splitlines():
        match = re.match(r"\s+([a-z-]+) \([^)]*\) = ?(.*)$", line)
        if not match:
            continue
        name, value = match.groups()
        if name == "job-id":
            current = jobs.setdefault(int(value), {})
        if current is not None:
            current[name] = value
    return jobs


def plan_cancels(rng, jobs):
    for job in jobs:
        if job["cancel"]:
            # A third while still waiting, the rest a random time into their printing (up to
            # about as long as the job takes).
            job["cancelWhen"] = "waiting" if rng.random() < 1 / 3 else "printing"
            job["cancelAfter"] = rng.uniform(0, 0.02 * job["pages"] + 0.2)
            if job["cancelWhen"] == "waiting":
                job["cancelAfter"] = rng.uniform(0, 3.0)


def cancel(job, state):
    job["cancelledWhile"] = state
    job["cancelledAt"] = time.time()
    run("cancel", f"{job['queue']}-{job['id']}", ok=False)


def canceller(jobs, done):
    """Cancels the jobs marked for it, each at its own random moment, while they are submitted
    and after: a waiting one some time after its submission, a printing one some time after
    it was first seen processing."""
    plan = [job for job in jobs if job["cancel"]]
    timers = []
    while plan and not done.is_set():
        states = {q: all_jobs(q, "not-completed") for q in (USB, NET)}
        now = time.time()
        for job in list(plan):
            if "id" not in job:
                continue
            state = states[job["queue"]].get(job["id"], {}).get("job-state", "ended")
            if state == "ended":
                job["cancelMissed"] = True
                plan.remove(job)
            elif job["cancelWhen"] == "waiting":
                if now - job["submitted"] >= job["cancelAfter"]:
                    cancel(job, state)
                    plan.remove(job)
            elif state == "processing":
                timer = threading.Timer(job["cancelAfter"], cancel, (job, state))
                timer.start()
                timers.append(timer)
                plan.remove(job)
        time.sleep(0.1)
    for timer in timers:
        timer.join()


def log_watcher(done, samples):
    """Samples both print logs: their sizes and digests, to show they only ever grow."""
    while not done.is_set():
        for queue in (USB, NET):
            try:
                with open(print_log_path(queue), "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                data = b""
            samples[queue].append((len(data), hashlib.sha256(data).hexdigest()))
        time.sleep(0.2)


# ---------------------------------------------------------------- checks

BLOCK_KEYS = ["打印机名称：", "日期:", "任务ID：", "用户名：", "文件名：", "打印份数：", "文档页数：",
              "resolution:", "papersize:", "inputslot:", "mediatype:"]


def parse_print_log(text, printer):
    """Blocks of the log in order: {"id", "lines", "closing", "errors"}; and stray text."""
    blocks, errors = [], []
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    else:
        errors.append("the log does not end with a line feed")
    i = 0
    while i < len(lines):
        if lines[i] != SEPARATOR:
            errors.append(f"line {i + 1} outside a block: {lines[i]!r}")
            i += 1
            continue
        block = {"start": i + 1, "fields": {}, "closing": None, "errors": []}
        i += 1
        for key in BLOCK_KEYS:
            if i < len(lines) and lines[i].startswith(key):
                block["fields"][key] = lines[i][len(key):]
                i += 1
            else:
                block["errors"].append(f"missing {key!r} at line {i + 1}")
        if i < len(lines) and lines[i].startswith("duplex:"):
            block["fields"]["duplex:"] = lines[i][len("duplex:"):]
            i += 1
        # The closing line: a blank line, then the text.
        if i + 1 < len(lines) and lines[i] == "" and lines[i + 1] in (DONE, CANCELLED):
            block["closing"] = lines[i + 1]
            i += 2
        if block["fields"].get("打印机名称：") not in (None, printer):
            block["errors"].append(f"printer name {block['fields']['打印机名称：']!r}")
        block["id"] = block["fields"].get("任务ID：")
        blocks.append(block)
    return blocks, errors


def check_samples(queue, samples, final):
    """Each sample must be a prefix of the final log: the log only ever grew."""
    problems = []
    last = 0
    for size, digest in samples:
        if size < last:
            problems.append(f"{queue} print log shrank from {last} to {size} bytes")
        last = size
        if hashlib.sha256(final[:size]).hexdigest() != digest:
            problems.append(f"{queue} print log at {size} bytes is not a prefix of the final log")
            break
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--jobs", type=int, default=300)
    parser.add_argument("--seed", type=int, default=5520)
    parser.add_argument("--busy-every", type=int, default=7)
    parser.add_argument("--timeout", type=float, default=5400, help="seconds for the whole run")
    args = parser.parse_args()
    require_sandbox("loadtest.py")
    os.makedirs(f"{WORK}/docs", exist_ok=True)
    os.makedirs(args.out, exist_ok=True)
    rng = random.Random(args.seed)

    sims = {USB: Simulator(args.sim, f"{WORK}/usb", PORTS[USB], "--quiet"),
            NET: Simulator(args.sim, f"{WORK}/net", PORTS[NET], "--quiet",
                           "--busy-every", str(args.busy_every))}
    for queue in (USB, NET):
        add_queue(queue, PORTS[queue], ppd=PPDS[queue])

    jobs = [random_job(rng, i) for i in range(args.jobs)]
    plan_cancels(rng, jobs)
    for job in jobs:  # documents first, so submitting is quick
        document(job["kind"], job["pages"])

    done = threading.Event()
    samples = {USB: [], NET: []}
    watcher = threading.Thread(target=log_watcher, args=(done, samples), daemon=True)
    watcher.start()
    cancel_thread = threading.Thread(target=canceller, args=(jobs, done), daemon=True)
    started = time.time()
    cancel_thread.start()
    for job in jobs:
        submit(job)
    submitted = time.time()

    ids = {q: {j["id"] for j in jobs if j["queue"] == q} for q in (USB, NET)}
    deadline = started + args.timeout
    final = {}
    while True:
        final = {q: all_jobs(q) for q in (USB, NET)}
        open_jobs = [(q, i) for q in (USB, NET) for i in ids[q]
                     if final[q].get(i, {}).get("job-state") not in FINAL_STATES]
        if not open_jobs or time.time() > deadline:
            break
        time.sleep(2)
    finished = time.time()
    done.set()
    cancel_thread.join(10)
    watcher.join(5)
    time.sleep(1)  # the simulators finish their last reports

    problems = []
    if open_jobs:
        problems.append(f"{len(open_jobs)} jobs still open after {args.timeout:.0f} s: "
                        f"{open_jobs[:10]}")

    # -------- CUPS's view
    states = {}
    durations = []
    for job in jobs:
        attrs = final[job["queue"]].get(job["id"], {})
        job["state"] = attrs.get("job-state", "missing")
        states[job["state"]] = states.get(job["state"], 0) + 1
        try:
            start, end = int(attrs["time-at-processing"]), int(attrs["time-at-completed"])
            if start > 0 and end >= start:
                job["seconds"] = end - start
                if job["state"] == "completed":
                    durations.append(end - start)
        except (KeyError, ValueError):
            pass
        if job["state"] == "completed" and job["cancel"]:
            # The job ended before its moment came, or the cancel came after the last byte
            # had left: CUPS keeps it completed.
            job["cancelTooLate"] = True
        if job["state"] == "canceled" and not job["cancel"]:
            problems.append(f"job {job['queue']}-{job['id']} cancelled though nobody cancelled it")
        if job["state"] not in ("completed", "canceled"):
            problems.append(f"job {job['queue']}-{job['id']} ended {job['state']}")

    # -------- the printers' view
    received = {USB: {}, NET: {}}
    for queue in (USB, NET):
        folder = sims[queue].dir
        for name in os.listdir(folder):
            if re.fullmatch(r"job-\d+\.json", name):
                report = json.loads(read(os.path.join(folder, name)))
                title = report.get("pjlSet", {}).get("JOBNAME", "").strip('"')
                received[queue].setdefault(title, []).append(report)
    whole = 0
    busy_answers = 0
    for job in jobs:
        reports = received[job["queue"]].get(job["title"], [])
        for report in reports:
            busy_answers += report.get("lockReplies", []).count("CODE=00002")
        job["printerReports"] = len(reports)
        if job["state"] == "completed":
            if len(reports) != 1:
                problems.append(f"{job['title']} (completed): the printer got {len(reports)} streams")
                continue
            r = reports[0]
            x = r.get("pclxl", {})
            ok = (r.get("end") == "trailer" and x.get("wellFormed") and x.get("pages") == job["pages"]
                  and r.get("closedBy") == "eof")
            if ok:
                whole += 1
            else:
                problems.append(f"{job['title']} (completed) not received whole: end={r.get('end')} "
                                f"pclxl={x.get('wellFormed')} pages={x.get('pages')}/{job['pages']}")
            if job["key"] and r.get("pjlSet", {}).get("HOLDKEY") != job["key"]:
                problems.append(f"{job['title']}: HOLDKEY {r.get('pjlSet', {}).get('HOLDKEY')}")
        elif len(reports) > 1:
            problems.append(f"{job['title']} (cancelled): the printer got {len(reports)} streams")
        elif reports and reports[0].get("end") not in ("cancel", "trailer", "truncated", "empty"):
            problems.append(f"{job['title']} (cancelled): stream ended {reports[0].get('end')}")
    printer_ms = [received[j["queue"]][j["title"]][0].get("durationMs", 0) for j in jobs
                  if j["state"] == "completed" and len(received[j["queue"]].get(j["title"], [])) == 1]
    cancelled_streams = sum(1 for j in jobs if j["state"] == "canceled" and j["printerReports"])

    # -------- the print logs
    log_blocks = 0
    for queue in (USB, NET):
        with open(print_log_path(queue), "rb") as f:
            final_log = f.read()
        problems += check_samples(queue, samples[queue], final_log)
        blocks, errors = parse_print_log(final_log.decode("utf-8", "replace"), queue)
        problems += [f"{queue} print log: {e}" for e in errors]
        by_id = {}
        for block in blocks:
            problems += [f"{queue} print log block at line {block['start']}: {e}"
                         for e in block["errors"]]
            by_id.setdefault(block["id"], []).append(block)
        log_blocks += len(blocks)
        queue_jobs = {str(j["id"]): j for j in jobs if j["queue"] == queue}
        for jid, found in by_id.items():
            if jid not in queue_jobs:
                problems.append(f"{queue} print log: block of unknown job {jid!r}")
        for jid, job in queue_jobs.items():
            found = by_id.get(jid, [])
            job["logBlocks"] = len(found)
            if len(found) > 1:
                problems.append(f"{queue}-{jid}: {len(found)} blocks in the print log")
            if job["state"] == "completed":
                if len(found) != 1:
                    problems.append(f"{queue}-{jid} (completed): {len(found)} print log blocks")
                    continue
                block = found[0]
                if block["closing"] != DONE:
                    problems.append(f"{queue}-{jid} (completed): closing {block['closing']!r}")
                fields = block["fields"]
                expect = {"文件名：": job["title"], "文档页数：": str(job["pages"]),
                          "resolution:": job["options"]["Resolution"],
                          "papersize:": job["options"]["PageSize"] + ";",
                          "duplex:": DUPLEX_TEXT[job["options"]["Duplex"]]}
                for key, value in expect.items():
                    if fields.get(key) != value:
                        problems.append(f"{queue}-{jid}: print log {key}{fields.get(key)!r}, "
                                        f"expected {value!r}")
            elif found and found[0]["closing"] is None:
                problems.append(f"{queue}-{jid} (cancelled): block without a closing line")

    wall = finished - started
    report = {
        "jobs": len(jobs),
        "queues": {q: sum(1 for j in jobs if j["queue"] == q) for q in (USB, NET)},
        "documents": {k: sum(1 for j in jobs if j["kind"] == k) for k in ("ps", "pdf")},
        "pages": sum(j["pages"] for j in jobs),
        "securePrint": sum(1 for j in jobs if j["key"]),
        "cancelRequested": sum(1 for j in jobs if j["cancel"]),
        "cancelTooLate": sum(1 for j in jobs if j.get("cancelTooLate")),
        "cupsStates": states,
        "receivedWhole": whole,
        "cancelledWithPartialStream": cancelled_streams,
        "busyAnswers": busy_answers,
        "printLogBlocks": log_blocks,
        "logSamples": {q: len(samples[q]) for q in (USB, NET)},
        "submitSeconds": round(submitted - started, 1),
        "wallSeconds": round(wall, 1),
        "secondsPerJobWall": round(wall / len(jobs), 2),
        "jobSeconds": ({"median": statistics.median(durations), "max": max(durations),
                        "mean": round(statistics.mean(durations), 2),
                        "p90": sorted(durations)[int(0.9 * (len(durations) - 1))]}
                       if durations else None),
        "printerStreamMs": ({"median": statistics.median(printer_ms), "max": max(printer_ms)}
                            if printer_ms else None),
        "cancelledWhile": {w: sum(1 for j in jobs if j.get("cancelledWhile") == w)
                           for w in ("pending", "held", "processing")},
        "problems": problems,
        "jobList": [{k: j.get(k) for k in ("index", "queue", "id", "kind", "pages", "key", "cancel",
                                            "cancelWhen", "cancelAfter", "cancelledWhile", "state", "seconds",
                                            "printerReports", "logBlocks")} for j in jobs],
    }
    with open(os.path.join(args.out, "loadtest.json"), "w") as f:
        json.dump(report, f, indent=1, ensure_ascii=False)
    for key, value in report.items():
        if key not in ("jobList", "problems"):
            print(f"{key}: {value}")
    print(f"problems: {len(problems)}")
    for p in problems[:40]:
        print(f"  {p}")
    for sim in sims.values():
        sim.stop()
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
