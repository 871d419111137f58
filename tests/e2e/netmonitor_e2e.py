#!/usr/bin/python3
"""A network job as the user's desktop sees it: lp -> a private cupsd -> the network filter ->
CUPS's socket backend -> zlpsim-net on 127.0.0.2, which also answers "GetStatus;" on its UDP
status port: "CODE=10023" while a job comes in (and a few seconds after), "CODE=10001"
otherwise. The installed netmonitor runs on the desktop stand-in; what it showed is read from
what the stand-in's notification server received.

    sandbox.sh BUILD --cupsd -- desktop-session.sh OUTDIR -- netmonitor_e2e.py --sim zlpsim-net

Besides passing or failing it writes OUTDIR/netmonitor-e2e.json: the latency from each reply
the printer sent to the notice on the desktop (split into: until the monitor read it, the
monitor's own work, and the way through D-Bus to the notification server), and the monitor's resident memory while idle.

Then another local user's program holds UDP 9102 before the monitor starts again: the
desktop gets the warning, and the printer's state once the program has gone.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "desktop"))
import desktop  # noqa: E402
from cupsharness import (NET, Failure, Simulator, check, eq, lp, read,  # noqa: E402
                         require_sandbox, run, wait_job, wait_until)
from e2e import text_ps  # noqa: E402

WORK = "/var/tmp/netmonitor-e2e"
PRINTER = "127.0.0.2"
NETMONITOR = "/opt/varn/ZLP5520NW/bin/net/netmonitor"
USBMONITOR = "/opt/varn/ZLP5520NW/bin/usb/usbmonitor"
NET_IP_INFO = "/opt/varn/ZLP5520NW/bin/net/config/netIpInfo"
STARTUP = ("网络状态监视器启动", "网络状态监视器正在连接打印机，请稍后")
READY = ("打印机准备就绪", "打印机准备就绪，等待打印任务")
PRINTING = ("正在打印", "打印机正在打印")
# The printer goes on reporting "printing" for 4 s after the data are in (paper still moving),
# longer than the monitor's 3 s poll, so a short job is seen printing at least once.
STATUS_SCRIPT = """linger 4000
state idle
request
  reply "CODE=10001"
state printing
request
  reply "CODE=10023"
"""


def register_network_printer(address):
    """What the setup tool does for an address: the queue, the default, the address file
    (written whole, no line end). SNMP is turned off as in every sandbox queue: nothing
    answers it here and each job would wait for its look-ups."""
    run("/usr/sbin/lpadmin", "-p", NET, "-m", "ZLP5520NW-net.ppd", "-v",
        f"socket://{address}:9100/?snmp=false", "-E")
    run("/usr/sbin/lpadmin", "-d", NET)
    os.makedirs(os.path.dirname(NET_IP_INFO), exist_ok=True)
    with open(NET_IP_INFO, "w") as f:
        f.write(address)


def udp_records(sim):
    text = read(os.path.join(sim.dir, "udp.jsonl"), "")
    return [json.loads(line) for line in text.splitlines() if line]


def monitor_log(outdir):
    """(monotonic ms, text) of each line the monitor logged."""
    lines = []
    for line in read(os.path.join(outdir, "netmonitor.out"), "").splitlines():
        stamp, _, text = line.strip().partition(" ")
        try:
            lines.append((float(stamp) * 1000, text))
        except ValueError:
            pass
    return lines


def latency_ms(notice, records, data, log):
    """From the last reply carrying `data` sent before the notice to the notice, and the part
    of it until the monitor had read the datagram."""
    sent = [r for r in records if r["event"] == "reply" and r["data"] == data
            and r["monoMs"] <= notice["t"] * 1000]
    check(sent, f"a reply {data!r} before the notice {notice['summary']!r}")
    at, shown_at = sent[-1]["monoMs"], notice["t"] * 1000
    read_at = [ms for ms, text in log if ms >= at - 1 and text == "receive = " + data]
    # The reply handled: the rule line that closes it, after the catalogue showed the code.
    done_at = [ms for ms, text in log if read_at and read_at[0] <= ms <= shown_at
               and text == "=" * 46]
    figures = {"total": round(shown_at - at, 1)}
    if read_at and done_at:
        figures.update(toMonitor=round(read_at[0] - at, 1),
                       inMonitor=round(done_at[-1] - read_at[0], 1),
                       toDesktop=round(shown_at - done_at[-1], 1))
    return figures


def resident_kib(pid):
    for line in read(f"/proc/{pid}/status", "").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return None


def scenario(args, outdir):
    sim = Simulator(args.sim, f"{WORK}/printer", 9100, "--bind", PRINTER, "--udp-port", "9101",
                    "--udp-script", write(f"{WORK}/status.txt", STATUS_SCRIPT))
    register_network_printer(PRINTER)
    started = time.monotonic()
    events = desktop.Events(since=started)
    # Each log line stamped with the monotonic clock, to split the latency at the monitor.
    env = dict(os.environ, QT_MESSAGE_PATTERN="%{time boot} %{message}")
    monitor = subprocess.Popen([NETMONITOR], env=env, stderr=subprocess.STDOUT,
                               stdout=open(os.path.join(outdir, "netmonitor.out"), "w"))
    # The USB monitor runs beside it, as on a desktop with both queues; it finds no USB printer
    # and says so, which must not disturb the network monitor.
    usb_monitor = subprocess.Popen([USBMONITOR], stderr=subprocess.STDOUT,
                                   stdout=open(os.path.join(outdir, "usbmonitor.out"), "w"))
    try:
        notices = []

        def expect(texts, timeout, what):
            def match(e):
                return (desktop.is_notify(summary=texts[0], body=texts[1])(e)
                        and e["app_name"] == "netmonitor")
            notice = events.next(match, timeout, what)
            notices.append(notice)
            return notice

        first = expect(STARTUP, 15, "the network start-up notice")
        eq(first["expire_timeout"], 120000, "every notice of the network build lasts 120 s")
        ready = expect(READY, 10, "the printer's first answer: ready")
        idle_kib = resident_kib(monitor.pid)

        jid = lp(NET, text_ps(f"{WORK}/doc.ps", 3), title="seen on the desktop")
        printing = expect(PRINTING, 30, "the printing notice while the job comes in")
        wait_job(NET, jid)
        report = sim.wait_report(1)
        check(report["pclxl"]["wellFormed"], "the job reached the printer whole", report["pclxl"])
        eq(report["pclxl"]["pages"], 3, "pages printed")
        ready_again = expect(READY, 15, "the ready notice after the job")
        check(ready_again["t"] > printing["t"], "ready comes after printing")
        check(usb_monitor.poll() is None and monitor.poll() is None, "both monitors still run")
        both = {e["app_name"] for e in desktop.Events(since=started).notices()}
        eq(both, {"netmonitor", "usbmonitor"}, "programs that showed notices")

        # What the printer saw: the monitor's requests, exact, from this host, every 3 s.
        records = udp_records(sim)
        requests = [r for r in records if r["event"] == "request"]
        check(all(r["data"] == "GetStatus;" and r["from"].startswith("127.0.0.1:")
                  for r in requests), "only GetStatus; from the monitor", requests[:3])
        check(any(r["printing"] for r in requests), "a request came while the job printed")
        gaps = [b["monoMs"] - a["monoMs"] for a, b in zip(requests, requests[1:])]
        # Every 3 s; a tick that waits for lpstat on a busy machine may come late.
        check(gaps and 2700 <= sorted(gaps)[len(gaps) // 2] <= 3300 and max(gaps) < 6000,
              "a request every 3 s", gaps)

        log = monitor_log(outdir)
        figures = {
            "latencyMs": {
                "ready": latency_ms(ready, records, "CODE=10001", log),
                "printing": latency_ms(printing, records, "CODE=10023", log),
                "readyAgain": latency_ms(ready_again, records, "CODE=10001", log),
            },
            "idleResidentKiB": idle_kib,
            "notices": [(round(n["t"] - started, 2), n["summary"]) for n in notices],
        }
        with open(os.path.join(outdir, "netmonitor-e2e.json"), "w") as f:
            json.dump(figures, f, ensure_ascii=False, indent=1)
        print(json.dumps(figures, ensure_ascii=False))
    finally:
        for proc in (monitor, usb_monitor):
            desktop.stop_program(proc)
        sim.stop()


PORT_TAKEN = ("无法接收打印机状态", "本机UDP 9102端口已被其他程序占用\n请关闭占用该端口的程序")
# Another local user's program on the monitor's reply port, bound before the monitor starts.
SQUATTER = ("import socket, time\n"
            "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
            "s.bind(('0.0.0.0', 9102))\n"
            "print('bound', flush=True)\n"
            "time.sleep(600)\n")


def squatted_port(args, outdir):
    """A program of the user nobody holds UDP 9102 when the monitor starts, so the printer's
    replies go to it: the desktop shows the warning instead of a start-up text for ever; once
    the program has gone, the printer's state comes through."""
    sim = Simulator(args.sim, f"{WORK}/printer2", 9100, "--bind", PRINTER, "--udp-port", "9101",
                    "--udp-script", write(f"{WORK}/status2.txt", STATUS_SCRIPT))
    squatter = subprocess.Popen(["/usr/bin/python3", "-c", SQUATTER], user="nobody",
                                group="nogroup", extra_groups=[], stdout=subprocess.PIPE,
                                text=True)
    monitor = None
    try:
        eq(squatter.stdout.readline().strip(), "bound", "nobody's program holds UDP 9102")
        events = desktop.Events(since=time.monotonic())
        monitor = subprocess.Popen([NETMONITOR], stderr=subprocess.STDOUT,
                                   stdout=open(os.path.join(outdir, "netmonitor-port.out"), "w"))

        def expect(texts, timeout, what):
            return events.next(lambda e: (desktop.is_notify(summary=texts[0], body=texts[1])(e)
                                          and e["app_name"] == "netmonitor"), timeout, what)

        expect(PORT_TAKEN, 15, "the warning that another program holds the reply port")
        squatter.kill()
        squatter.wait()
        expect(READY, 15, "the printer's answer once the port is free")
    finally:
        if monitor:
            desktop.stop_program(monitor)
        squatter.kill()
        squatter.wait()
        sim.stop()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="path of zlpsim-net")
    args = parser.parse_args()
    require_sandbox("netmonitor_e2e.py")
    outdir = os.environ["DESKTOP_OUTDIR"]
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    try:
        scenario(args, outdir)
        squatted_port(args, outdir)
    except (Failure, desktop.Timeout) as failure:
        print(f"FAIL netmonitor: {failure}", file=sys.stderr)
        print("--- notices:", [(e["summary"], e["body"]) for e in desktop.Events().notices()],
              file=sys.stderr)
        print("--- netmonitor output (tail):\n" +
              "\n".join(read(os.path.join(outdir, "netmonitor.out"), "").splitlines()[-30:]),
              file=sys.stderr)
        print("--- printer:\n" + read(f"{WORK}/printer/log", ""), file=sys.stderr)
        return 1
    print("PASS netmonitor")
    return 0


if __name__ == "__main__":
    sys.exit(main())
