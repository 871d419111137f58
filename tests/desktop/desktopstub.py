#!/usr/bin/python3
"""A desktop's tray and notification services, for tests.

Serves on the session bus
  - org.kde.StatusNotifierWatcher with one host registered (this process), as a panel of
    KDE Plasma or GNOME's AppIndicator extension does, so that Qt shows its tray icon as a
    StatusNotifierItem;
  - org.freedesktop.Notifications, which receives the tray icon's balloons;
  - org.zlp.TestDesktop, through which tests read the registered item's properties.

Everything that happens is appended as one JSON object per line to the events file, each
with "t", the CLOCK_MONOTONIC time in seconds (comparable with time.monotonic() of any
process on the machine), and "event":
  ready                  the services are on the bus
  host-registered        a host registered (service)
  item-registered        service, path, sender
  item-unregistered      service, path (the item's owner left the bus)
  item-signal            signal (NewIcon, NewToolTip, NewStatus, ...), service
  item-properties        service, path, properties (read live with GetAll), reason
  notify                 id, app_name, replaces_id, app_icon, summary, body, actions,
                         hints, expire_timeout, sender
  notification-closed    id, reason (1 expired, 3 closed by a call)
  close-notification     id (CloseNotification was called)

  desktopstub.py serve --events FILE
  desktopstub.py item-properties [--id ID]
                                     print a tray item's properties as JSON (session bus
                                     from DBUS_SESSION_BUS_ADDRESS)
  desktopstub.py notices --events FILE [--since T]
                                     the notices received: time, title, text, icon, duration
"""

import argparse
import hashlib
import json
import os
import sys
import time
import xml.etree.ElementTree as ET

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_IFACE = "org.kde.StatusNotifierItem"
NOTIFICATIONS = "org.freedesktop.Notifications"
NOTIFICATIONS_PATH = "/org/freedesktop/Notifications"
CONTROL = "org.zlp.TestDesktop"
CONTROL_PATH = "/TestDesktop"
PROPERTIES = dbus.PROPERTIES_IFACE
ITEM_SIGNALS = ("NewTitle", "NewIcon", "NewAttentionIcon", "NewOverlayIcon", "NewToolTip",
                "NewStatus", "NewMenu")


def plain(value):
    """D-Bus values as JSON values; byte arrays (icon data) as their size and digest."""
    if isinstance(value, (dbus.ByteArray, bytes)):
        data = bytes(value)
        return {"bytes": len(data), "sha1": hashlib.sha1(data).hexdigest()}
    if isinstance(value, dbus.Array) and value.signature == "y":
        data = bytes(int(b) for b in value)
        return {"bytes": len(data), "sha1": hashlib.sha1(data).hexdigest()}
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value)
    if isinstance(value, str):
        return str(value)
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return repr(value)


def pixmaps(value):
    """a(iiay): the icon sizes a tray item offers, with a digest of each image."""
    result = []
    for width, height, data in value:
        raw = bytes(int(b) for b in data)
        result.append({"width": int(width), "height": int(height), "bytes": len(raw),
                       "sha1": hashlib.sha1(raw).hexdigest(),
                       "opaque_pixels": sum(1 for i in range(0, len(raw) - 3, 4) if raw[i] != 0)})
    return result


def item_properties(props):
    """The StatusNotifierItem properties, with ToolTip (sa(iiay)ss) spelt out."""
    result = {}
    for name, value in props.items():
        name = str(name)
        if name in ("IconPixmap", "AttentionIconPixmap", "OverlayIconPixmap"):
            result[name] = pixmaps(value)
        elif name == "ToolTip":
            icon_name, icon_pixmaps, title, text = value
            result[name] = {"icon_name": str(icon_name), "pixmaps": pixmaps(icon_pixmaps),
                            "title": str(title), "text": str(text)}
        else:
            result[name] = plain(value)
    return result


class EventLog:
    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8")

    def write(self, event, **fields):
        record = {"t": time.monotonic(), "event": event}
        record.update(fields)
        self.file.write(json.dumps(record, ensure_ascii=False) + "\n")
        self.file.flush()


def with_properties(introspection_xml, interface, properties):
    """dbus-python leaves properties out of its Introspect data; Qt reads the watcher's
    properties only when they are declared there, so put them in."""
    root = ET.fromstring(introspection_xml)
    for node in root.findall("interface"):
        if node.get("name") == interface:
            for name, signature in properties:
                ET.SubElement(node, "property", name=name, type=signature, access="read")
    return '<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"\n' \
           '"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">\n' + \
           ET.tostring(root, encoding="unicode")


class Watcher(dbus.service.Object):
    """org.kde.StatusNotifierWatcher with this process as the one registered host."""

    PROPERTY_TYPES = (("RegisteredStatusNotifierItems", "as"),
                      ("IsStatusNotifierHostRegistered", "b"), ("ProtocolVersion", "i"))

    def __init__(self, bus, log):
        super().__init__(bus, WATCHER_PATH)
        self.bus = bus
        self.log = log
        self.items = []  # (service, path), in order of registration
        self.watches = {}
        for name in ITEM_SIGNALS:
            bus.add_signal_receiver(self.on_item_signal, signal_name=name,
                                    dbus_interface=ITEM_IFACE, sender_keyword="sender",
                                    member_keyword="member")

    def item_strings(self):
        return dbus.Array([service + path for service, path in self.items], signature="s")

    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        # The argument is a bus name (the item lives at /StatusNotifierItem) or an object path
        # on the caller's own connection.
        if service.startswith("/"):
            service, path = sender, service
        else:
            path = "/StatusNotifierItem"
        entry = (str(service), str(path))
        if entry not in self.items:
            self.items.append(entry)
            self.watches[entry] = self.bus.watch_name_owner(
                entry[0], lambda owner, e=entry: self.on_owner(e, owner))
        self.log.write("item-registered", service=entry[0], path=entry[1], sender=str(sender))
        self.StatusNotifierItemRegistered(entry[0] + entry[1])
        self.PropertiesChanged(WATCHER, {"RegisteredStatusNotifierItems": self.item_strings()}, [])
        GLib.idle_add(self.record_properties, entry, "registered")

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        self.log.write("host-registered", service=str(service))
        self.StatusNotifierHostRegistered()

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def on_owner(self, entry, owner):
        if owner or entry not in self.items:
            return
        self.items.remove(entry)
        self.watches.pop(entry).cancel()
        self.log.write("item-unregistered", service=entry[0], path=entry[1])
        self.StatusNotifierItemUnregistered(entry[0] + entry[1])

    def on_item_signal(self, *args, sender=None, member=None):
        for entry in self.items:
            if self.owner_of(entry[0]) == sender:
                self.log.write("item-signal", signal=str(member), service=entry[0])
                self.record_properties(entry, str(member))

    def owner_of(self, service):
        if service.startswith(":"):
            return service
        try:
            return str(self.bus.get_name_owner(service))
        except dbus.DBusException:
            return None

    def read_item(self, entry, done):
        """Reads the item's properties without blocking: a program that is still busy (a
        constructor that emits signals before its event loop runs) must not hold up the
        recording of what else arrives. done(properties or None, error or None)."""
        proxy = self.bus.get_object(entry[0], entry[1], introspect=False)
        proxy.GetAll(ITEM_IFACE, dbus_interface=PROPERTIES, timeout=10,
                     reply_handler=lambda props: done(item_properties(props), None),
                     error_handler=lambda error: done(None, str(error)))

    def record_properties(self, entry, reason, then=None):
        def done(props, error):
            if error is not None:
                self.log.write("item-properties", service=entry[0], path=entry[1],
                               reason=reason, error=error)
            else:
                self.log.write("item-properties", service=entry[0], path=entry[1],
                               reason=reason, properties=props)
            if then:
                then(props, error)
        self.read_item(entry, done)
        return False

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != WATCHER:
            raise dbus.exceptions.DBusException("no such interface " + interface,
                                                name="org.freedesktop.DBus.Error.UnknownInterface")
        return {"RegisteredStatusNotifierItems": self.item_strings(),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "ProtocolVersion": dbus.Int32(0)}

    @dbus.service.method(PROPERTIES, in_signature="ssv", out_signature="")
    def Set(self, interface, name, value):
        raise dbus.exceptions.DBusException("read-only property " + name,
                                            name="org.freedesktop.DBus.Error.PropertyReadOnly")

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s",
                         path_keyword="object_path", connection_keyword="connection")
    def Introspect(self, object_path, connection):
        base = dbus.service.Object.Introspect(self, object_path, connection)
        return with_properties(base, WATCHER, self.PROPERTY_TYPES)


class Notifications(dbus.service.Object):
    """org.freedesktop.Notifications that shows nothing and records everything."""

    def __init__(self, bus, log):
        super().__init__(bus, NOTIFICATIONS_PATH)
        self.log = log
        self.next_id = 1
        self.timers = {}

    @dbus.service.method(NOTIFICATIONS, in_signature="susssasa{sv}i", out_signature="u",
                         sender_keyword="sender")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints,
               expire_timeout, sender):
        if replaces_id and int(replaces_id) in self.timers:
            nid = int(replaces_id)
            timer = self.timers.pop(nid)
            if timer:
                GLib.source_remove(timer)
        else:
            nid = self.next_id
            self.next_id += 1
        self.log.write("notify", id=nid, app_name=str(app_name), replaces_id=int(replaces_id),
                       app_icon=str(app_icon), summary=str(summary), body=str(body),
                       actions=[str(a) for a in actions], hints=plain(hints),
                       expire_timeout=int(expire_timeout), sender=str(sender))
        if expire_timeout > 0:
            self.timers[nid] = GLib.timeout_add(int(expire_timeout), self.expire, nid)
        else:
            self.timers[nid] = 0
        return dbus.UInt32(nid)

    def expire(self, nid):
        self.timers.pop(nid, None)
        self.log.write("notification-closed", id=nid, reason=1)
        self.NotificationClosed(dbus.UInt32(nid), dbus.UInt32(1))
        return False

    @dbus.service.method(NOTIFICATIONS, in_signature="u", out_signature="")
    def CloseNotification(self, nid):
        self.log.write("close-notification", id=int(nid))
        if nid in self.timers:
            timer = self.timers.pop(int(nid))
            if timer:
                GLib.source_remove(timer)
            self.log.write("notification-closed", id=int(nid), reason=3)
            self.NotificationClosed(dbus.UInt32(nid), dbus.UInt32(3))

    @dbus.service.method(NOTIFICATIONS, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return dbus.Array(["body", "icon-static", "actions"], signature="s")

    @dbus.service.method(NOTIFICATIONS, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("zlp-test-desktop", "ZLP5520NW tests", "1.0", "1.2")

    @dbus.service.signal(NOTIFICATIONS, signature="uu")
    def NotificationClosed(self, nid, reason):
        pass

    @dbus.service.signal(NOTIFICATIONS, signature="us")
    def ActionInvoked(self, nid, action_key):
        pass


class Control(dbus.service.Object):
    """What tests ask the desktop."""

    def __init__(self, bus, watcher):
        super().__init__(bus, CONTROL_PATH)
        self.watcher = watcher

    @dbus.service.method(CONTROL, in_signature="s", out_signature="s",
                         async_callbacks=("reply", "error"))
    def ItemProperties(self, item_id, reply, error):
        """The properties, read now, of the registered item whose Id is item_id (Qt: the
        program's name), or of the newest item when item_id is empty; as JSON
        {"service", "path", "properties"}, or "null" when there is no such item."""
        entries = list(self.watcher.items)
        if not item_id:
            entries = entries[-1:]
        if not entries:
            reply("null")
            return
        results = {}

        def done(entry, props, failure):
            results[entry] = (props, failure)
            if len(results) < len(entries):
                return
            failures = []
            for e in reversed(entries):
                props, failure = results[e]
                if failure is not None:
                    failures.append(failure)
                elif not item_id or props.get("Id") == item_id:
                    reply(json.dumps({"service": e[0], "path": e[1], "properties": props},
                                     ensure_ascii=False))
                    return
            if failures and not item_id:
                error(dbus.exceptions.DBusException(failures[0]))
            else:
                reply("null")

        for entry in entries:
            self.watcher.record_properties(
                entry, "query", lambda props, failure, e=entry: done(e, props, failure))


def print_notices(events, since):
    """The notices of an event log as a user would have seen them, one per line."""
    with open(events, encoding="utf-8") as f:
        records = [json.loads(line) for line in f if line.endswith("\n")]
    start = since if since is not None else (records[0]["t"] if records else 0.0)
    for r in records:
        if r["event"] == "notify" and r["t"] >= start:
            print("+%.3fs\t%s\t%s\t%s\t%d ms" % (r["t"] - start, r["summary"],
                                                r["body"].replace("\n", " / "),
                                                r["app_icon"] or "-", r["expire_timeout"]))


def serve(events):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    log = EventLog(events)
    watcher = Watcher(bus, log)
    Notifications(bus, log)
    Control(bus, watcher)
    # Names only once every object is in place: Qt asks as soon as it sees the watcher.
    names = [dbus.service.BusName(n, bus, do_not_queue=True)
             for n in (CONTROL, NOTIFICATIONS, WATCHER)]
    host = "org.kde.StatusNotifierHost-%d" % os.getpid()
    names.append(dbus.service.BusName(host, bus, do_not_queue=True))
    watcher.RegisterStatusNotifierHost(host)
    log.write("ready", bus=bus.get_unique_name())
    loop = GLib.MainLoop()
    for sig in (2, 15):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    loop.run()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    serve_cmd = sub.add_parser("serve")
    serve_cmd.add_argument("--events", required=True)
    props_cmd = sub.add_parser("item-properties")
    props_cmd.add_argument("--id", default="", help="the item's Id (default: the newest item)")
    notices_cmd = sub.add_parser("notices")
    notices_cmd.add_argument("--events", required=True)
    notices_cmd.add_argument("--since", type=float, help="CLOCK_MONOTONIC seconds")
    args = parser.parse_args()
    if args.command == "serve":
        return serve(args.events)
    if args.command == "notices":
        print_notices(args.events, args.since)
        return 0
    proxy = dbus.SessionBus().get_object(CONTROL, CONTROL_PATH, introspect=False)
    print(proxy.ItemProperties(args.id, dbus_interface=CONTROL, timeout=10))
    return 0

if __name__ == "__main__":
    sys.exit(main())
