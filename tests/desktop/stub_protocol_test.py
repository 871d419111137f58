#!/usr/bin/python3
"""The stand-in's side of the two protocols where Qt does not reach: the watcher's properties
as a client discovers them, an item registered by object path (as libappindicator and
others do), and notifications replaced and closed by the caller.

Run under desktop-session.sh."""

import json
import os
import sys
import time
import unittest
import xml.etree.ElementTree as ET

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
WATCHER = "org.kde.StatusNotifierWatcher"
NOTIFY = "org.freedesktop.Notifications"


class MiniItem(dbus.service.Object):
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"Id": "mini", "Status": "Active", "Title": "mini",
                "ToolTip": dbus.Struct(("", dbus.Array([], signature="(iiay)"), "迷你", "说明"),
                                       signature="sa(iiay)ss")}


def pump(seconds):
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        context.iteration(False)
        time.sleep(0.01)


class Watcher(unittest.TestCase):
    def test_properties_are_declared_and_readable(self):
        bus = dbus.SessionBus()
        watcher = bus.get_object(WATCHER, "/StatusNotifierWatcher", introspect=False)
        xml = watcher.Introspect(dbus_interface="org.freedesktop.DBus.Introspectable")
        iface = [i for i in ET.fromstring(str(xml)).findall("interface")
                 if i.get("name") == WATCHER][0]
        self.assertEqual({p.get("name"): p.get("type") for p in iface.findall("property")},
                         {"RegisteredStatusNotifierItems": "as",
                          "IsStatusNotifierHostRegistered": "b", "ProtocolVersion": "i"})
        get = lambda name: watcher.Get(WATCHER, name, dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertTrue(get("IsStatusNotifierHostRegistered"))
        self.assertEqual(list(get("RegisteredStatusNotifierItems")), [])

    def test_item_registered_by_path_on_the_callers_connection(self):
        started = time.monotonic()
        conn = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])
        MiniItem(conn, "/MiniItem")
        watcher = conn.get_object(WATCHER, "/StatusNotifierWatcher", introspect=False)
        watcher.RegisterStatusNotifierItem("/MiniItem", dbus_interface=WATCHER)
        events = desktop.Events(since=started)
        item = events.next(desktop.is_event("item-registered"), 5)
        self.assertEqual((item["service"], item["path"]), (conn.get_unique_name(), "/MiniItem"))
        self.assertEqual(
            list(watcher.Get(WATCHER, "RegisteredStatusNotifierItems",
                             dbus_interface=dbus.PROPERTIES_IFACE)),
            [conn.get_unique_name() + "/MiniItem"])
        # The stand-in reads the item while this process serves it.
        reply = {}
        control = conn.get_object(desktop.CONTROL, desktop.CONTROL_PATH, introspect=False)
        control.ItemProperties("mini", dbus_interface=desktop.CONTROL,
                               reply_handler=lambda r: reply.setdefault("r", r),
                               error_handler=lambda e: reply.setdefault("e", e))
        deadline = time.monotonic() + 5
        while not reply and time.monotonic() < deadline:
            pump(0.05)
        self.assertIn("r", reply, reply)
        props = json.loads(str(reply["r"]))["properties"]
        self.assertEqual(props["ToolTip"]["title"], "迷你")
        conn.close()
        gone = events.next(desktop.is_event("item-unregistered"), 5)
        self.assertEqual(gone["path"], "/MiniItem")


class Notifications(unittest.TestCase):
    def test_replace_and_close(self):
        bus = dbus.SessionBus()
        server = bus.get_object(NOTIFY, "/org/freedesktop/Notifications", introspect=False)
        notify = lambda replaces, summary, timeout: int(server.Notify(
            "t", dbus.UInt32(replaces), "", summary, "正文", dbus.Array([], signature="s"),
            dbus.Dictionary({}, signature="sv"), dbus.Int32(timeout), dbus_interface=NOTIFY))
        self.assertEqual(set(server.GetCapabilities(dbus_interface=NOTIFY)),
                         {"body", "icon-static", "actions"})
        self.assertEqual(len(server.GetServerInformation(dbus_interface=NOTIFY)), 4)
        started = time.monotonic()
        closed = []
        bus.add_signal_receiver(lambda nid, reason: closed.append((int(nid), int(reason))),
                                "NotificationClosed", NOTIFY)
        first = notify(0, "一", 0)           # never expires by itself
        self.assertEqual(notify(first, "一（新）", 300), first)
        other = notify(0, "二", 0)
        self.assertNotEqual(other, first)
        server.CloseNotification(dbus.UInt32(other), dbus_interface=NOTIFY)
        pump(0.8)
        self.assertEqual(sorted(closed), sorted([(other, 3), (first, 1)]))
        events = desktop.Events(since=started)
        summaries = [e["summary"] for e in events.notices()]
        self.assertEqual(summaries, ["一", "一（新）", "二"])
        self.assertEqual(events.next(desktop.is_notify(summary="一（新）"), 1)["replaces_id"],
                         first)


if __name__ == "__main__":
    unittest.main(verbosity=2)
