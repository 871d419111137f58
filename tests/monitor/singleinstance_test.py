#!/usr/bin/env python3
"""One monitor per executable and user, with real processes: a second copy leaves at once
with status 0 while the first runs on; the other build, or the same program under another
path, runs beside it; a copy killed with SIGKILL blocks nothing.

usage: singleinstance_test.py USBMONITOR NETMONITOR"""
import fcntl
import glob
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

USB, NET = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
work = tempfile.mkdtemp(prefix="monitor-single-")
runtime = os.path.join(work, "runtime")
os.mkdir(runtime, 0o700)
env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
           TMPDIR=work)
started = []
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def start(program):
    p = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    started.append(p)
    return p


def held_locks():
    """Lock files of the monitors whose lock some process holds."""
    held = set()
    for path in glob.glob(os.path.join(runtime, "varn-monitor-*.lock")):
        with open(path, "a") as f:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                fcntl.flock(f, fcntl.LOCK_UN)
            except BlockingIOError:
                held.add(path)
    return held


def wait_for_new_lock(before, process, limit=10.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return None
        new = held_locks() - before
        if new:
            return new.pop()
        time.sleep(0.05)
    return None


def exits_within(process, seconds):
    try:
        t0 = time.monotonic()
        rc = process.wait(timeout=seconds)
        return rc, time.monotonic() - t0
    except subprocess.TimeoutExpired:
        return None, seconds


try:
    first = start(USB)
    usb_lock = wait_for_new_lock(set(), first)
    check(usb_lock is not None, "first usbmonitor takes its lock")

    second = start(USB)
    rc, took = exits_within(second, 5)
    check(rc == 0, "second usbmonitor exits with 0 (rc=%s)" % rc)
    check(took < 3, "second usbmonitor leaves at once (%.2f s)" % took)
    check(first.poll() is None, "first usbmonitor keeps running")

    link = os.path.join(work, "usbmonitor-link")
    os.symlink(USB, link)
    rc, _ = exits_within(start(link), 5)
    check(rc == 0, "a symlink to the same program is the same program (rc=%s)" % rc)

    net = start(NET)
    net_lock = wait_for_new_lock({usb_lock}, net)
    check(net_lock is not None and net_lock != usb_lock, "netmonitor runs beside usbmonitor")
    time.sleep(0.5)
    check(net.poll() is None and first.poll() is None, "both still run")

    other_dir = os.path.join(work, "other")
    os.mkdir(other_dir)
    other_path = os.path.join(other_dir, "usbmonitor")
    shutil.copy(USB, other_path)
    other = start(other_path)
    other_lock = wait_for_new_lock({usb_lock, net_lock}, other)
    check(other_lock is not None, "the same program under another path runs too")

    first.send_signal(signal.SIGKILL)
    first.wait()
    again = start(USB)
    relock = wait_for_new_lock(held_locks() - {usb_lock}, again)
    check(relock == usb_lock, "after SIGKILL of the first, a new usbmonitor takes the lock")
    time.sleep(0.5)
    check(again.poll() is None, "and keeps running")
    again.kill()
    again.wait()

    # Someone else's file, or a link, under the lock's name decides nothing: the monitor
    # runs rather than staying away for good.
    lock_path = os.path.join(runtime, "varn-monitor-%s-%d.lock" % (
        hashlib.sha1(os.path.realpath(USB).encode()).hexdigest()[:16], os.getuid()))
    check(lock_path == usb_lock, "the lock is named after the program's path and the user")
    os.unlink(lock_path)
    os.symlink(os.path.join(work, "elsewhere"), lock_path)
    planted = start(USB)
    time.sleep(1.0)
    check(planted.poll() is None, "a link in place of the lock does not stop the monitor")
    check(not os.path.exists(os.path.join(work, "elsewhere")), "and is not followed")
    planted.kill()
    planted.wait()
    if os.getuid() == 0:
        os.unlink(lock_path)
        holder = open(lock_path, "w")
        os.chown(lock_path, 65534, 65534)
        os.chmod(lock_path, 0o666)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        planted = start(USB)
        time.sleep(1.0)
        check(planted.poll() is None, "a locked file of another user does not stop the monitor")
        holder.close()
finally:
    for p in started:
        if p.poll() is None:
            p.kill()
            p.wait()
    shutil.rmtree(work, ignore_errors=True)

sys.exit(1 if failures else 0)
