#!/usr/bin/python3
"""The installed usbmonitor on a desktop: its tray item, start-up notice and window, as the
desktop stand-in and the accessibility bus see them, and the single instance.

Run inside sandbox.sh (the suite installed under /opt) and desktop-session.sh:
  usbmonitor_test.py --sim PATH/TO/zlpsim-usb --script READY_PRINTER_SCRIPT

The monitor runs against a simulated printer that reports itself ready, so nothing but the
start-up notice has a reason to appear; any other notice is listed when a check fails.
"""

import argparse
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402

MONITOR = "/opt/varn/ZLP5520NW/bin/usb/usbmonitor"
NETMONITOR = "/opt/varn/ZLP5520NW/bin/net/netmonitor"
ID = "usbmonitor"  # the tray item's Id
TITLE = "ZLP5520NW USB状态监控"
NOTICE_TITLE = "通知"
NOTICE_TEXT = "ZLP5520NW状态监控启动"
NOTICE_MS = 30000
STARTUP_STATE = "状态监视器启动"
STARTUP_HELP = "状态监视器正在连接打印机，请稍后"
ARGS = None


def bluish(r, g, b):
    return b > r + 40 and b > g + 15


def unix_pid(bus_name):
    import dbus
    bus = dbus.SessionBus()
    proxy = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus", introspect=False)
    return int(proxy.GetConnectionUnixProcessID(bus_name, dbus_interface="org.freedesktop.DBus"))


class InstalledUsbMonitor(unittest.TestCase):
    """One monitor run, checked step by step in the order a user sees it."""

    @classmethod
    def setUpClass(cls):
        cls.outdir = os.environ["DESKTOP_OUTDIR"]
        cls.started = time.monotonic()
        cls.proc = subprocess.Popen(
            [ARGS.sim, "--script", ARGS.script, "--record", os.path.join(cls.outdir, "usb.rec"),
             "--", MONITOR],
            stdout=open(os.path.join(cls.outdir, "usbmonitor.out"), "w"),
            stderr=subprocess.STDOUT)
        cls.events = desktop.Events(since=cls.started)
        cls.window_seen = None
        cls.window_gone = None

    @classmethod
    def tearDownClass(cls):
        desktop.stop_program(cls.proc)

    def unexpected(self):
        return "notices so far: %r" % [(round(e["t"] - self.started, 2), e["summary"], e["body"])
                                       for e in self.notices()]

    def notices(self):
        return [e for e in self.events.notices() if e["app_name"] == ID]

    def test_01_tray_item_of_the_installed_program_registers(self):
        item = self.events.next(desktop.is_event("item-registered"), 15, "tray item")
        type(self).item = item
        pid = unix_pid(item["sender"])
        self.assertEqual(desktop.program_of(pid), MONITOR)
        type(self).monitor_pid = pid
        props = desktop.item_properties(ID)
        self.assertEqual(props["Id"], "usbmonitor")
        self.assertEqual(props["Category"], "ApplicationStatus")
        # The heart, at every size offered, drawn and not blank.
        self.assertTrue(props["IconPixmap"])
        for pixmap in props["IconPixmap"]:
            self.assertGreater(pixmap["opaque_pixels"], pixmap["width"] * pixmap["height"] // 10)
        type(self).ready_icon = [p["sha1"] for p in props["IconPixmap"]]

    def test_02_startup_notice_with_its_icon_and_duration(self):
        notice = self.events.next(desktop.is_notify(summary=NOTICE_TITLE, body=NOTICE_TEXT, app_name=ID), 15,
                                  "the start-up notice")
        self.assertEqual(notice["expire_timeout"], NOTICE_MS, notice)
        # The normal state's notices carry the information icon.
        self.assertEqual(notice["app_icon"], "dialog-information", notice)
        self.assertEqual(notice["app_name"], "usbmonitor")
        first = self.notices()[0]
        self.assertEqual(first["id"], notice["id"], "a notice came before the start-up notice: "
                         + self.unexpected())
        type(self).notice = notice
        # While the notice lasts, the tray shows its title and asks for attention.
        props = desktop.item_properties(ID)
        self.assertEqual((props["ToolTip"]["title"], props["Status"]),
                         (NOTICE_TITLE, "NeedsAttention"))

    def test_03_window_comes_up_on_top_with_the_startup_texts(self):
        window = desktop.wait_until("the window mapped", lambda: (
            lambda w: w if w and w["mapped"] else None)(desktop.x_window(TITLE)), 10)
        type(self).window_seen = time.monotonic()
        # The picture first, while the window is up (4 s only): the first paint can trail
        # the mapping a little, so take shots until the window shows content or 2 s passed.
        shot = os.path.join(self.outdir, "usbmonitor-startup.png")
        deadline = time.monotonic() + 2.0
        while True:
            desktop.screenshot(shot)
            stats = desktop.region_stats(shot, window["x"], window["y"], window["width"],
                                         window["height"])
            if stats["busy"] > 0.05 or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertTrue(desktop.x_window(TITLE)["mapped"],
                        "the window went away before the screenshot")
        type(self).shot = shot
        self.assertEqual((window["width"], window["height"]), (520, 350))
        self.assertIn("_NET_WM_STATE_ABOVE", desktop.wm_state(window["id"]))
        # Bottom right of the 1280 x 1024 screen, wholly on it: 9 px from its right end and
        # 39 px above its bottom.
        self.assertEqual((window["x"], window["y"]), (1280 - 9 - 520, 1024 - 39 - 350))
        app = desktop.find_application("usbmonitor")
        acc = desktop.find_window(app, TITLE)
        self.assertIn("showing", desktop.states(acc))
        # As a screen reader finds them: the status line and the advice by their texts and
        # Chinese descriptions, the picture by its name; no form names anywhere.
        # One walk read once: the window's 4 s are short for an emulated build on a loaded
        # machine, and a second walk could meet the texts of the first status or none.
        nodes = desktop.snapshot(acc)
        texts = {n["description"]: n["name"] for n in nodes if n["description"]}
        self.assertEqual(texts.get("打印机状态"), STARTUP_STATE, texts)
        self.assertEqual(texts.get("处理建议"), STARTUP_HELP, texts)
        self.assertEqual(texts.get("纸张尺寸"), "A4", texts)
        state = desktop.one_of(nodes, STARTUP_STATE, role="label")
        image = desktop.one_of(nodes, "打印机状态图标")
        self.assertFalse([n["description"] for n in nodes
                          if n["description"].startswith(("printer_", "label", "tab"))])
        type(self).window = window
        type(self).image_box = desktop.extents(image)
        type(self).state_box = desktop.extents(state)

    def test_04_window_renders_its_texts_and_the_blue_printer(self):
        w = self.window
        shot = self.shot
        whole = desktop.region_stats(shot, w["x"], w["y"], w["width"], w["height"])
        self.assertGreater(whole["colours"], 30, whole)
        self.assertGreater(whole["busy"], 0.05, whole)
        # The same measure fails on bare screen of the window's size (the window sits at the
        # bottom right, the top left is empty): an empty rendering would not pass.
        bare = desktop.region_stats(shot, 0, 0, w["width"], w["height"])
        self.assertLess(bare["busy"], 0.05, bare)
        # The status line: text in its area, not a flat background.
        x, y, width, height = self.state_box
        state = desktop.region_stats(shot, x, y, width, height)
        self.assertGreater(state["busy"], 0.01, ("status text area", state))
        # The normal state's picture is the blue printer.
        x, y, width, height = self.image_box
        self.assertTrue(desktop.has_colour(shot, x, y, width, height, bluish, 200),
                        "no blue printer in the picture at %r" % (self.image_box,))

    def test_05_window_hides_itself_about_four_seconds_later(self):
        self.assertIsNotNone(self.window_seen, "the window never came up")
        desktop.wait_until("the window hidden", lambda: (
            lambda w: w is None or not w["mapped"])(desktop.x_window(TITLE)), 10)
        gone = time.monotonic()
        # The window timer starts right after the start-up notice is sent: 4 s from there,
        # give or take the delivery of the notice and the polling here (and the accessibility
        # bus queries of the test before, which an emulated build answers slowly).
        self.assertGreater(gone - self.notice["t"], 3.5)
        self.assertLess(gone - self.notice["t"], 4 + 1.5 * desktop.TIME_SCALE)
        app = desktop.find_application("usbmonitor")
        acc = desktop.find_window(app, TITLE)
        desktop.wait_until("the window no longer showing for the accessibility bus",
                           lambda: "showing" not in desktop.states(acc), 5)
        self.assertIsNone(self.proc.poll(), "the monitor ended when its window hid")

    def test_06_second_start_leaves_at_once_and_quietly(self):
        before = len(desktop.read_events())
        started = time.monotonic()
        second = subprocess.run([MONITOR], capture_output=True, timeout=10)
        took = time.monotonic() - started
        self.assertEqual(second.returncode, 0, second.stderr)
        self.assertLess(took, 1.0)
        time.sleep(1.0)
        later = desktop.read_events()[before:]
        self.assertEqual([e for e in later if e["event"] in ("item-registered", "notify")], [])
        self.assertNotIn(TITLE, [w["name"] for w in desktop.x_windows() if w["mapped"]])
        # The first copy is undisturbed: running, its item still there.
        self.assertIsNone(self.proc.poll())
        self.assertTrue(os.path.exists("/proc/%d" % self.monitor_pid))
        self.assertIsNotNone(desktop.item_properties(ID))

    def test_07_tooltip_reads_ready_once_the_notice_ran_out(self):
        notice = self.notice
        closed = self.events.next(desktop.is_event("notification-closed", id=notice["id"]),
                                  NOTICE_MS / 1000 + 5, "end of the start-up notice")
        self.assertAlmostEqual(closed["t"] - notice["t"], NOTICE_MS / 1000, delta=1.0)
        try:
            props = desktop.wait_tooltip("Ready", 5, item_id=ID)
        except desktop.Timeout as error:
            raise AssertionError("%s; %s" % (error, self.unexpected()))
        self.assertEqual(props["Status"], "Active")
        self.assertEqual([p["sha1"] for p in props["IconPixmap"]], self.ready_icon)
        self.assertEqual(len(self.notices()), 1, self.unexpected())

    def test_08_netmonitor_runs_beside_it(self):
        events = desktop.Events(since=time.monotonic())
        net = subprocess.Popen([NETMONITOR], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            item = events.next(desktop.is_event("item-registered"), 15, "netmonitor's item")
            self.assertNotEqual(item["service"], self.item["service"])
            self.assertEqual(desktop.item_properties("netmonitor")["Id"], "netmonitor")
            desktop.menu_click("退出", item_id="netmonitor")
            self.assertEqual(net.wait(timeout=10), 0)
            events.next(desktop.is_event("item-unregistered", service=item["service"]), 10)
        finally:
            if net.poll() is None:
                net.kill()
                net.wait()
        # The USB monitor ran on through it all.
        self.assertIsNone(self.proc.poll())
        self.assertEqual(desktop.item_properties("usbmonitor")["ToolTip"]["title"], "Ready")

    def test_09_tray_menu_shows_and_hides_the_window(self):
        self.assertEqual([(e["label"], e["type"]) for e in desktop.menu_entries(ID)],
                         [("最小化", "standard"), ("显示窗体", "standard"), ("", "separator"),
                          ("退出", "standard")])
        desktop.menu_click("显示窗体", item_id=ID)
        desktop.wait_until("the window shown from the menu", lambda: (
            lambda w: w and w["mapped"])(desktop.x_window(TITLE)), 5)
        # It stays up: the window timer hid it once already and does not again.
        time.sleep(4.5)
        self.assertTrue(desktop.x_window(TITLE)["mapped"])
        desktop.menu_click("最小化", item_id=ID)
        desktop.wait_until("the window hidden from the menu", lambda: (
            lambda w: w is None or not w["mapped"])(desktop.x_window(TITLE)), 5)

    def test_10_clicks_on_the_tray_icon(self):
        events = desktop.Events(since=time.monotonic())
        desktop.activate_item("Activate", item_id=ID)
        hint = events.next(desktop.is_notify(summary="提示", app_name=ID), 5, "the single-click hint")
        self.assertEqual((hint["body"], hint["expire_timeout"], hint["app_icon"]),
                         ("请双击或右键打开主界面", 5000, "dialog-information"))
        desktop.activate_item("SecondaryActivate", item_id=ID)
        again = events.next(desktop.is_notify(summary=NOTICE_TITLE, app_name=ID), 5, "the notice repeated")
        self.assertEqual((again["body"], again["expire_timeout"]), (NOTICE_TEXT, NOTICE_MS))

    def test_11_quit_from_the_tray_menu(self):
        desktop.menu_click("退出", item_id=ID)
        self.assertEqual(self.proc.wait(timeout=10), 0)
        self.events.next(desktop.is_event("item-unregistered", service=self.item["service"]),
                         10, "the item unregistered")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--script", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, failfast=True)
