#!/usr/bin/env python3
"""The Debian package's life on a machine: install, print, upgrade, remove, purge.

Runs as root inside packaging/throwaway-root.sh --net (an overlay of this machine with a
tmpfs on top, private loopback), so installing and purging touch nothing real:

    lifecycle.py --deb FILE.deb --sim PATH/zlpsim-net --sim-usb PATH/zlpsim-usb [--programs PATH,...]

--programs lists the /opt programs this build makes; each must be in the package where
its menu entry points. Prints the time of every stage.
"""
import argparse
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from cupsharness import (NET, USB, PORTS, Failure, Simulator, add_queue, check, eq, lp,  # noqa: E402
                         print_log_path, read, run, wait_job, wait_until)

PACKAGE = "printer-driver-zlp5520nw"
ZLP = "/opt/varn/ZLP5520NW"
FILTERS = ["/usr/lib/cups/filter/pstopxl_5520nw", "/usr/lib/cups/filter/pstopxl_5520nw_net"]
PPDS = ["/usr/share/cups/model/ZLP5520NW.ppd", "/usr/share/cups/model/ZLP5520NW-net.ppd"]
UDEV_RULE = "/usr/lib/udev/rules.d/70-zlp5520nw.rules"
ENTRIES = ["usbmonitor", "netmonitor", "ipsetup", "guide"]
AUTOSTART = ["usbmonitor", "netmonitor"]
WORK = "/var/tmp/package-test"

# Folders where installing any package, or running a cupsd, leaves state of dpkg, apt,
# CUPS and the logs. Everything else must be as before once the package is purged.
STATE_PREFIXES = ("/var/lib/dpkg/", "/var/lib/apt/", "/var/cache/apt/", "/var/cache/debconf/",
                  "/var/log/", "/var/cache/cups/", "/var/spool/cups/", "/etc/cups/ppd/",
                  "/etc/cups/printers.conf", "/etc/cups/subscriptions.conf",
                  "/etc/cups/classes.conf", "/var/cache/ldconfig/")
TREE_ROOTS = ["/etc", "/opt", "/usr", "/var", "/srv", "/home"]


# ---------------------------------------------------------------- helpers

def stage(name, times):
    """Context manager that times one stage."""
    class Timer:
        def __enter__(self):
            self.start = time.monotonic()
            print(f"-- {name}", flush=True)

        def __exit__(self, kind, *_):
            took = time.monotonic() - self.start
            times.append((name, took))
            print(f"   {name}: {took:.1f} s{' (failed)' if kind else ''}", flush=True)
    return Timer()


def snapshot():
    """path -> "type mode uid gid" for the machine's file tree, state folders left out."""
    out = subprocess.run(["find", *TREE_ROOTS, "-xdev", "-printf", r"%p\t%y %m %U %G\n"],
                         capture_output=True, text=True, errors="surrogateescape")
    tree = {}
    for line in out.stdout.splitlines():
        path, _, meta = line.partition("\t")
        if not (path + "/").startswith(STATE_PREFIXES) and not path.startswith(STATE_PREFIXES):
            tree[path] = meta
    check(len(tree) > 1000, "the file tree could be listed", out.stderr[-2000:])
    return tree


def describe_diff(before, after):
    lines = []
    for path in sorted(set(before) | set(after)):
        if before.get(path) != after.get(path):
            lines.append(f"{path}: {before.get(path)} -> {after.get(path)}")
    return lines


def owner(path):
    st = os.stat(path)
    return (run("id", "-nu", str(st.st_uid)).strip() if st.st_uid else "root",
            run("getent", "group", str(st.st_gid)).split(":")[0], stat.S_IMODE(st.st_mode))


def check_rights(path, user, group, mode):
    eq(owner(path), (user, group, mode), f"owner, group and mode of {path}")


def dpkg_status(package=PACKAGE):
    out = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Abbrev}${Version}", package],
                         capture_output=True, text=True)
    return out.stdout.strip() if out.returncode == 0 else ""


def desktop_keys(path):
    keys = {}
    for line in read(path, "").splitlines():
        if "=" in line and not line.startswith("#"):
            k, v = line.split("=", 1)
            keys[k.strip()] = v.strip()
    return keys


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def sample_ps(path, title):
    lines = ["%!PS-Adobe-3.0", f"%%Title: ({title})", "%%Pages: 2", "%%EndComments"]
    for n in (1, 2):
        lines += [f"%%Page: {n} {n}", "/Helvetica findfont 24 scalefont setfont",
                  f"72 720 moveto (Package test, page {n}) show", "showpage"]
    lines += ["%%EOF"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


# ---------------------------------------------------------------- checks of each state

def check_installed(programs):
    for f in FILTERS:
        check_rights(f, "root", "root", 0o755)
    for p in PPDS:
        check_rights(p, "root", "root", 0o644)
        ids = re.findall(r'^\*1284DeviceID: "([^"]*)"', read(p), re.M)
        eq(len(ids), 1, f"*1284DeviceID lines in {p}")
    check_rights(f"{ZLP}/bin/usb/config", "lp", "lp", 0o755)
    check_rights(f"{ZLP}/bin/usb/print_log", "lp", "lpadmin", 0o640)
    check_rights(f"{ZLP}/bin/net/config", "lp", "lpadmin", 0o2775)
    check_rights(f"{ZLP}/bin/net/config/netIpInfo", "root", "lpadmin", 0o664)
    check_rights(f"{ZLP}/bin/net/print_log", "lp", "lpadmin", 0o640)
    check(os.path.realpath(f"{ZLP}/bin/usb/zlp5520nw/bin/gs") == os.path.realpath("/usr/bin/gs"),
          "the rasterizer link leads to Debian's Ghostscript")
    rule = read(UDEV_RULE, "")
    for needle in ('ATTR{idVendor}=="0efd"', 'ATTR{idProduct}=="0091"', 'TAG+="uaccess"'):
        check(needle in rule, f"the udev rule holds {needle}", rule)
    for name in ENTRIES:
        keys = desktop_keys(f"/usr/share/applications/zlp5520nw-{name}.desktop")
        check(keys.get("Icon") == "zlp5520nw" and keys.get("TryExec", "").startswith(ZLP),
              f"menu entry of {name}", keys)
        check(keys["Exec"].split()[0] == keys["TryExec"] or name == "guide",
              f"menu entry of {name} runs what it tries", keys)
    for name in AUTOSTART:
        keys = desktop_keys(f"/etc/xdg/autostart/zlp5520nw-{name}.desktop")
        check(keys.get("TryExec", "").startswith(ZLP), f"autostart entry of {name}", keys)
        if os.path.exists(keys["TryExec"]):
            check(os.access(keys["Exec"].split()[0], os.X_OK),
                  f"autostart entry of {name} runs an installed program", keys)
    # Every program this build makes is where its menu entry looks for it.
    entry_of = {"usbmonitor": "usbmonitor", "netmonitor": "netmonitor", "ipsetup": "ipsetup",
                "pdfReader": "guide"}
    for program in programs:
        check(os.access(program, os.X_OK), f"{program} is installed and executable")
        entry = entry_of.get(os.path.basename(program))
        if entry:
            keys = desktop_keys(f"/usr/share/applications/zlp5520nw-{entry}.desktop")
            eq(keys.get("TryExec"), program, f"the menu entry {entry} looks for")


def print_job(sim, queue, title):
    log_before = read(print_log_path(queue), "")
    job = lp(queue, sample_ps(f"{WORK}/{title}.ps", title), title=title)
    wait_job(queue, job, timeout=90)
    report = sim.wait_report(job_count(sim))
    eq(report["pclxl"]["pages"], 2, f"pages the printer received for {title}")
    log = read(print_log_path(queue), "")
    check(log.startswith(log_before) and f"文件名：{title}\n" in log[len(log_before):],
          f"the print log gained the block of {title}", log[len(log_before):])
    return job


_jobs_seen = {}


def job_count(sim):
    """The simulator numbers jobs per run from 1."""
    _jobs_seen[sim] = _jobs_seen.get(sim, 0) + 1
    return _jobs_seen[sim]


def usb_backend_device_id(sim_usb):
    """The device ID in the listing of CUPS's usb backend, run on the simulated USB bus."""
    script = f"{WORK}/usb-printer.txt"
    with open(script, "w") as f:
        f.write('on "CheckStatus?"\n  reply "CODE=10001"\n')
    out = subprocess.run([sim_usb, "--script", script, "--", "/usr/lib/cups/backend/usb"],
                         capture_output=True, text=True, timeout=60)
    match = re.search(r'^direct (usb://VARN/ZLP5520NW\S*) "[^"]*" "[^"]*" "([^"]*)"',
                      out.stdout, re.M)
    check(match, "CUPS's usb backend lists the printer", out.stdout + out.stderr)
    return match.group(2)


def as_user(user, *cmd):
    return subprocess.run(["runuser", "-u", user, "--", *cmd], capture_output=True, text=True,
                          timeout=60)


def network_printer_rights(args):
    """What the setup tool does as a desktop user, by a member of lpadmin and by another
    user; then the network filter (lp) writes beside the address, and the login start of
    the network monitor sees the address."""
    address = f"{ZLP}/bin/net/config/netIpInfo"
    register = ["/usr/sbin/lpadmin", "-p", NET, "-m", "ZLP5520NW-net.ppd", "-v",
                f"socket://127.0.0.1:{PORTS[NET]}/?snmp=false", "-E"]
    write = ["sh", "-c", f"printf 127.0.0.1 >{address}"]  # opened write-only, truncating
    # useradd leaves backups of the id files; they are the test's, not the package's.
    backups = [f for f in ("/etc/subuid-", "/etc/subgid-", "/etc/passwd-", "/etc/group-",
                           "/etc/shadow-", "/etc/gshadow-") if not os.path.exists(f)]
    run("useradd", "--no-create-home", "--groups", "lpadmin", "zlpadmin")
    run("useradd", "--no-create-home", "--groups", "lpadmin", "zlpadmin2")
    run("useradd", "--no-create-home", "zlpuser")
    try:
        out = as_user("zlpuser", *write)
        check(out.returncode != 0 and "Permission denied" in out.stderr,
              "a user outside lpadmin cannot write the address", out)
        out = as_user("zlpuser", *register)
        check(out.returncode != 0, "a user outside lpadmin cannot add the queue", out)
        # The print log names every user's jobs: printer administrators read it, others not.
        log = print_log_path(USB)
        out = as_user("zlpuser", "cat", log)
        check(out.returncode != 0 and "Permission denied" in out.stderr,
              "a user outside lpadmin cannot read the print log", out)
        out = as_user("zlpadmin", "cat", log)
        check(out.returncode == 0 and "文件名：before-upgrade" in out.stdout,
              "a member of lpadmin reads the print log", out)
        eq(read(address), "", "the address after the refused user")

        out = as_user("zlpadmin", *write)
        check(out.returncode == 0, "a member of lpadmin writes the address", out)
        out = as_user("zlpadmin", *register)
        check(out.returncode == 0, "a member of lpadmin adds the network queue", out)
        eq(read(address), "127.0.0.1", "the address file")
        check_rights(address, "root", "lpadmin", 0o664)  # rewritten in place, rights kept
        # The setup tool replaces the file by a new one (temporary file, then rename): one
        # member's file can be replaced by the next member.
        for user, ip in (("zlpadmin", "127.0.0.2"), ("zlpadmin2", "127.0.0.1")):
            out = as_user(user, "sh", "-c", f"umask 022; printf {ip} >{address}.new && "
                          f"mv -f {address}.new {address}")
            check(out.returncode == 0, f"{user} replaces the address file", out)
            eq(read(address), ip, f"the address file after {user}")

        # The network filter, run by CUPS as lp, writes its job settings beside it.
        sim = Simulator(args.sim, f"{WORK}/netprinter", PORTS[NET])
        try:
            print_job(sim, NET, "network-job")
        finally:
            sim.stop()
        info = f"{ZLP}/bin/net/config/printerInfo"
        eq(owner(info)[0], "lp", f"owner of {info}")
        # With an address recorded, the login start runs the network monitor (a stand-in
        # that says so, in place of the real one for this check).
        monitor = f"{ZLP}/bin/net/netmonitor"
        real = f"{WORK}/netmonitor.real"
        if os.path.exists(monitor):
            shutil.move(monitor, real)
        try:
            with open(monitor, "w") as f:
                f.write("#!/bin/sh\necho started >/tmp/zlp-netmonitor-ran\n")
            os.chmod(monitor, 0o755)
            out = as_user("zlpadmin", f"{ZLP}/bin/net/netmonitor-autostart")
            check(os.path.exists("/tmp/zlp-netmonitor-ran"),
                  "the login start runs the network monitor once an address is recorded", out)
        finally:
            os.remove(monitor)
            if os.path.exists(real):
                shutil.move(real, monitor)
        run("lpadmin", "-x", NET)
    finally:
        run("userdel", "zlpadmin", ok=False)
        run("userdel", "zlpadmin2", ok=False)
        run("userdel", "zlpuser", ok=False)
        for f in backups:
            if os.path.exists(f):
                os.remove(f)


ADDRESS = f"{ZLP}/bin/net/config/netIpInfo"


# On the file system of /opt, so that a hard link can reach them; removed again before purge.
VICTIMS = "/opt/package-test-victims"


def victim(name):
    """A file of the test's own that a planted link points at: (path, what must stay)."""
    os.makedirs(VICTIMS, exist_ok=True)
    path = f"{VICTIMS}/{name}"
    with open(path, "w") as f:
        f.write("the test's own file\n")
    os.chmod(path, 0o600)
    st = os.stat(path)
    return path, (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode), 1, read(path))


def check_untouched(planted):
    path, before = planted
    st = os.stat(path)
    eq((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode), st.st_nlink, read(path)), before,
       f"{path}, the planted link's target, after postinst")
    st = os.lstat(ADDRESS)
    check(stat.S_ISREG(st.st_mode) and st.st_nlink == 1, f"{ADDRESS} is a plain file again")
    check_rights(ADDRESS, "root", "lpadmin", 0o664)


def plant_symlink_as_lp():
    """lp owns bin/net/config: it replaces the address file by a symlink."""
    planted = victim("symlink-target")
    out = as_user("lp", "ln", "-sfn", planted[0], ADDRESS)
    check(out.returncode == 0 and os.path.islink(ADDRESS), "lp plants a symlink", out)
    return planted


def planted_links_before_postinst():
    """A hard link (as lp could where fs.protected_hardlinks is 0, or with a file it may
    read and write; planted by root here) and a symlink, then the installed postinst."""
    postinst = f"/var/lib/dpkg/info/{PACKAGE}.postinst"
    version = dpkg_status()[3:]
    hard = victim("hardlink-target")
    os.remove(ADDRESS)
    os.link(hard[0], ADDRESS)
    run(postinst, "configure", version)
    check_untouched(hard)
    soft = plant_symlink_as_lp()
    run(postinst, "configure", version)
    check_untouched(soft)


def start_cupsd():
    for name in ("printers.conf", "classes.conf", "subscriptions.conf"):
        for suffix in ("", ".O"):
            if os.path.exists(f"/etc/cups/{name}{suffix}"):
                os.remove(f"/etc/cups/{name}{suffix}")
    os.makedirs("/run/cups", exist_ok=True)
    proc = subprocess.Popen(["cupsd", "-f"])
    wait_until(lambda: subprocess.run(["lpstat", "-r"], capture_output=True).returncode == 0,
               10, "cupsd")
    return proc


def stop(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def upgraded_deb(deb, out):
    """The same package under a higher version, so dpkg runs a true upgrade."""
    tree = f"{out}/repack"
    shutil.rmtree(tree, ignore_errors=True)
    run("dpkg-deb", "-R", deb, tree)
    control = f"{tree}/DEBIAN/control"
    text = read(control)
    version = re.search(r"^Version: (.*)$", text, re.M).group(1)
    package = re.search(r"^Package: (.*)$", text, re.M).group(1)
    with open(control, "w") as f:
        f.write(re.sub(r"^Version: .*$", f"Version: {version}+upgrade1", text, flags=re.M))
    target = f"{out}/{package}_{version}+upgrade1.deb"
    run("dpkg-deb", "--root-owner-group", "-b", tree, target)
    return target, version


# ---------------------------------------------------------------- the life

def lifecycle(args):
    times = []
    programs = [p for p in (args.programs or "").split(",") if p]
    # cupsd settles the rights of its own folders when it first starts: start it before
    # the snapshot, so that the comparison sees only what the package did.
    os.makedirs(f"{WORK}/printer", exist_ok=True)
    cupsd = start_cupsd()
    try:
        lifecycle_with_cupsd(args, programs, times)
    finally:
        stop(cupsd)
    print("stage times: " + ", ".join(f"{name} {took:.1f} s" for name, took in times))


def lifecycle_with_cupsd(args, programs, times):
    with stage("snapshot before install", times):
        before = snapshot()
        check(not dpkg_status(), "the package is not installed in the throwaway root", dpkg_status())

    with stage("install with apt", times):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        out = subprocess.run(["apt-get", "install", "-y", "--no-install-recommends",
                              "-o", "Debug::NoLocking=1", os.path.abspath(args.deb)],
                             capture_output=True, text=True, env=env)
        check(out.returncode == 0, "apt-get install ./package.deb", out.stdout + out.stderr)
        check(dpkg_status().startswith("ii"), "package installed", dpkg_status())
        check_installed(programs)
        installed_files = run("dpkg", "-L", PACKAGE).split()

    sim = Simulator(args.sim, f"{WORK}/printer", PORTS[USB])
    try:
        with stage("print through cupsd with the installed PPD", times):
            # CUPS's usb backend reads the device ID from the (simulated) printer, and the
            # print system offers our PPDs for it.
            device_id = usb_backend_device_id(args.sim_usb)
            models = run("lpinfo", "--device-id", device_id, "-m")
            for ppd in PPDS:
                name = os.path.basename(ppd)
                check(re.search(rf"^{re.escape(name)} ", models, re.M),
                      f"lpinfo offers {name} for {device_id}", models)
            add_queue(USB, PORTS[USB], ppd="ZLP5520NW.ppd")
            print_job(sim, USB, "before-upgrade")
            log_after_first = read(print_log_path(USB))
            eq(owner(print_log_path(USB)), ("lp", "lpadmin", 0o640), "print log rights after a job")

        with stage("desktop users register the network printer", times):
            network_printer_rights(args)

        with stage("links planted before postinst", times):
            planted_links_before_postinst()

        with stage("upgrade over itself", times):
            newer, version = upgraded_deb(args.deb, WORK)
            victim = plant_symlink_as_lp()
            run("dpkg", "-i", newer)
            check_untouched(victim)
            shutil.rmtree(VICTIMS)
            check(dpkg_status() == f"ii {version}+upgrade1", "upgraded", dpkg_status())
            eq(read(print_log_path(USB)), log_after_first, "the print log after the upgrade")
            check_installed(programs)
            print_job(sim, USB, "after-upgrade")
            log_after_upgrade = read(print_log_path(USB))
            check("before-upgrade" in log_after_upgrade, "the first job is still in the log")

        with stage("remove", times):
            run("lpadmin", "-x", USB)
            run("dpkg", "-r", PACKAGE)
            check(dpkg_status().startswith("rc"), "removed, configuration kept", dpkg_status())
            for path in FILTERS + PPDS + [UDEV_RULE] + [
                    f"/usr/share/applications/zlp5520nw-{n}.desktop" for n in ENTRIES]:
                check(not os.path.lexists(path), f"{path} is gone after remove")
            eq(read(print_log_path(USB)), log_after_upgrade, "the print log after remove")
            for path in (f"{ZLP}/bin/usb/config/printerInfo", f"{ZLP}/bin/net/config",
                         f"{ZLP}/bin/net/print_log"):
                check(os.path.exists(path), f"{path} is kept after remove")
            for name in AUTOSTART:  # conffiles stay until purge
                check(os.path.exists(f"/etc/xdg/autostart/zlp5520nw-{name}.desktop"),
                      f"autostart entry of {name} kept after remove")
    finally:
        sim.stop()

    with stage("purge and compare", times):
        copy = "/var/tmp/qzt.prn"  # the USB filter's copy of the last job, on the tmpfs
        check(os.path.exists(copy) and owner(copy)[0] == "lp", f"the USB job left {copy}")
        # A filter killed mid-job leaves its unfinished copy under the temporary name; files
        # of other users under such names, and links, are not the package's to delete.
        leftover, foreign, link = (f"{copy}.{tail}" for tail in ("k1LLed", "n0B0dy", "L1nk00"))
        for path, user in ((leftover, "lp"), (foreign, "nobody")):
            with open(path, "w") as f:
                f.write("%-12345X@PJL\n")
            shutil.chown(path, user)
            os.chmod(path, 0o600)
        victim = f"{WORK}/lp-victim"
        with open(victim, "w") as f:
            f.write("keep me\n")
        shutil.chown(victim, "lp")
        os.symlink(victim, link)
        run("dpkg", "-P", PACKAGE)
        check(not os.path.exists(copy), f"{copy} is gone after purge")
        check(not os.path.lexists(leftover), f"{leftover} of a killed filter is gone after purge")
        check(os.path.exists(foreign) and owner(foreign)[0] == "nobody",
              f"{foreign} of another user is kept")
        check(os.path.islink(link) and read(victim) == "keep me\n",
              f"the link {link} and its target are left alone")
        for path in (foreign, link):
            os.unlink(path)
        check(not dpkg_status(), "purged", dpkg_status())
        after = snapshot()
        diff = describe_diff(before, after)
        check(not diff, "nothing of the package is left after purge", "\n".join(diff[:40]))
        left = [p for p in installed_files if os.path.lexists(p) and p.startswith(
            ("/opt/varn", "/usr/lib/cups/filter/pstopxl", "/usr/share/cups/model/ZLP"))]
        check(not left, "no installed file remains", left)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--deb", required=True)
    parser.add_argument("--sim", required=True, help="zlpsim-net")
    parser.add_argument("--sim-usb", required=True, help="zlpsim-usb")
    parser.add_argument("--programs", default="")
    args = parser.parse_args()
    if not os.environ.get("ZLP_IN_THROWAWAY"):
        sys.exit("lifecycle.py installs and purges packages: run it in packaging/throwaway-root.sh")
    os.environ["ZLP_IN_SANDBOX"] = "1"
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    try:
        lifecycle(args)
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        for log in ("/var/log/cups/error_log",):
            if os.path.exists(log):
                print(f"--- tail of {log}", file=sys.stderr)
                print("".join(read(log, "").splitlines(True)[-30:]), file=sys.stderr)
        return 1
    print("PASS package lifecycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
