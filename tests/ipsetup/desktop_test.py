#!/usr/bin/python3
"""The installed ipsetup on a desktop, used the way a screen reader or a user would: through
the accessibility bus, pressing its buttons, typing into its fields and reading its red status
line, with the simulated printer on USB and the sandbox's cupsd behind lpadmin.

Run by desktop_test.sh (inside sandbox.sh --cupsd and desktop-session.sh):
  desktop_test.py --sim PATH/TO/zlpsim-usb --script PRINTER_SCRIPT
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "desktop"))
import desktop  # noqa: E402

IPSETUP = "/opt/varn/ZLP5520NW/bin/usb/ipsetup"
NET_IP_INFO = "/opt/varn/ZLP5520NW/bin/net/config/netIpInfo"
ARGS = None


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return None


def lpstat(*args):
    result = subprocess.run(["lpstat", *args], capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C"), timeout=20)
    return result.stdout.strip()


class InstalledIpSetup(unittest.TestCase):
    """One run of the program, step by step as a user goes through it."""

    @classmethod
    def setUpClass(cls):
        cls.outdir = os.environ["DESKTOP_OUTDIR"]
        cls.record = os.path.join(cls.outdir, "usb.rec")
        cls.proc = subprocess.Popen(
            [ARGS.sim, "--script", ARGS.script, "--record", cls.record, "--", IPSETUP],
            stdout=open(os.path.join(cls.outdir, "ipsetup.out"), "w"), stderr=subprocess.STDOUT)

    @classmethod
    def tearDownClass(cls):
        desktop.stop_program(cls.proc)

    def status_becomes(self, text, timeout=20):
        info = desktop.widget(self.dialog, "informationAdmin")
        try:
            desktop.wait_until("status line %r" % text, lambda: info.name == text, timeout)
        except desktop.Timeout:
            self.fail("status line: %r, expected %r" % (info.name, text))

    def commands(self):
        return (read(self.record) or "").splitlines()

    def test_01_launcher_opens_the_dialog_with_the_printer_settings(self):
        app = desktop.find_application("ipsetup", timeout=20)
        launcher = desktop.find_window(app, "ProgramGrop")
        self.assertEqual(desktop.widget(launcher, "pushButton").name, "确定")
        self.assertEqual(desktop.widget(launcher, "pushButton_2").name, "帮助文档")
        desktop.press(desktop.widget(launcher, "pushButton"))
        type(self).dialog = desktop.find_window(app, "netIpSet")
        self.status_becomes("获取当前打印机IP地址成功！")
        self.assertEqual(desktop.widget(self.dialog, "Ip_label").name, "192.168.1.10")
        self.assertEqual(desktop.text_of(desktop.widget(self.dialog, "ipEdit")), "192.168.1.10")
        self.assertEqual(desktop.text_of(desktop.widget(self.dialog, "maskEdit")),
                         "255.255.255.0")
        self.assertEqual(self.commands(), ['"CheckIP?"'])

    def test_02_typed_injection_is_refused(self):
        # The file the injected command would make, in a folder of this test's own: a fixed
        # name such as /tmp/x may be anyone's on a shared machine.
        with tempfile.TemporaryDirectory() as folder:
            marker = os.path.join(folder, "injected")
            desktop.type_text(desktop.widget(self.dialog, "ipEdit"), f"1.1.1.1;touch {marker}")
            desktop.press(desktop.widget(self.dialog, "IDOK"))
            self.status_becomes("请检查IP地址是否正确")
            self.assertEqual(self.commands(), ['"CheckIP?"'])
            self.assertEqual(lpstat("-v"), "")
            self.assertFalse(os.path.exists(marker))

    def test_03_new_settings_go_to_the_printer_and_the_queue(self):
        desktop.type_text(desktop.widget(self.dialog, "ipEdit"), "192.168.1.20")
        desktop.press(desktop.widget(self.dialog, "IDOK"))
        self.status_becomes("添加网络打印机成功！")
        commands = self.commands()
        self.assertEqual(len(commands), 2, commands)
        self.assertTrue(commands[1].endswith(
            "# ip=192.168.1.20 mask=255.255.255.0 gateway=192.168.1.1"), commands[1])
        self.assertEqual(lpstat("-v", "ZLP5520NW-net"),
                         "device for ZLP5520NW-net: socket://192.168.1.20:9100")
        self.assertEqual(lpstat("-d"), "system default destination: ZLP5520NW-net")
        self.assertEqual(read(NET_IP_INFO), "192.168.1.20")
        self.assertEqual(read("/var/tmp/restart-calls"), "init.d/cups restart\n")

    def test_04_cancel_closes_without_sending(self):
        desktop.type_text(desktop.widget(self.dialog, "ipEdit"), "10.0.0.9")
        desktop.press(desktop.widget(self.dialog, "IDCANCEL"))
        desktop.wait_until("the dialog to close",
                           lambda: "showing" not in desktop.states(self.dialog), 10)
        self.assertEqual(len(self.commands()), 2)
        self.assertEqual(read(NET_IP_INFO), "192.168.1.20")
        self.assertEqual(read("/var/tmp/restart-calls"), "init.d/cups restart\n")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--script", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest], failfast=True)
