#!/usr/bin/python3
"""The desktop stand-in against a small Qt tray program (zlp-traydemo): what Qt registers and
sends arrives as a real desktop would get it, and the helpers read it back.

Run under desktop-session.sh: stand_in_test.py PATH/TO/zlp-traydemo
"""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402

DEMO = None
# The last notice is short, so that the tooltip goes back to the program's own within the test.
BALLOONS = [("information", 30000, "信息标题", "第一条：普通"),
            ("warning", 60000, "警告标题", "第二条：警告"),
            ("critical", 120000, "错误标题", "第三条：错误"),
            ("none", 1500, "无图标", "第四条: 没有图标, 冒号保留")]
ICONS = {"information": "dialog-information", "warning": "dialog-warning",
         "critical": "dialog-error", "none": ""}


class TrayProgram(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.started = time.monotonic()
        cls.proc = subprocess.Popen(
            [DEMO] + ["%s:%d:%s:%s" % b for b in BALLOONS],
            stdout=subprocess.PIPE, text=True)
        cls.events = desktop.Events(since=cls.started)

    @classmethod
    def tearDownClass(cls):
        if cls.proc.poll() is None:
            cls.proc.kill()
            cls.proc.wait(timeout=10)

    def test_a_tray_item_registers_with_its_tooltip_and_icon(self):
        first = self.proc.stdout.readline().strip()
        self.assertEqual(first, "tray available: yes",
                         "Qt did not see the watcher's registered host")
        item = self.events.next(desktop.is_event("item-registered"), 10, "tray item")
        self.assertEqual(item["service"], "org.kde.StatusNotifierItem-%d-1" % self.proc.pid)
        self.assertEqual(item["path"], "/StatusNotifierItem")
        props = desktop.item_properties()
        self.assertEqual(props["Id"], "zlp-traydemo")
        self.assertGreater(len(props["IconPixmap"]), 0)
        # The green disc the program draws: not a blank icon.
        self.assertTrue(all(p["opaque_pixels"] > 100 for p in props["IconPixmap"]),
                        props["IconPixmap"])

    def test_b_notices_arrive_in_order_with_icon_and_timeout(self):
        notices = desktop.Events(since=self.started)
        for kind, msecs, title, text in BALLOONS:
            n = notices.next(desktop.is_notify(summary=title), 10, "notice " + title)
            self.assertEqual((n["body"], n["app_icon"], n["expire_timeout"], n["app_name"]),
                             (text, ICONS[kind], msecs, "zlp-traydemo"), n)
        self.assertEqual(len(notices.notices()), len(BALLOONS))

    def test_c_tooltip_shows_the_notice_title_while_it_lasts(self):
        # The stand-in reads the item's properties after each of its signals: while a notice
        # lasts, Qt puts the notice's title in the tooltip, and its own tooltip back after.
        events = desktop.Events(since=self.started)
        events.next(desktop.is_notify(summary="警告标题"), 10)
        during = events.next(lambda e: e["event"] == "item-properties"
                             and e.get("properties", {}).get("ToolTip", {}).get("title")
                             == "错误标题", 10, "tooltip during the error notice")
        self.assertEqual(during["properties"]["Status"], "NeedsAttention")
        self.assertEqual(during["properties"]["ToolTip"]["text"], "第三条：错误")
        props = desktop.wait_tooltip("Demo ready", 10)
        self.assertEqual(props["Status"], "Active")

    def test_d_notice_expires_after_its_timeout(self):
        events = desktop.Events(since=self.started)
        last = events.next(desktop.is_notify(summary="无图标"), 10)
        closed = events.next(desktop.is_event("notification-closed", id=last["id"], reason=1),
                             10, "expiry of the last notice")
        self.assertAlmostEqual(closed["t"] - last["t"], 1.5, delta=0.5)

    def test_e_window_texts_typing_and_button_through_accessibility(self):
        app = desktop.find_application("zlp-traydemo")
        window = desktop.find_window(app, "托盘演示")
        self.assertIn("showing", desktop.states(window))
        self.assertEqual(desktop.label_texts(window), ["演示程序已启动", ""])
        [edit] = desktop.find(window, role="text")
        desktop.type_text(edit, "打印机 ZLP5520NW")
        [button] = desktop.find(window, role="push button", name="复制")
        desktop.press(button)
        desktop.wait_until("the copied text",
                           lambda: desktop.label_texts(window)[1] == "打印机 ZLP5520NW", 5)

    def test_f_screenshot_tells_a_drawn_window_from_an_empty_area(self):
        window = desktop.x_window("托盘演示")
        self.assertIsNotNone(window)
        self.assertTrue(window["mapped"])
        shot = desktop.screenshot(os.path.join(os.environ["DESKTOP_OUTDIR"], "traydemo.png"))
        drawn = desktop.region_stats(shot, window["x"], window["y"], window["width"],
                                     window["height"])
        # Text and a button: many colours and a good share of non-background pixels.
        self.assertGreater(drawn["colours"], 10, drawn)
        self.assertGreater(drawn["busy"], 0.02, drawn)
        # The same measure on the bare root window, where nothing is drawn, must fail those.
        bare = desktop.region_stats(shot, 600, 600, window["width"], window["height"])
        self.assertLessEqual(bare["colours"], 2, bare)
        self.assertLess(bare["busy"], 0.02, bare)

    def test_g_panel_clicks_and_tray_menu_reach_the_program(self):
        events = desktop.Events(since=time.monotonic())
        desktop.activate_item("Activate")
        desktop.activate_item("SecondaryActivate")
        # The program answers each click with a balloon naming Qt's activation reason.
        self.assertEqual(events.next(desktop.is_notify(summary="点击"), 5)["body"], "3")
        self.assertEqual(events.next(desktop.is_notify(summary="点击"), 5)["body"], "4")
        self.assertEqual([(e["label"], e["type"]) for e in desktop.menu_entries()],
                         [("隐藏窗口", "standard"), ("", "separator"), ("退出", "standard")])
        desktop.menu_click("隐藏窗口")
        desktop.wait_until("the window hidden by the menu",
                           lambda: not desktop.x_window("托盘演示")["mapped"], 5)

    def test_h_two_programs_in_the_tray_are_told_apart(self):
        # Qt names the item after the program as started: a link under another name.
        link = os.path.join(os.environ["DESKTOP_OUTDIR"], "zlp-traydemo-2")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.path.abspath(DEMO), link)
        other = subprocess.Popen([link], stdout=subprocess.DEVNULL)
        try:
            events = desktop.Events(since=time.monotonic())
            second = events.next(desktop.is_event("item-registered"), 10, "second item")
            self.assertEqual(desktop.item_properties()["Id"], "zlp-traydemo-2")
            self.assertEqual(desktop.item_properties("zlp-traydemo")["Id"], "zlp-traydemo")
            self.assertIsNone(desktop.item_properties("no-such-program"))
            desktop.menu_click("退出", item_id="zlp-traydemo-2")
            self.assertEqual(other.wait(timeout=10), 0)
            events.next(desktop.is_event("item-unregistered", service=second["service"]), 10)
            self.assertIsNone(self.proc.poll())
            self.assertEqual(desktop.item_properties()["Id"], "zlp-traydemo")
        finally:
            if other.poll() is None:
                other.kill()
                other.wait()

    def test_i_quit_from_the_menu_unregisters_the_item(self):
        desktop.menu_click("退出", item_id="zlp-traydemo")
        self.assertEqual(self.proc.wait(timeout=10), 0)
        service = "org.kde.StatusNotifierItem-%d-1" % self.proc.pid
        desktop.Events(since=self.started).next(
            desktop.is_event("item-unregistered", service=service), 10, "item unregistered")
        self.assertIsNone(desktop.item_properties())


if __name__ == "__main__":
    DEMO = sys.argv.pop(1)
    unittest.main(verbosity=2)
