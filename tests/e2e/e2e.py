#!/usr/bin/env python3
"""End-to-end scenarios: lp -> a private cupsd -> our filters -> CUPS's socket backend -> zlpsim-net.

Runs inside tests/sandbox/sandbox.sh BUILD --cupsd (tmpfs over /opt, the spool and CUPS's state,
the suite installed), one scenario per sandbox:

    e2e.py --sim PATH/zlpsim-net SCENARIO

Each scenario asserts on what the simulated printer received (its JSON job reports) and on what
CUPS reports (lpstat, and the job state over IPP), plus the files the filters leave behind.
"""
import argparse
import difflib
import os
import re
import shutil
import signal
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from cupsharness import (FINAL_STATES, NET, PORTS, PPDS, USB, Failure, Simulator, check,  # noqa: E402
                         eq, job_attributes, job_state, lp, print_log, printer_long, read,
                         require_sandbox, run, settings_file, state_file, wait_job, wait_until)
from cupsharness import add_queue as add_socket_queue  # noqa: E402

WORK = "/var/tmp/e2e"
BAD_KEY_REASON = "输入数字密码无效，请在电脑端打印队列中取消任务，并重新设置四位密码，重新打印"
BUSY_TEXT = "打印机忙，请稍后"
VENDOR = "\x1b#+54321X_VARN@PJL"
STOPPED = ("processing-stopped", "stopped")


# ---------------------------------------------------------------- documents

def text_ps(path, pages, title="e2e"):
    """A DSC-conforming document: copies and page comments land where pstops expects them."""
    lines = ["%!PS-Adobe-3.0", f"%%Title: ({title})", f"%%Pages: {pages}", "%%EndComments",
             "%%BeginProlog", "/F { findfont exch scalefont setfont } bind def", "%%EndProlog",
             "%%BeginSetup", "%%EndSetup"]
    for n in range(1, pages + 1):
        lines += [f"%%Page: {n} {n}",
                  f"24 /Helvetica-Bold F 72 760 moveto (End-to-end page {n} of {pages}) show",
                  "11 /Times-Roman F",
                  *[f"72 {720 - 14 * i} moveto (Line {i}: the quick brown fox jumps over the lazy dog.) show"
                    for i in range(20)],
                  "0.6 setgray 72 200 300 120 rectfill 0 setgray",
                  "newpath 72 100 moveto 520 330 lineto 2 setlinewidth stroke", "showpage"]
    lines += ["%%Trailer", "%%EOF"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def heavy_ps(path, pages):
    """Pages of noise at 300 dpi: about a megabyte of PCL XL each, so a job outlasts the buffers
    between the filter and the printer."""
    lines = ["%!PS-Adobe-3.0", f"%%Pages: {pages}", "%%EndComments", "%%BeginProlog",
             "/noise { 310 string 0 1 309 { 1 index exch rand -7 bitshift 255 and put } for } bind def",
             "%%EndProlog"]
    for n in range(1, pages + 1):
        lines += [f"%%Page: {n} {n}", "gsave 595 842 scale",
                  "2480 3508 1 [2480 0 0 -3508 0 3508] { noise } image grestore", "showpage"]
    lines += ["%%EOF"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def pdf_from(ps, pdf):
    run("gs", "-q", "-dBATCH", "-dNOPAUSE", "-dSAFER", "-sDEVICE=pdfwrite", f"-sOutputFile={pdf}", ps)
    return pdf


# ---------------------------------------------------------------- setup

def add_queue(queue):
    """One of the project's queues, from its installed PPD, to the simulator's port."""
    add_socket_queue(queue, PORTS[queue], ppd=PPDS[queue])


def simulator(args, *options, port):
    return Simulator(args.sim, f"{WORK}/printer", port, *options)


# ---------------------------------------------------------------- what the filters leave

DUPLEX_TEXT = {"None": "单面打印", "DuplexTumble": "短边翻转", "DuplexNoTumble": "长边翻转"}


def check_settings(queue, resolution="600dpi", size="A4", slot="AUTO", media="PLAIN",
                   duplex="None"):
    eq(settings_file(queue),
       f"resolution:{resolution};\npapersize:{size};\ninputslot:{slot};\nmediatype:{media};\n"
       f"duplex:{duplex};\n", f"{queue} settings file")


def check_log_block(queue, log_before, job, title, copies, pages, resolution="600dpi", size="A4",
                    duplex="None", closing="\n打印任务完成\n"):
    log = print_log(queue)
    check(log.startswith(log_before), f"{queue} print log must only grow")
    added = log[len(log_before):]
    name = "ZLP5520NW-net" if queue == NET else "ZLP5520NW"
    pattern = (r"\*{51}\n"
               f"打印机名称：{re.escape(name)}\n"
               r"日期:\d{4}年\d\d月\d\d日\d\d:\d\d:\d\d \w+\n"
               f"任务ID：{job}\n用户名：\\S+\n文件名：{re.escape(title)}\n"
               f"打印份数：{copies}\n文档页数：{pages}\n"
               f"resolution:{re.escape(resolution)}\npapersize:{re.escape(size)};\n"
               "inputslot:AUTO;\nmediatype:PLAIN;\n"
               f"duplex:{DUPLEX_TEXT[duplex]}\n{re.escape(closing)}$")
    check(re.fullmatch(pattern, added), f"{queue} print log block of job {job}", added)


# ---------------------------------------------------------------- what the printer received

def check_header_frame(report, queue, lock_queries=None):
    check(report["vendorPrefix"], "the header opens with UEL, LF and the vendor line",
          report["pjl"][:2])
    eq(report["pjl"][:2], [VENDOR, "@PJL SET RENDERMODE=GRAYSCALE"], "first header lines")
    eq(report["pjl"][-1], "@PJL ENTER LANGUAGE = PCLXL", "last header line")
    check(not report["carriageReturns"], "header lines end in LF alone")
    eq(report["headerUels"], 1, "universal exits in the header")
    if lock_queries is None:
        lock_queries = 1 if queue == NET else 0  # a free printer answers the first query
    eq(report["lockQueries"], lock_queries, "lock queries")


def check_printed(report, queue, pages, dpi=600, media="a4", lock_queries=None):
    check_header_frame(report, queue, lock_queries)
    x = report["pclxl"]
    check(x["wellFormed"], "the PCL XL stream is well formed", x["error"])
    eq(x["pages"], pages, "pages received")
    eq(x["resolution"], [dpi, dpi], "PCL XL resolution")
    if media is not None:
        eq([p["mediaSize"] for p in x["pageList"]], [media] * pages, "media sizes")
    eq(report["trailer"], [VENDOR + " EOJ"], "PJL after the PCL XL stream")
    eq(report["end"], "trailer", "how the job ended")
    eq(report["closedBy"], "eof", "how the connection ended")


def default_header_body(report, title):
    """The header between the vendor line and ENTER LANGUAGE for a job with every default."""
    host = os.uname().nodename
    lines = report["pjl"][1:-1]
    expected = [
        "@PJL SET RENDERMODE=GRAYSCALE", "@PJL SET REPRINT=OFF", "@PJL SET HOLD=OFF",
        r'@PJL SET USERNAME="\S+"', f'@PJL SET JOBNAME="{re.escape(title)}"',
        "@PJL PRINTLOG ITEM = 1,PRINTER",
        r"@PJL PRINTLOG ITEM = 2,\w{3},\d\d,\w{3} \d{4} \d\d:\d\d:\d\d",
        r"@PJL PRINTLOG ITEM = 3,\S+", f"@PJL PRINTLOG ITEM = 4,{re.escape(host)}",
        r"@PJL SET JOBTIME = \d{14}", f'@PJL JOB NAME="{re.escape(title)}"',
        "@PJL SET RESOLUTION=600", "@PJL SET HQMMODE=OFF", "@PJL SET ECONOMODE=OFF",
        "@PJL SET SOURCETRAY=AUTO", "@PJL SET MEDIATYPE=REGULAR", "@PJL SET LESSPAPERCURL=OFF",
        "@PJL SET FIXINTENSITYUP=OFF"]
    check(len(lines) == len(expected) and all(re.fullmatch(e, l) for e, l in zip(expected, lines)),
          "the default job header, line by line", lines)


# ---------------------------------------------------------------- scenarios

def scenario_print(args, queue):
    """A PostScript file and a PDF, plain and with options, through one queue."""
    sim = simulator(args, port=PORTS[queue])
    ps = text_ps(f"{WORK}/doc3.ps", 3)
    pdf = pdf_from(text_ps(f"{WORK}/doc2.ps", 2), f"{WORK}/doc2.pdf")
    add_queue(queue)
    check(state_file() is None, "no printer state file before the first job")
    printed = 0

    def job(path, *options, title, copies=None):
        nonlocal printed
        before = print_log(queue)
        started = time.monotonic()
        jid = lp(queue, path, *options, title=title, copies=copies)
        wait_job(queue, jid)
        printed += 1
        report = sim.wait_report(printed)
        return jid, before, report, time.monotonic() - started

    # Every default: the exact header, three A4 pages at 600 dpi, the files of a default job.
    jid, before, report, _ = job(ps, title="plain PostScript")
    default_header_body(report, "plain PostScript")
    check_printed(report, queue, 3)
    eq([p["copies"] for p in report["pclxl"]["pageList"]], [1, 1, 1], "page copies")
    check_settings(queue)
    check_log_block(queue, before, jid, "plain PostScript", 1, 3)
    if queue == USB:
        eq(state_file(), "CODE=10001", "printer state after the job")
    else:
        check(state_file() is None, "the network filter never writes a printer state file")

    # A PDF: CUPS converts it with cups-filters before our filter sees PostScript; the print
    # log counts the pages of the spooled PDF itself.
    jid, before, report, _ = job(pdf, title="a PDF")
    default_header_body(report, "a PDF")
    check_printed(report, queue, 2)
    check_log_block(queue, before, jid, "a PDF", 1, 2)

    # Resolution, long-edge duplex, Letter, toner saving and three copies.
    jid, before, report, _ = job(ps, "Resolution=1200dpi", "Duplex=DuplexNoTumble",
                                 "PageSize=Letter", "TonerSaveMode=ON", title="options",
                                 copies=3)
    check_printed(report, queue, 3, dpi=1200, media="letter")
    pjl = report["pjlSet"]
    eq((pjl.get("RESOLUTION"), pjl.get("PAPERFEEDSPEED"), pjl.get("ECONOMODE")),
       ("TR1200", "FULL", "ON"), "PJL of the options")
    pages = report["pclxl"]["pageList"]
    eq([(p["duplexMode"], p["duplexSide"]) for p in pages], [(1, 0), (1, 1), (1, 0)],
       "duplex (vertical binding: long edge) and sides")
    eq([p["copies"] for p in pages], [3, 3, 3], "page copies for -n 3")
    check_settings(queue, resolution="1200dpi", size="Letter", duplex="DuplexNoTumble")
    check_log_block(queue, before, jid, "options", 3, 3, resolution="1200dpi", size="Letter",
                    duplex="DuplexNoTumble")

    # A custom size of 400 x 500 points.
    jid, before, report, _ = job(ps, "PageSize=Custom.400x500", title="custom size")
    check_printed(report, queue, 3, media=None)
    for page in report["pclxl"]["pageList"]:
        eq(page["customUnits"], 0, "custom size units (inch)")
        check(page["custom"] and abs(page["custom"][0] - 400 / 72) < 0.01 and
              abs(page["custom"][1] - 500 / 72) < 0.01, "custom page of 400 x 500 points",
              page["custom"])
    check_settings(queue, size="Custom")
    check_log_block(queue, before, jid, "custom size", 1, 3, size="Custom")

    # A four-digit key, given out of order: the job is held at the printer under 1234.
    jid, before, report, _ = job(ps, "Passwd3=3", "Passwd1=1", "Passwd4=4", "Passwd2=2",
                                 title="held")
    check_printed(report, queue, 3)
    pjl = report["pjlSet"]
    eq((pjl.get("HOLD"), pjl.get("HOLDTYPE"), pjl.get("HOLDKEY")), ("STORE", "PRIVATE", "1234"),
       "secure print lines")
    check("LOGINUSER" in pjl, "LOGINUSER with a key", pjl)
    check_log_block(queue, before, jid, "held", 1, 3)
    if queue == USB:
        eq(state_file(), "CODE=10001", "printer state after the last job")
    sim.stop()


def scenario_cancel(args, queue):
    """cancel while the printer has stopped taking data in the middle of the job."""
    status = "CODE=10023\r" + " " * 21
    sim = simulator(args, "--stall-after", "1500000", "--rcvbuf", "32768", "--status",
                    f"1:{status}", port=PORTS[queue])
    doc = heavy_ps(f"{WORK}/heavy.ps", 10)
    add_queue(queue)
    jid = lp(queue, doc, title="to be cancelled")
    wait_until(lambda: "stalled" in sim.output(), 30, "the printer to stall")
    if queue == USB:
        # The filter stores the printer's back-channel text while it streams.
        wait_until(lambda: state_file() == status, 10, "the status text in the state file")
    eq(job_state(queue, jid), "processing", "job state while the printer stalls")
    run("cancel", f"{queue}-{jid}")
    time.sleep(0.5)  # let CUPS signal the filter before the printer reads on
    sim.signal(signal.SIGUSR1)
    report = sim.wait_report(1)
    wait_job(queue, jid, ("canceled",))
    check_header_frame(report, queue)
    x = report["pclxl"]
    check(x["present"] and not x["wellFormed"] and x["pages"] < 10,
          "the PCL XL stream is cut short", (x["pages"], x["error"]))
    eq(report["trailer"], [VENDOR + " CANCEL"], "PJL after the cut")
    eq(report["end"], "cancel", "how the job ended")
    check(print_log(queue).endswith("\n打印任务被用户取消\n"), "print log ends with the cancel line",
          print_log(queue)[-80:])
    if queue == USB:
        eq(state_file(), "CODE=10001", "printer state after the cancel")
    check("\n打印任务完成\n" not in print_log(queue), "no completion line for a cancelled job")
    sim.stop()


def scenario_pdf_pages(args):
    """The print log's page count of PDF jobs: a plain and an encrypted PDF of three pages, one
    locked with a user password and a damaged one."""
    sim = simulator(args, port=PORTS[USB])
    three = pdf_from(text_ps(f"{WORK}/doc3.ps", 3), f"{WORK}/three.pdf")
    aes = f"{WORK}/aes.pdf"
    run("qpdf", "--encrypt", "", "owner", "256", "--", three, aes)
    locked = f"{WORK}/locked.pdf"
    run("qpdf", "--encrypt", "secret", "owner", "256", "--", three, locked)
    broken = f"{WORK}/broken.pdf"
    with open(three, "rb") as f:
        data = f.read()
    with open(broken, "wb") as f:  # the header, then the document cut off after a third
        f.write(data[:len(data) // 3])
    add_queue(USB)
    printed = 0
    for path, title, pages in ((three, "three pages", 3), (aes, "encrypted", 3)):
        before = print_log(USB)
        jid = lp(USB, path, title=title)
        wait_job(USB, jid)
        printed += 1
        check_printed(sim.wait_report(printed), USB, 3)
        check_log_block(USB, before, jid, title, 1, pages)
    # CUPS's own PDF filters cannot read these either and stop the job ("filter errors"); our
    # filter still runs behind them, and its print log must not claim pages it cannot know.
    for path, title in ((locked, "locked"), (broken, "broken")):
        before = print_log(USB)
        jid = lp(USB, path, title=title)
        state = wait_until(lambda: (s := job_state(USB, jid)) in FINAL_STATES + STOPPED and s, 60,
                           f"job {jid} to end or stop")
        if state in STOPPED:
            run("cancel", f"{USB}-{jid}")
        added = wait_until(lambda: print_log(USB)[len(before):], 10, f"the {title} job's log")
        check(f"文件名：{title}\n打印份数：1\n文档页数：0\n" in added,
              f"no pages counted for the {title} PDF", added)
        printed += 1
        sim.wait_report(printed)
    sim.stop()


def scenario_stall(args):
    """A network printer that stops taking data mid-job: the filter ends the job itself once its
    writes and drains have made no progress eleven times in a row."""
    sim = simulator(args, "--stall-after", "1500000", "--rcvbuf", "32768", port=PORTS[NET])
    doc = heavy_ps(f"{WORK}/heavy.ps", 6)
    add_queue(NET)
    before = print_log(NET)
    jid = lp(NET, doc, title="stalled")
    wait_until(lambda: "stalled" in sim.output(), 30, "the printer to stall")
    stalled = time.monotonic()
    wait_until(lambda: print_log(NET).endswith("\n打印任务被用户取消\n"), 60,
               "the filter to cancel the job of the stalled printer")
    waited = time.monotonic() - stalled
    # Eleven failures, each a drain or a write without progress for 2 s, and a 0.5 s pause.
    check(15 < waited < 45, "the job ends after eleven drain times without progress", waited)
    check_log_block(NET, before, jid, "stalled", 1, 6, closing="\n打印任务被用户取消\n")
    # CUPS refuses a filter's own cancel (filters run as lp, not as the job's owner), so the job
    # ends when the backend has handed the printer what it still holds.
    sim.signal(signal.SIGUSR1)
    report = sim.wait_report(1)
    wait_job(NET, jid, ("completed", "canceled", "aborted"))
    check(report["stalled"], "the printer reports its stall")
    x = report["pclxl"]
    check(x["present"] and not x["wellFormed"] and x["pages"] < 6,
          "the PCL XL stream is cut short", (x["pages"], x["error"]))
    check(report["end"] in ("cancel", "truncated"), "no trailer after the cut", report["end"])
    sim.stop()


def scenario_slow(args):
    """A network printer that takes 64 KiB every 0.8 s: slow, but every write moves within a
    drain time, so the job is never cancelled."""
    sim = simulator(args, "--read-chunk", "65536", "--read-delay", "800", "--rcvbuf", "32768",
                    port=PORTS[NET])
    doc = heavy_ps(f"{WORK}/heavy.ps", 1)
    add_queue(NET)
    before = print_log(NET)
    started = time.monotonic()
    jid = lp(NET, doc, title="slow")
    wait_job(NET, jid, timeout=90)
    report = sim.wait_report(1)
    elapsed = time.monotonic() - started
    check(report["bytes"] / elapsed < 100 * 1024, "the printer really was slow",
          (report["bytes"], elapsed))
    check_printed(report, NET, 1)
    check_log_block(NET, before, jid, "slow", 1, 1)
    sim.stop()


def scenario_busy(args):
    """A printer that is busy three times before it lets the network job print."""
    sim = simulator(args, "--lock", "busy:3", port=PORTS[NET])
    ps = text_ps(f"{WORK}/doc1.ps", 1)
    add_queue(NET)
    started = time.monotonic()
    jid = lp(NET, ps, title="busy")
    status = wait_until(lambda: BUSY_TEXT in (s := run("lpstat", "-p", NET)) and s, 10,
                        f"lpstat -p to show {BUSY_TEXT}")
    check(f"now printing {NET}-{jid}" in status, "the queue shows the job as printing", status)
    eq(job_state(NET, jid), "processing", "job state while the printer is busy")
    wait_job(NET, jid)
    elapsed = time.monotonic() - started
    report = sim.wait_report(1)
    eq(report["lockReplies"], ["CODE=00002"] * 3 + ["CODE=00001"], "lock answers")
    check_printed(report, NET, 1, lock_queries=4)
    check(elapsed >= 3, "the job waits a second after each busy answer", elapsed)
    check(BUSY_TEXT not in run("lpstat", "-p", NET), "the busy text is gone once printed")
    sim.stop()


def scenario_silent(args):
    """A printer that never answers "LockPrinter?": the network job waits, sends nothing else,
    and ends when cancelled."""
    sim = simulator(args, "--lock", "silent", port=PORTS[NET])
    ps = text_ps(f"{WORK}/doc1.ps", 1)
    add_queue(NET)
    jid = lp(NET, ps, title="unanswered")
    # One unanswered query takes a 10-second read and three 2-second re-reads.
    wait_until(lambda: "正在连接打印机，请稍后" in run("lpstat", "-p", NET), 30,
               "lpstat -p to show that the filter is connecting")
    eq(job_state(NET, jid), "processing", "job state while the printer is silent")
    run("cancel", f"{NET}-{jid}")
    wait_job(NET, jid, ("canceled",), timeout=20)
    report = sim.wait_report(1)
    check(report["lockQueries"] >= 1 and set(report["lockReplies"]) == {""},
          "only unanswered lock queries", report["lockReplies"])
    eq(report["pjl"], [VENDOR + " CANCEL"], "after the queries only the cancel sequence")
    check(not report["pclxl"]["present"], "no page data")
    eq(report["end"], "cancel", "how the job ended")
    check(print_log(NET).endswith("\n打印任务被用户取消\n"), "print log ends with the cancel line",
          print_log(NET)[-80:])
    sim.stop()


def scenario_bad_key(args):
    """A two-digit key stops the job and names the reason on the queue; cancelling ends it. The
    stuck job and one behind it show in lpstat -o and lpstat -R."""
    sim = simulator(args, port=PORTS[USB])
    ps = text_ps(f"{WORK}/doc1.ps", 1)
    add_queue(USB)
    log_before = print_log(USB)
    bad = lp(USB, ps, "Passwd1=1", "Passwd2=2", title="two digits")
    good = lp(USB, ps, title="behind it")
    wait_until(lambda: BAD_KEY_REASON in printer_long(USB), 10, "the key reason on the queue")
    check(re.search(r"Alerts: .*" + re.escape(BAD_KEY_REASON), printer_long(USB)),
          "the reason is a printer-state reason (Alerts)", printer_long(USB))
    eq(state_file(), "CODE=99999", "printer state of a refused key")
    eq(job_state(USB, bad), "processing", "the refused job hangs")
    check(settings_file(USB) is None, "no settings file for a refused job", settings_file(USB))
    eq(print_log(USB), log_before, "the print log of a refused job")

    listing = run("lpstat", "-o", USB)
    for jid in (bad, good):
        check(re.search(rf"^{USB}-{jid}\s+\S+\s+\d+\s+\w", listing, re.M),
              f"lpstat -o lists job {jid}", listing)
    ranks = run("lpstat", "-R")
    check(re.search(rf"^\s*0 {USB}-{bad}\s", ranks, re.M) and
          re.search(rf"^\s*1 {USB}-{good}\s", ranks, re.M), "lpstat -R ranks both jobs", ranks)
    check(sim.report(1) is None, "nothing reached the printer", sim.output())

    run("cancel", f"{USB}-{bad}")
    wait_job(USB, bad, ("canceled",), timeout=20)
    wait_until(lambda: BAD_KEY_REASON not in printer_long(USB), 10, "the reason to go")
    wait_job(USB, good)
    # The filter answers the cancel with the cancel sequence. Whether it reaches the printer
    # depends on a race in CUPS: the socket backend connects on the first byte, but cupsd's
    # SIGTERM ends it unless it has already entered its copy loop; killed in between, it leaves
    # a connection that carried nothing. Either way nothing else of the refused job may arrive.
    report = sim.wait_report(1)
    if report["end"] in ("cancel", "empty"):
        if report["end"] == "cancel":
            eq(report["pjl"], [VENDOR + " CANCEL"], "all the printer got of the refused job")
        else:
            eq(report["pjl"], [], "nothing arrived on the refused job's connection")
        check(not report["pclxl"]["present"], "no page data of the refused job")
        report = sim.wait_report(2)
    check_printed(report, USB, 1)
    check("HOLDKEY" not in report["pjlSet"], "the job behind it is no secure job", report["pjl"])
    eq(state_file(), "CODE=10001", "printer state at the end")
    eq(run("lpstat", "-o", USB), "", "lpstat -o once both jobs ended")
    sim.stop()


def hostile_ps(path):
    """What mallory prints: cupsd's control lines, through Ghostscript's standard output."""
    lines = ["%!PS-Adobe-3.0", "%%Pages: 1", "%%EndComments", "%%Page: 1 1",
             r"(PPD: DefaultPasswd1=1 DefaultPasswd2=2 DefaultPasswd3=3 DefaultPasswd4=4\n) print",
             r"(PPD: DefaultResolution=300dpi\n) print",
             r"(STATE: +media-jam-error\n) print",
             r"(ATTR: printer-alert-description=mallory-was-here\n) print flush",
             "/Helvetica findfont 24 scalefont setfont 72 700 moveto (hostile) show showpage",
             "%%EOF"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def scenario_hostile_document(args):
    """A document that prints control lines changes neither queue: its PPD and defaults, its
    state reasons and alerts stay, and the next user's job is not held under a planted key."""
    doc = hostile_ps(f"{WORK}/hostile.ps")
    plain = text_ps(f"{WORK}/doc1.ps", 1)
    for queue in (USB, NET):
        sim = Simulator(args.sim, f"{WORK}/printer-{queue}", PORTS[queue])
        add_queue(queue)
        ppd = f"/etc/cups/ppd/{queue}.ppd"
        ppd_before, options_before = read(ppd), run("lpoptions", "-p", queue, "-l")

        def alerts():
            return [l for l in printer_long(queue).splitlines() if "Alerts:" in l]

        alerts_before = alerts()
        wait_job(queue, lp(queue, doc, title="hostile"))
        check_printed(sim.wait_report(1), queue, 1)
        time.sleep(0.5)  # cupsd applies a job's PPD: lines as the job ends
        changed = [l for l in difflib.unified_diff(ppd_before.splitlines(), read(ppd).splitlines(),
                                                   lineterm="", n=0)][2:]
        eq(changed, [], f"{queue} PPD lines the hostile job changed")
        eq(run("lpoptions", "-p", queue, "-l"), options_before, f"{queue} options")
        eq(alerts(), alerts_before, f"{queue} alerts (printer-state-reasons)")
        state = printer_long(queue)
        check("media-jam" not in state and "mallory" not in state, f"{queue} lpstat -l -p", state)
        wait_job(queue, lp(queue, plain, title="next user"))
        report = sim.wait_report(2)
        check_printed(report, queue, 1)
        eq((report["pjlSet"].get("HOLD"), report["pjlSet"].get("HOLDKEY")), ("OFF", None),
           f"{queue}: the next job is held under no key")
        sim.stop()


def scenario_key_log(args):
    """At LogLevel debug cupsd's log takes every run-log line of the filter: none may show the
    digits of a secure-print key, while the printer still gets the key."""
    run("cupsctl", "--debug-logging")
    wait_until(lambda: run("lpstat", "-r", ok=False).startswith("scheduler is running"), 10,
               "cupsd back at LogLevel debug")
    sim = simulator(args, port=PORTS[USB])
    add_queue(USB)
    jid = lp(USB, text_ps(f"{WORK}/doc1.ps", 1), "Passwd1=9", "Passwd2=8", "Passwd3=7",
             "Passwd4=6", title="held")
    wait_job(USB, jid)
    report = sim.wait_report(1)
    eq(report["pjlSet"].get("HOLDKEY"), "9876", "the key in the job header")
    log = wait_until(lambda: (t := read("/var/log/cups/error_log", "")) and
                     "securityPasswd" in t and t, 10, "the filter's key lines in error_log")
    # cupsd logs the job's own command line (argv[5], the options) itself; the filter's lines
    # are the rest of the job's.
    mine = [l for l in log.splitlines() if f"[Job {jid}]" in l and "argv[" not in l]
    check(any("the whole securityPasswd = ****, securityPasswdCont = 4" in l for l in mine),
          "the key lines are logged, hidden", [l for l in mine if "securityPasswd" in l])
    check(any("@PJL SET HOLDKEY=****" in l for l in mine), "the header is logged, key hidden")
    leaks = [l for l in mine if re.search(r"9876|securityPasswd = \d|HOLDKEY=\d", l)]
    eq(leaks, [], "run-log lines with digits of the key")
    sim.stop()


def scenario_generic(args):
    """The harness itself, through Debian's generic PCL XL driver (no project code on the way)."""
    sim = simulator(args, port=9120)
    ps = text_ps(f"{WORK}/doc3.ps", 3)
    add_socket_queue("generic", 9120, ppd_file="/usr/share/ppd/cupsfilters/pxlmono.ppd")
    jid = lp("generic", ps)
    wait_job("generic", jid)
    report = sim.wait_report(1)
    x = report["pclxl"]
    check(x["wellFormed"], "generic stream well formed", x["error"])
    eq(x["pages"], 3, "pages")
    eq(report["end"], "uel", "Ghostscript's own ending")
    check(not report["vendorPrefix"], "no vendor line from the generic driver")
    sim.stop()


SCENARIOS = {
    "usb_print": lambda a: scenario_print(a, USB),
    "net_print": lambda a: scenario_print(a, NET),
    "usb_cancel": lambda a: scenario_cancel(a, USB),
    "net_cancel": lambda a: scenario_cancel(a, NET),
    "pdf_pages": scenario_pdf_pages,
    "net_stall": scenario_stall,
    "net_slow": scenario_slow,
    "net_busy": scenario_busy,
    "net_silent": scenario_silent,
    "usb_bad_key": scenario_bad_key,
    "generic": scenario_generic,
    "hostile_document": scenario_hostile_document,
    "key_log": scenario_key_log,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="path of zlpsim-net")
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    require_sandbox("e2e.py")
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    started = time.monotonic()
    try:
        SCENARIOS[args.scenario](args)
    except Failure as failure:
        print(f"FAIL {args.scenario}: {failure}", file=sys.stderr)
        dump_context()
        return 1
    print(f"PASS {args.scenario} ({time.monotonic() - started:.1f} s)")
    return 0


def dump_context():
    for name in sorted(os.listdir(WORK)):
        log = os.path.join(WORK, name, "log")
        if os.path.exists(log):
            print(f"--- simulator {name}:\n{read(log)}", file=sys.stderr)
    print("--- lpstat -l -p:\n" + run("lpstat", "-l", "-p", ok=False), file=sys.stderr)
    print("--- lpstat -W all -o:\n" + run("lpstat", "-W", "all", "-o", ok=False), file=sys.stderr)
    error_log = read("/var/log/cups/error_log", "")
    print("--- cups error_log (tail):\n" + "\n".join(error_log.splitlines()[-40:]), file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
