#!/usr/bin/python3
"""Both installed monitors on real desktop components, as a login meets them: Debian's
status-notifier-watcher with a tray host that registers late, the XFCE panel with its tray
started after the monitors, no tray at all beside dunst, and dunst starting after the
monitors. Every Notify call on the session bus is recorded (dbus-monitor); dunst's history
shows what reached the user.

Run inside sandbox.sh (the suite installed under /opt) and desktop-session.sh with
DESKTOP_STUB=none (no stand-in: this test starts the real components itself):
  real_desktop_test.py --sim PATH/TO/zlpsim-usb --script READY_PRINTER_SCRIPT

Without a simulated printer usbmonitor finds no USB printer and netmonitor no address: each
reports its connection error (an error state) at its first poll, 5 s and 3 s after start.
"""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402

USB = "/opt/varn/ZLP5520NW/bin/usb/usbmonitor"
NET = "/opt/varn/ZLP5520NW/bin/net/netmonitor"
USB_TITLE = "ZLP5520NW USB状态监控"
NET_TITLE = "ZLP5520NW 网络状态监控"
USB_ERROR = "USB连接错误！\n请检查打印机和电脑的USB连接状态"
NET_ERROR = "网络连接错误！\n请检查打印机和电脑的网线连接状态"
XFCONFD = (glob.glob("/usr/lib/*/xfce4/xfconf/xfconfd") or ["xfconfd"])[0]
ARGS = None


def scaled(seconds):
    """A bound on how soon our programs answer, widened for an emulated build (the arm64
    suite runs them under qemu, several times slower); the desktop's own components and the
    moments a case starts them at stay as they are."""
    return seconds * desktop.TIME_SCALE

PANEL_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=8;x=640;y=1010"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
"""


def parse_notify_calls(text):
    """The Notify calls in dbus-monitor's output: dicts with app_name, app_icon, summary,
    body, actions, urgency, expire_timeout."""
    calls = []
    # A string's continuation lines start at the left margin too: split at messages only.
    for block in re.split(r"\n(?=(?:method call|method return|signal|error) time=)", text):
        if "member=Notify" not in block or not block.startswith("method call"):
            continue
        values = re.findall(r'^\s*(?:string "(.*?)"|(?:u?int32|byte) (-?\d+))$', block,
                            re.M | re.S)
        # app_name, replaces_id, app_icon, summary, body, actions..., hints..., timeout
        strings = [s for s, n in values]
        actions = re.search(r"array \[(.*?)\]", block, re.S)
        urgency = re.search(r'string "urgency"\s*\)?\s*variant\s+\S+ (\d+)', block)
        calls.append({"app_name": strings[0], "app_icon": strings[2], "summary": strings[3],
                      "body": strings[4],
                      "actions": re.findall(r'string "(.*?)"', actions.group(1)) if actions
                      else [],
                      "urgency": int(urgency.group(1)) if urgency else None,
                      "expire_timeout": int(values[-1][1])})
    return calls


class Desktop:
    """The components of one case, stopped again at its end."""

    def __init__(self, name):
        self.dir = os.path.join(os.environ["DESKTOP_OUTDIR"], name)
        os.makedirs(self.dir, exist_ok=True)
        self.procs = []
        self.monitor = self.start("dbus-monitor", ["dbus-monitor", "--session",
                                  "type='method_call',interface='org.freedesktop.Notifications'"])
        desktop.wait_until("dbus-monitor", lambda: os.path.getsize(self.log("dbus-monitor")), 5)

    def log(self, name):
        return os.path.join(self.dir, name + ".log")

    def start(self, name, argv, env=None):
        proc = subprocess.Popen(argv, stdout=open(self.log(name), "w"), stderr=subprocess.STDOUT,
                                env=env)
        self.procs.append(proc)
        return proc

    def notices(self, app_name=None):
        with open(self.log("dbus-monitor"), encoding="utf-8", errors="replace") as f:
            calls = parse_notify_calls(f.read())
        return [c for c in calls if app_name is None or c["app_name"] == app_name]

    def wait_notice(self, app_name, body, timeout):
        return desktop.wait_until("notice %r of %s" % (body, app_name), lambda: next(
            (c for c in self.notices(app_name) if c["body"] == body), None), timeout, 0.2)

    def dunst(self):
        self.start("dunst", ["dunst", "-config", "/dev/null"])
        desktop.wait_until("dunst", lambda: subprocess.run(
            ["dunstctl", "is-paused"], capture_output=True).returncode == 0, 10)

    def backtraces(self, *procs):
        """Where each program is now (gdb), into the case's folder, for a failure's record."""
        for proc in procs:
            if proc.poll() is None:
                with open(os.path.join(self.dir, "backtrace-%d.txt" % proc.pid), "w") as f:
                    subprocess.run(["gdb", "-p", str(proc.pid), "-batch", "-ex",
                                    "thread apply all bt"], stdout=f, stderr=subprocess.STDOUT,
                                   timeout=60)

    def stop(self):
        for proc in reversed(self.procs):
            desktop.stop_program(proc, timeout=5)


def dunst_history():
    """(appname, summary, body) of every notice dunst has shown, once all are closed."""
    subprocess.run(["dunstctl", "close-all"], check=True, timeout=10)
    time.sleep(0.3)
    out = subprocess.run(["dunstctl", "history"], capture_output=True, text=True, check=True,
                         timeout=10).stdout
    return [(n["appname"]["data"], n["summary"]["data"], n["body"]["data"])
            for n in json.loads(out)["data"][0]]


def registered_items():
    out = subprocess.run(["dbus-send", "--session", "--print-reply",
                          "--dest=org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                          "org.freedesktop.DBus.Properties.Get",
                          "string:org.kde.StatusNotifierWatcher",
                          "string:RegisteredStatusNotifierItems"],
                         capture_output=True, text=True, timeout=10).stdout
    return re.findall(r'string "org\.kde\.StatusNotifierItem-(\d+)-\d+', out)


def mapped(title):
    w = desktop.x_window(title)
    return w if w and w["mapped"] else None


class RealDesktops(unittest.TestCase):

    def setUp(self):
        self.desk = Desktop(self.id().split(".")[-1])
        self.addCleanup(self.desk.stop)

    def monitors(self, usb_argv=None):
        started = time.monotonic()
        usb = self.desk.start("usbmonitor", usb_argv or [USB])
        net = self.desk.start("netmonitor", [NET])
        return started, usb, net

    def start_watcher(self):
        """Debian's status-notifier-watcher, answering on the bus (no host registered yet)."""
        self.desk.start("watcher", ["status-notifier-watcher"])
        desktop.wait_until("the watcher", lambda: subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher",
             "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
             "string:org.kde.StatusNotifierWatcher", "string:IsStatusNotifierHostRegistered"],
            capture_output=True).returncode == 0, 10)

    def test_status_notifier_host_two_seconds_late(self):
        self.start_watcher()
        self.desk.dunst()
        started, usb, net = self.monitors()
        # The windows and the start-up notices do not wait for a tray.
        desktop.wait_until("both windows up", lambda: mapped(USB_TITLE) and mapped(NET_TITLE),
                           scaled(3))
        self.assertLess(time.monotonic() - started, scaled(3))
        self.desk.wait_notice("usbmonitor", "ZLP5520NW状态监控启动", scaled(3))
        self.desk.wait_notice("netmonitor", "网络状态监视器正在连接打印机，请稍后", scaled(3))
        self.assertEqual(registered_items(), [])

        time.sleep(max(0, started + 2 - time.monotonic()))
        host = self.desk.start("host", ["/usr/bin/python3", "-W", "ignore", __file__,
                                        "--register-host"])
        desktop.wait_until("the host", lambda: "registered" in open(self.desk.log("host")).read(),
                           5)
        items = desktop.wait_until("both tray items", lambda: (
            lambda ids: ids if {str(usb.pid), str(net.pid)} <= set(ids) else None)(
            registered_items()), scaled(5))
        self.assertEqual(len(items), 2, items)

        # The error states after the first polls go out through the tray items, with the
        # error icon and critical urgency, for the durations of each build.
        usb_error = self.desk.wait_notice("usbmonitor", USB_ERROR, scaled(10))
        self.assertEqual((usb_error["app_icon"], usb_error["urgency"],
                          usb_error["expire_timeout"]), ("dialog-error", 2, 120000), usb_error)
        net_error = self.desk.wait_notice("netmonitor", NET_ERROR, scaled(10))
        self.assertEqual((net_error["app_icon"], net_error["urgency"],
                          net_error["expire_timeout"]), ("dialog-error", 2, 120000), net_error)
        shown = dunst_history()
        self.assertIn(("usbmonitor", "警告", USB_ERROR), shown)
        self.assertIn(("netmonitor", "警告", NET_ERROR), shown)
        self.assertIsNone(host.poll())

    def test_tray_host_later_than_the_old_twelve_second_wait(self):
        self.start_watcher()
        started, usb, net = self.monitors()
        time.sleep(max(0, started + 13 - time.monotonic()))
        self.assertEqual(registered_items(), [])
        self.desk.start("host", ["/usr/bin/python3", "-W", "ignore", __file__,
                                 "--register-host"])
        desktop.wait_until("both tray items", lambda: {str(usb.pid), str(net.pid)} <= set(
            registered_items()), scaled(3))

    def test_xfce_panel_started_after_the_monitors(self):
        config = tempfile.mkdtemp(prefix="xfce-config.")
        self.addCleanup(shutil.rmtree, config, True)
        os.makedirs(os.path.join(config, "xfce4/xfconf/xfce-perchannel-xml"))
        with open(os.path.join(config, "xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml"),
                  "w") as f:
            f.write(PANEL_CONFIG)
        env = dict(os.environ, XDG_CONFIG_HOME=config)
        self.desk.dunst()
        started, usb, net = self.monitors()
        desktop.wait_until("both windows up", lambda: mapped(USB_TITLE) and mapped(NET_TITLE),
                           scaled(3))
        time.sleep(2)
        self.desk.start("xfconfd", [XFCONFD], env=env)
        self.desk.start("panel", ["xfce4-panel", "--disable-wm-check"], env=env)
        # The panel's tray is a StatusNotifierItem host of its own.
        desktop.wait_until("both items in the panel", lambda: {str(usb.pid), str(net.pid)} <=
                           set(registered_items()), scaled(15))
        appeared = time.monotonic() - started
        # Our icons at the left end of the bottom panel: drawn, not bare panel. The panel
        # draws an item a moment after it has taken it on the bus.
        seen = {}

        def icons_drawn():
            shot = desktop.screenshot(os.path.join(self.desk.dir, "panel.png"))
            seen.update(desktop.region_stats(shot, 0, 994, 60, 30))
            return seen["busy"] > 0.1

        try:
            desktop.wait_until("our icons drawn in the panel", icons_drawn, 5, 0.2)
        except desktop.Timeout:
            self.fail("icons not drawn: %s" % seen)
        usb_error = self.desk.wait_notice("usbmonitor", USB_ERROR, scaled(10))
        self.assertEqual(usb_error["app_icon"], "dialog-error")
        shown = dunst_history()
        self.assertIn(("usbmonitor", "通知", "ZLP5520NW状态监控启动"), shown)
        self.assertIn(("netmonitor", "警告", NET_ERROR), shown)

        # "退出" from the real panel's menu: a right click on the icon, the last entry. The
        # first icon is the first registered; the other one moves up when it goes.
        first, second = (usb, net) if registered_items().index(str(usb.pid)) == 0 else (net, usb)
        self.quit_through_panel(first, 12)
        time.sleep(1.5)
        self.quit_through_panel(second, 12)
        desktop.log("tray items after %.1f s" % appeared)

    def quit_through_panel(self, proc, x):
        env = dict(os.environ)
        # The icons sit side by side from the left; the first is the first registered.
        for attempt in range(3):
            subprocess.run(["xdotool", "mousemove", str(x), "1009", "click", "3"], check=True,
                           timeout=10, env=env)
            time.sleep(0.7)
            subprocess.run(["xdotool", "key", "Up", "Return"], check=True, timeout=10, env=env)
            try:
                self.assertEqual(proc.wait(timeout=scaled(3)), 0)
                return
            except subprocess.TimeoutExpired:
                continue
        self.fail("the panel's 退出 did not end the monitor")

    def test_xembed_tray_notices_go_to_the_server(self):
        self.desk.dunst()
        started, usb, net = self.monitors()
        time.sleep(1)
        # An XEmbed tray and nothing else: Qt would draw its own balloons there.
        self.desk.start("trayer", ["trayer", "--edge", "top", "--align", "left",
                                   "--widthtype", "pixel", "--width", "120", "--height", "24",
                                   "--SetDockType", "false", "--SetPartialStrut", "false"])
        tray = desktop.wait_until("the tray window", lambda: desktop.x_window("panel"), 5)
        try:
            desktop.wait_until("both icons embedded", lambda: {"usbmonitor", "netmonitor"} <=
                               set(re.findall(r'"(\w+monitor)": \(', subprocess.run(
                                   ["xwininfo", "-tree", "-id", tray["id"]],
                                   capture_output=True, text=True).stdout)), scaled(8))
        except desktop.Timeout:
            self.desk.backtraces(usb, net)
            raise
        # The error states come after the tray: straight to the server, the error icon and
        # urgency, no "显示窗体" (the tray icon is there for that).
        usb_error = self.desk.wait_notice("usbmonitor", USB_ERROR, scaled(10))
        self.assertEqual((usb_error["app_icon"], usb_error["urgency"], usb_error["actions"],
                          usb_error["expire_timeout"]), ("dialog-error", 2, [], 120000),
                         usb_error)
        net_error = [c for c in self.desk.notices("netmonitor") if c["body"] == NET_ERROR]
        self.assertTrue(net_error)
        self.assertEqual(net_error[-1]["actions"], [])
        # Before the tray, the start-up notice offered the window.
        startup = self.desk.wait_notice("usbmonitor", "ZLP5520NW状态监控启动", scaled(1))
        self.assertEqual(startup["actions"], ["default", "显示窗体"])
        self.assertIn(("usbmonitor", "警告", USB_ERROR), dunst_history())

    def test_no_tray_notices_with_the_show_action(self):
        self.desk.dunst()
        started, usb, net = self.monitors(
            [ARGS.sim, "--script", ARGS.script, "--", USB])
        notice = self.desk.wait_notice("usbmonitor", "ZLP5520NW状态监控启动", scaled(5))
        self.assertEqual((notice["app_icon"], notice["expire_timeout"], notice["actions"]),
                         ("dialog-information", 30000, ["default", "显示窗体"]), notice)
        net_error = self.desk.wait_notice("netmonitor", NET_ERROR, scaled(8))
        self.assertEqual((net_error["app_icon"], net_error["urgency"], net_error["actions"]),
                         ("dialog-error", 2, ["default", "显示窗体"]), net_error)
        # The start-up window hides; "显示窗体" on the notice brings it back.
        desktop.wait_until("the window hidden", lambda: not mapped(USB_TITLE), scaled(8))
        ids = subprocess.run(["dunstctl", "count", "displayed"], capture_output=True, text=True)
        self.assertGreaterEqual(int(ids.stdout.strip() or 0), 1)
        # dunst's action on its newest notice closes it; the USB start-up notice is the
        # oldest of ours, so act on the newest until the USB window is back.
        for _ in range(int(ids.stdout.strip())):
            subprocess.run(["dunstctl", "action", "0"], timeout=10)
            time.sleep(0.5)
            if mapped(USB_TITLE):
                break
            subprocess.run(["dunstctl", "close"], timeout=10)
        window = desktop.wait_until("the window shown by the notice's action",
                                    lambda: mapped(USB_TITLE), scaled(5))
        self.assertIsNone(usb.poll())
        self.assertIsNone(net.poll())
        # No tray menu: the window's own context menu quits (its last entry, "退出").
        time.sleep(0.5)
        subprocess.run(["xdotool", "mousemove", str(window["x"] + 60), str(window["y"] + 200),
                        "click", "3"], check=True, timeout=10)
        time.sleep(0.7)
        subprocess.run(["xdotool", "key", "Up", "Return"], check=True, timeout=10)
        self.assertEqual(usb.wait(timeout=scaled(5)), 0)

    def test_notification_server_started_after_the_monitors(self):
        started, usb, net = self.monitors()
        # Both first polls found their error; nobody to tell yet.
        desktop.wait_until("the USB poll", lambda: "find device error" in open(
            self.desk.log("usbmonitor")).read(), scaled(10))
        time.sleep(1)
        self.assertEqual(self.desk.notices(), [])
        self.desk.dunst()
        usb_error = self.desk.wait_notice("usbmonitor", USB_ERROR, scaled(5))
        self.assertEqual(usb_error["urgency"], 2)
        self.desk.wait_notice("netmonitor", NET_ERROR, scaled(5))
        # Only the newest notice was kept: the start-up notice is not sent late.
        self.assertEqual([c["body"] for c in self.desk.notices("usbmonitor")], [USB_ERROR])
        shown = dunst_history()
        self.assertIn(("usbmonitor", "警告", USB_ERROR), shown)
        self.assertIn(("netmonitor", "警告", NET_ERROR), shown)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def gl_libraries(pid):
    """Mesa's and LLVM's libraries mapped into a process."""
    with open("/proc/%d/maps" % pid) as f:
        return sorted({line.split()[-1] for line in f
                       if re.search(r"libLLVM|_dri\.so|libEGL_mesa|libGLX_mesa", line)})


class Wayland(unittest.TestCase):
    """Both monitors on weston's headless backend, which leaves title bars to the client:
    the window with its title bar (weston's screenshot). With QT_WAYLAND_CLIENT_BUFFER_
    INTEGRATION=none, as the monitors choose where the compositor draws title bars: no Mesa
    in the process and memory as on X11."""

    def test_wayland_without_mesa(self):
        desk = Desktop("wayland")
        self.addCleanup(desk.stop)
        socket = "wl-zlp-%d" % os.getpid()
        weston = desk.start("weston", ["weston", "--backend=headless-backend.so", "--debug",
                                       "--socket=" + socket, "--idle-time=0", "--use-pixman",
                                       "--width=1280", "--height=1024"])
        desktop.wait_until("weston", lambda: os.path.exists(
            os.path.join(os.environ["XDG_RUNTIME_DIR"], socket)), 10)
        desk.dunst()
        wl = dict(os.environ, QT_QPA_PLATFORM="wayland", WAYLAND_DISPLAY=socket)
        usb = desk.start("usbmonitor", [USB], env=wl)
        net = desk.start("netmonitor", [NET],
                         env=dict(wl, QT_WAYLAND_CLIENT_BUFFER_INTEGRATION="none"))
        desk.wait_notice("usbmonitor", "ZLP5520NW状态监控启动", scaled(5))
        desk.wait_notice("netmonitor", "网络状态监视器正在连接打印机，请稍后", scaled(5))
        # The picture while both windows are up.
        shots = tempfile.mkdtemp(prefix="weston-shot.")
        self.addCleanup(shutil.rmtree, shots, True)
        shooter = subprocess.run(["weston-screenshooter"], cwd=shots, env=wl, timeout=10,
                                 stdout=open(desk.log("screenshooter"), "w"),
                                 stderr=subprocess.STDOUT)
        desktop.log("weston-screenshooter: %d" % shooter.returncode)
        taken = [f for f in os.listdir(shots) if f.endswith(".png")]
        self.assertTrue(taken, "weston took no screenshot")
        shot = os.path.join(desk.dir, "wayland.png")
        shutil.copy(os.path.join(shots, taken[0]), shot)
        stats = desktop.region_stats(shot, 0, 0, 1280, 1024)
        self.assertGreater(stats["colours"], 30, stats)
        time.sleep(2)
        self.assertIsNone(weston.poll())
        # weston leaves the title bar to the client, and Qt 5 draws one only through its EGL
        # integration: usbmonitor keeps it here (its title bar is in the picture).
        self.assertIsNone(usb.poll())
        self.assertTrue(gl_libraries(usb.pid), "usbmonitor on weston without EGL: no title bar")
        self.assertIsNone(net.poll())
        self.assertEqual(gl_libraries(net.pid), [])
        wayland_rss = {"netmonitor": rss_kib(net.pid)}
        desk.stop()
        desk.procs = []

        # The same programs on X11, measured the same way.
        desk.start("dbus-monitor-x11", ["true"])
        x11 = dict(os.environ, QT_QPA_PLATFORM="xcb")
        for name, path in (("netmonitor", NET),):
            proc = desk.start(name + "-x11", [path], env=x11)
            desktop.wait_until(name + " on X11", lambda: mapped(NET_TITLE), scaled(5))
            time.sleep(2)
            self.assertEqual(gl_libraries(proc.pid), [], name)
            x11_rss = rss_kib(proc.pid)
            desktop.log("%s resident: Wayland %d KiB, X11 %d KiB" % (name, wayland_rss[name],
                                                                     x11_rss))
            self.assertLess(wayland_rss[name], x11_rss * 1.10, name)
            desktop.stop_program(proc)


def register_host():
    """A StatusNotifierItem host as a panel registers one, kept until killed."""
    import dbus
    import dbus.mainloop.glib
    from gi.repository import GLib
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = "org.kde.StatusNotifierHost-%d" % os.getpid()
    bus.request_name(name)
    watcher = bus.get_object("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher")
    watcher.RegisterStatusNotifierHost(name, dbus_interface="org.kde.StatusNotifierWatcher")
    print("registered", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    if sys.argv[1:] == ["--register-host"]:
        register_host()
        sys.exit(0)
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--script", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
