#!/usr/bin/env python3
"""The Printer Application's package on a machine: install, print, upgrade, remove, purge.

Runs as root inside packaging/throwaway-root.sh --net, like lifecycle.py, with only the app's
package installed (the driver package is not needed):

    app_lifecycle.py --deb printer-app-zlp5520nw_*.deb --sim PATH/zlpsim-net

No systemd runs in the throwaway root, so the test does what the service manager would: it
reads the installed unit, its EnvironmentFile and its StateDirectory, runs its ExecStart and
stops it with SIGTERM; and it checks that installing enabled the unit.
"""
import argparse
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
from cupsharness import Failure, Simulator, check, eq, read, run, wait_until  # noqa: E402
from lifecycle import describe_diff, dpkg_status, snapshot, stage, upgraded_deb  # noqa: E402

PACKAGE = "printer-app-zlp5520nw"
DRIVER = "printer-driver-zlp5520nw"
SERVICE = "zlp5520nw-printer-app.service"
APP = "/opt/varn/ZLP5520NW/bin/app/zlp5520nw-printer-app"
UNIT = f"/lib/systemd/system/{SERVICE}"
ENABLED = f"/etc/systemd/system/multi-user.target.wants/{SERVICE}"
DEFAULTS = "/etc/default/zlp5520nw-printer-app"
STATE = "/var/lib/zlp5520nw-printer-app"
SOCKET = "/run/zlp5520nw-printer-app.sock"
PORT = 8631
SIM_PORT = 9100
PRINTER = "ZLP"
WORK = "/var/tmp/app-package-test"


# ---------------------------------------------------------------- the unit, as systemd reads it

def unit_settings(path):
    """The [Service] keys of a unit file: key -> list of values (keys may repeat)."""
    settings, section = {}, None
    for line in read(path).splitlines():
        line = line.strip()
        if not line or line.startswith(("#", ";")):
            continue
        if line.startswith("["):
            section = line.strip("[]")
        elif section == "Service" and "=" in line:
            key, value = line.split("=", 1)
            settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def environment_file(path):
    """KEY=VALUE lines as systemd's EnvironmentFile= reads them."""
    env = {}
    for line in read(path, "").splitlines():
        line = line.strip()
        if line and not line.startswith(("#", ";")) and "=" in line:
            key, value = line.split("=", 1)
            env[key.strip()] = value.strip().strip('"')
    return env


def exec_start(settings):
    """The ExecStart command line with systemd's ${VAR} and $VAR expansion."""
    env = {}
    for entry in settings.get("EnvironmentFile", []):
        optional = entry.startswith("-")
        path = entry.lstrip("-")
        check(optional or os.path.exists(path), f"the unit's EnvironmentFile {path}")
        env.update(environment_file(path))
    eq(len(settings.get("ExecStart", [])), 1, "ExecStart lines of the unit")
    words = []
    for word in shlex.split(settings["ExecStart"][0]):
        whole = re.fullmatch(r"\$(\w+)", word)
        if whole:  # an unbraced variable alone is split into words
            words += env.get(whole.group(1), "").split()
        else:
            words.append(re.sub(r"\$\{(\w+)\}", lambda m: env.get(m.group(1), ""), word))
    return words


class Service:
    """The app started as its unit starts it, stopped as systemd stops it (SIGTERM)."""

    def __init__(self):
        settings = unit_settings(UNIT)
        self.command = exec_start(settings)
        check(self.command[0] == APP and os.access(APP, os.X_OK),
              "the unit starts the installed program", self.command)
        # StateDirectory= makes /var/lib/NAME before the start, with StateDirectoryMode=.
        names = settings.get("StateDirectory", [""])[0].split()
        eq(names, [os.path.basename(STATE)], "the unit's StateDirectory")
        check(f"state-directory={STATE}" in self.command, "the app keeps its state there",
              self.command)
        os.makedirs(STATE, exist_ok=True)
        os.chmod(STATE, int(settings.get("StateDirectoryMode", ["0755"])[0], 8))
        self.log = open(f"{WORK}/service.log", "a")
        self.proc = subprocess.Popen(self.command, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        wait_until(lambda: self.answers() or self.proc.poll() is not None, 20, "the service")
        check(self.proc.poll() is None, "the service keeps running", self.output())

    @staticmethod
    def answers():
        try:
            socket.create_connection(("localhost", PORT), timeout=1).close()
        except OSError:
            return False
        return os.path.exists(SOCKET)

    def output(self):
        self.log.flush()
        return read(self.log.name, "")[-3000:]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise Failure(f"the service did not end within 10 s of SIGTERM\n{self.output()}")
        self.log.close()


def listening_addresses(port):
    """Local addresses of the TCP sockets listening on port, from /proc/net/tcp{,6}."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for line in read(table, "").splitlines()[1:]:
            fields = line.split()
            address, _, hexport = fields[1].partition(":")
            if fields[3] == "0A" and int(hexport, 16) == port:  # 0A: LISTEN
                found.add(address)
    return found


LOOPBACK = {"0100007F", "00000000000000000000000001000000"}  # 127.0.0.1, ::1
ANY = {"00000000", "00000000000000000000000000000000"}


def print_through(sim, job, title, user=None):
    """submit to the service's printer (as root, or as user); the simulated printer must get
    the whole stream."""
    doc = f"{WORK}/{title}.ps"
    with open(doc, "w") as f:
        f.write("%!PS\n" + "".join(f"/Helvetica findfont 24 scalefont setfont 72 720 moveto "
                                   f"({title}, page {n}) show showpage\n" for n in (1, 2)))
    os.chmod(doc, 0o644)
    as_user = ["runuser", "-u", user, "--"] if user else []
    out = run(*as_user, APP, "submit", "-d", PRINTER, "-t", title, doc)
    check(re.search(r"\d", out), f"submit of {title} names a job", out)
    report = sim.wait_report(job, timeout=60)
    eq(report.get("pclxl", {}).get("pages"), 2, f"pages the printer received for {title}")
    eq(report.get("end"), "trailer", f"the end of {title}'s stream")


def set_share(value):
    text = read(DEFAULTS)
    check(re.search(r"^SHARE=", text, re.M), f"{DEFAULTS} holds the SHARE switch", text)
    with open(DEFAULTS, "w") as f:
        f.write(re.sub(r"^SHARE=.*$", f"SHARE={value}", text, flags=re.M))


# ---------------------------------------------------------------- the life

def lifecycle(args):
    times = []
    with stage("snapshot before install", times):
        before = snapshot()
        check(not dpkg_status(PACKAGE), "the app is not installed in the throwaway root")
        check(not dpkg_status(DRIVER).startswith("ii"), "nor the driver package")

    with stage("install with apt", times):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        out = subprocess.run(["apt-get", "install", "-y", "--no-install-recommends",
                              "-o", "Debug::NoLocking=1", os.path.abspath(args.deb)],
                             capture_output=True, text=True, env=env)
        check(out.returncode == 0, "apt-get install ./app.deb", out.stdout + out.stderr)
        check(dpkg_status(PACKAGE).startswith("ii"), "app installed", dpkg_status(PACKAGE))
        files = run("dpkg", "-L", PACKAGE).split()
        for path in (APP, UNIT, DEFAULTS):
            check(path in files, f"{path} is in the package", files)
        # Enabled at install, so it serves after the next boot (and dh starts it at once).
        check(os.path.islink(ENABLED) and os.path.realpath(ENABLED) == os.path.realpath(UNIT),
              "the service is enabled for multi-user.target", os.path.lexists(ENABLED))
        eq(environment_file(DEFAULTS).get("SHARE"), "no", "sharing after install")
        # systemd's own reading of the unit: unknown keys and bad values are only warned
        # about, so any word from it fails the test.
        if shutil.which("systemd-analyze"):
            out = subprocess.run(["systemd-analyze", "verify", UNIT], capture_output=True,
                                 text=True, timeout=60)
            check(out.returncode == 0 and not (out.stdout + out.stderr).strip(),
                  "systemd-analyze verify finds nothing in the unit", out.stdout + out.stderr)
        else:
            print("   systemd-analyze is not installed: the unit is not verified by systemd")
        check(not os.path.exists(STATE), "no state before the service first runs")

    sim = Simulator(args.sim, f"{WORK}/printer", SIM_PORT)
    try:
        with stage("service: add a printer and print", times):
            service = Service()
            try:
                addresses = listening_addresses(PORT)
                check(addresses and addresses <= LOOPBACK,
                      "by default the service listens on loopback only", addresses)
                check("SHARE=yes in /etc/default/zlp5520nw-printer-app" in service.output(),
                      "the journal tells the administrator how to share", service.output())
                run(APP, "add", "-d", PRINTER, "-v", f"zlpnet://127.0.0.1:{SIM_PORT}",
                    "-m", "zlp5520nw")
                print_through(sim, 1, "first-job")
            finally:
                service.stop()
            check(os.path.isfile(f"{STATE}/state"), "the printers are kept in the state folder")
            eq(stat.S_IMODE(os.stat(STATE).st_mode), 0o700, f"mode of {STATE}")

        with stage("the sharing switch", times):
            set_share("yes")
            service = Service()
            try:
                addresses = listening_addresses(PORT)
                check(addresses & ANY, "with SHARE=yes the service listens on every address",
                      addresses)
            finally:
                service.stop()

        with stage("upgrade over itself", times):
            state_before = read(f"{STATE}/state")
            newer, version = upgraded_deb(args.deb, WORK)
            run("dpkg", "-i", newer)
            eq(dpkg_status(PACKAGE), f"ii {version}+upgrade1", "upgraded")
            eq(environment_file(DEFAULTS).get("SHARE"), "yes", "the switch after the upgrade")
            check(os.path.islink(ENABLED), "still enabled after the upgrade")
            eq(read(f"{STATE}/state"), state_before, "the state after the upgrade")
            set_share("no")
            # The printer added before the upgrade prints without being added again, and a
            # user without rights reaches the system's service, not a private server.
            service = Service()
            try:
                print_through(sim, 2, "after-upgrade", user="nobody")
            finally:
                service.stop()

        with stage("remove", times):
            run("dpkg", "-r", PACKAGE)
            check(dpkg_status(PACKAGE).startswith("rc"), "removed, configuration kept",
                  dpkg_status(PACKAGE))
            for path in (APP, UNIT):
                check(not os.path.lexists(path), f"{path} is gone after remove")
            check(os.path.isfile(f"{STATE}/state"), "the printers are kept after remove")
            check(os.path.exists(DEFAULTS), f"{DEFAULTS} is kept until purge")
    finally:
        sim.stop()

    with stage("purge and compare", times):
        run("dpkg", "-P", PACKAGE)
        check(not dpkg_status(PACKAGE), "purged", dpkg_status(PACKAGE))
        for path in (STATE, DEFAULTS, ENABLED):
            check(not os.path.lexists(path), f"{path} is gone after purge")
        diff = describe_diff(before, snapshot())
        check(not diff, "nothing of the package is left after purge", "\n".join(diff[:40]))
    print("stage times: " + ", ".join(f"{name} {took:.1f} s" for name, took in times))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--deb", required=True)
    parser.add_argument("--sim", required=True, help="zlpsim-net")
    args = parser.parse_args()
    if not os.environ.get("ZLP_IN_THROWAWAY"):
        sys.exit("app_lifecycle.py installs and purges packages: run it in "
                 "packaging/throwaway-root.sh")
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    try:
        lifecycle(args)
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        log = f"{WORK}/service.log"
        if os.path.exists(log):
            print(f"--- tail of {log}\n{read(log, '')[-3000:]}", file=sys.stderr)
        return 1
    print("PASS app package lifecycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
