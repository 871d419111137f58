#!/usr/bin/env python3
"""The app where no avahi-daemon runs, and its systemd unit, inside tests/sandbox/sandbox.sh
BUILD (no system D-Bus there, so no avahi-daemon either):

    service_e2e.py --app PATH --unit SOURCE_UNIT devices|unit

devices: `devices` lists the printer the setup tool registered and exits 0 with a line about
DNS-SD; a running server survives the web page's "Add Printer" and the IPP device search,
which list DNS-SD printers too.
unit: systemd-analyze verify passes on the unit installed beside the installed program, and
its security exposure stays at the level reached.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
from cupsharness import check, eq, require_sandbox  # noqa: E402
import app_e2e  # noqa: E402
from app_e2e import App, PORT, WORK  # noqa: E402

NO_DNSSD = ("DNS-SD: not searched, avahi-daemon is not running; add a network printer by its "
            "address (zlpnet://ADDRESS).")
INSTALLED_APP = "/opt/varn/ZLP5520NW/bin/app/zlp5520nw-printer-app"
SERVICE = "zlp5520nw-printer-app.service"
# Reached with the unit's sandboxing; a change that loosens it shows here.
EXPOSURE_LIMIT = 3.0

FIND_DEVICES = """{
    NAME "find devices"
    OPERATION 0x402b
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri system-uri ipp://localhost:%d/ipp/system
    ATTR name requesting-user-name root
    ATTR keyword smi55357-device-type all
    STATUS successful-ok
}
""" % PORT


def scenario_devices(args):
    check(not os.path.exists("/run/dbus/system_bus_socket"), "no system D-Bus in the sandbox")
    os.makedirs("/opt/varn/ZLP5520NW/bin/net/config", exist_ok=True)
    app_e2e.write("/opt/varn/ZLP5520NW/bin/net/config/netIpInfo", "127.0.0.2")
    started = time.monotonic()
    result = subprocess.run([args.app, "devices"], capture_output=True, text=True, timeout=120)
    took = time.monotonic() - started
    print(f"devices: exit {result.returncode} after {took:.1f} s\n{result.stdout}{result.stderr}")
    eq(result.returncode, 0, "devices without avahi-daemon exits")
    check("zlpnet://127.0.0.2\n" in result.stdout, "the registered network printer is listed")
    check(NO_DNSSD in result.stdout.splitlines(), "the line about DNS-SD")
    verbose = subprocess.run([args.app, "devices", "-o", "verbose"], capture_output=True,
                             text=True, timeout=120)
    eq(verbose.returncode, 0, "devices -o verbose exits")
    check("MDL:ZLP5520NW" in verbose.stdout, "its device ID, for the driver's choice",
          verbose.stdout)

    # The server lists devices for its web page and for PAPPL-Find-Devices: it must live on.
    app = App(args.app, "zlpnet://127.0.0.2:9100")
    try:
        with urllib.request.urlopen(f"http://localhost:{PORT}/addprinter", timeout=60) as page:
            body = page.read().decode("utf-8", "replace")
        check("zlpnet://127.0.0.2" in body, "the web page offers the registered printer")
        test = app_e2e.write(f"{WORK}/find-devices.test", FIND_DEVICES)
        found = subprocess.run(["ipptool", "-tv", f"ipp://localhost:{PORT}/ipp/system", test],
                               capture_output=True, text=True, timeout=120)
        print(found.stdout[-1500:])
        check(app.proc.poll() is None, "the server lives after both listings", app.log()[-3000:])
        check(app.answers(), "and still answers")
    finally:
        app.stop()


def scenario_unit(args):
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        print("systemd-analyze is not installed: skipped")
        sys.exit(77)
    check(os.access(INSTALLED_APP, os.X_OK), "the program is installed where the unit runs it")
    folder = tempfile.mkdtemp(prefix="unit-")
    unit = os.path.join(folder, SERVICE)
    shutil.copy(args.unit, unit)
    verify = subprocess.run([analyze, "verify", unit], capture_output=True, text=True,
                            timeout=60)
    print(f"systemd-analyze verify: exit {verify.returncode}\n{verify.stdout}{verify.stderr}")
    eq(verify.returncode, 0, "systemd-analyze verify")
    eq((verify.stdout + verify.stderr).strip(), "", "nothing reported by verify")
    security = subprocess.run([analyze, "security", "--offline=true", "--no-pager", unit],
                              capture_output=True, text=True, timeout=60)
    match = re.search(r"Overall exposure level for \S+: ([0-9.]+)", security.stdout)
    check(match, "systemd-analyze security gives a level", security.stdout + security.stderr)
    level = float(match.group(1))
    print(f"systemd-analyze security --offline=true: exposure {level}")
    check(level <= EXPOSURE_LIMIT, f"exposure {level} at most {EXPOSURE_LIMIT}",
          security.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--unit")
    parser.add_argument("scenario", choices=("devices", "unit"))
    args = parser.parse_args()
    require_sandbox("service_e2e.py")
    os.makedirs(WORK, exist_ok=True)
    {"devices": scenario_devices, "unit": scenario_unit}[args.scenario](args)
    print("ok")


if __name__ == "__main__":
    main()
