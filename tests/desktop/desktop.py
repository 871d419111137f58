"""Helpers for tests that run on desktop-session.sh: what the tray watcher and notification
server received, the tray item's live properties, the windows on the X server, widget texts
through the accessibility bus, and screenshots.

Events (see desktopstub.py) carry "t" in CLOCK_MONOTONIC seconds, the clock of
time.monotonic(), so a test can take a time before it starts a program and ask only for what
came after it. `Events.next` looks for events in order, so a test states the sequence it expects
without assuming that nothing else arrives in between.
"""

import json
import os
import re
import subprocess
import sys
import time

import dbus

CONTROL = "org.zlp.TestDesktop"
CONTROL_PATH = "/TestDesktop"


class Timeout(AssertionError):
    pass


# The factor by which an emulated build (the arm64 suite under qemu) stretches the time-outs;
# a test widens the slack of its timing bounds by it.
TIME_SCALE = int(os.environ.get("ZLP_TEST_TIMEOUT_SCALE", "1"))


def program_of(pid):
    """The program file a process runs: /proc/PID/exe, or, for a program the kernel hands to
    an interpreter registered in binfmt_misc (an arm64 build under qemu-user, whose exe link
    names qemu), the program the interpreter was given: the first argument after it."""
    exe = os.readlink(f"/proc/{pid}/exe")
    interpreters = set()
    folder = "/proc/sys/fs/binfmt_misc"
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        try:
            with open(os.path.join(folder, name)) as f:
                for line in f:
                    if line.startswith("interpreter "):
                        interpreters.add(os.path.realpath(line.split(" ", 1)[1].strip()))
        except OSError:
            pass
    if exe in interpreters:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            args = f.read().split(b"\0")
        if len(args) > 1:
            return os.fsdecode(args[1])
    return exe


def wait_until(what, probe, timeout, interval=0.05):
    """Calls probe until it returns something true, and returns that; Timeout past timeout s."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Timeout("%s: not within %.1f s" % (what, timeout))
        time.sleep(interval)


# ---- what the stand-in recorded ----------------------------------------------------------

def read_events(path=None):
    path = path or os.environ["DESKTOP_EVENTS"]
    events = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.endswith("\n"):
                events.append(json.loads(line))
    return events


def is_notify(summary=None, body=None, app_icon=None, expire_timeout=None, app_name=None):
    def match(e):
        return (e["event"] == "notify"
                and (app_name is None or e["app_name"] == app_name)
                and (summary is None or e["summary"] == summary)
                and (body is None or e["body"] == body)
                and (app_icon is None or e["app_icon"] == app_icon)
                and (expire_timeout is None or e["expire_timeout"] == expire_timeout))
    return match


def is_event(name, **fields):
    def match(e):
        return e["event"] == name and all(e.get(k) == v for k, v in fields.items())
    return match


class Events:
    """A cursor over the event log: each `next` finds the first matching event after the
    previous match (and after `since`, a time.monotonic() value)."""

    def __init__(self, since=0.0, path=None):
        self.path = path or os.environ["DESKTOP_EVENTS"]
        self.since = since
        self.position = 0

    def all(self):
        return [e for e in read_events(self.path) if e["t"] >= self.since]

    def find(self, match):
        events = self.all()
        for index in range(self.position, len(events)):
            if match(events[index]):
                return index, events[index]
        return None

    def next(self, match, timeout, what="event"):
        index, event = wait_until(what, lambda: self.find(match), timeout)
        self.position = index + 1
        return event

    def skipped_notices(self, upto_event):
        """Notices between the cursor's previous position and upto_event (for messages)."""
        return [e for e in self.all() if e["event"] == "notify" and e["t"] < upto_event["t"]]

    def notices(self):
        return [e for e in self.all() if e["event"] == "notify"]


def _query_item(item_id):
    proxy = dbus.SessionBus().get_object(CONTROL, CONTROL_PATH, introspect=False)
    return json.loads(str(proxy.ItemProperties(item_id or "", dbus_interface=CONTROL,
                                               timeout=10)))


def item_properties(item_id=None):
    """A registered tray item's properties read now over D-Bus by the stand-in, or None when
    there is no such item. item_id picks the item by its Id (Qt: the program's name, such as
    "usbmonitor"); without it, the newest item."""
    reply = _query_item(item_id)
    return reply["properties"] if reply else None


def wait_tooltip(title, timeout, item_id=None):
    """Waits until the tray item's ToolTip title reads `title`; returns the properties."""
    last = {}

    def probe():
        props = item_properties(item_id)
        last["props"] = props
        return props if props and props["ToolTip"]["title"] == title else None
    try:
        return wait_until("tray tooltip %r" % title, probe, timeout, interval=0.2)
    except Timeout:
        tooltip = last.get("props") and last["props"]["ToolTip"]
        raise Timeout("tray tooltip %r not within %.1f s; last %r" % (title, timeout, tooltip))


# ---- the X server ------------------------------------------------------------------------

def x_windows():
    """Top-level windows of the X server: dicts with id, name, geometry and mapped state."""
    out = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True,
                         check=True, timeout=10).stdout
    windows = []
    for m in re.finditer(r'^\s+(0x[0-9a-f]+) (?:"(.*?)":|\(has no name\)).*?'
                         r'(\d+)x(\d+)\+(-?\d+)\+(-?\d+)', out, re.M):
        windows.append({"id": m.group(1), "name": m.group(2) or "",
                        "width": int(m.group(3)), "height": int(m.group(4))})
    for w in windows:
        info = subprocess.run(["xwininfo", "-id", w["id"]], capture_output=True, text=True,
                              timeout=10).stdout
        w["mapped"] = "Map State: IsViewable" in info
        x = re.search(r"Absolute upper-left X:\s+(-?\d+)", info)
        y = re.search(r"Absolute upper-left Y:\s+(-?\d+)", info)
        w["x"], w["y"] = (int(x.group(1)), int(y.group(1))) if x and y else (None, None)
    return windows


def x_window(name):
    """The top-level window titled `name` (None when there is none)."""
    for w in x_windows():
        if w["name"] == name:
            return w
    return None


def wm_state(window_id):
    """The _NET_WM_STATE atoms of a window (the client sets them itself without a manager)."""
    out = subprocess.run(["xprop", "-id", window_id, "_NET_WM_STATE"], capture_output=True,
                         text=True, timeout=10).stdout
    return re.findall(r"_NET_WM_STATE_[A-Z_]+", out)


def screenshot(path, window="root"):
    subprocess.run(["import", "-window", window, path], check=True, timeout=30,
                   capture_output=True)
    return path


def region_stats(path, x, y, width, height):
    """Colour statistics of a part of an image: the number of distinct colours and the share
    of pixels that differ from the most common colour (0 for an empty, flat area)."""
    crop = "%dx%d+%d+%d" % (width, height, x, y)
    out = subprocess.run(["convert", path, "-crop", crop, "+repage", "-depth", "8",
                          "-format", "%c", "histogram:info:-"], capture_output=True, text=True,
                         check=True, timeout=60).stdout
    counts = [int(m.group(1)) for m in re.finditer(r"^\s*(\d+):", out, re.M)]
    total = sum(counts)
    return {"colours": len(counts),
            "busy": (total - max(counts)) / total if total else 0.0,
            "pixels": total}


def has_colour(path, x, y, width, height, predicate, minimum):
    """True when at least `minimum` pixels of the area have an (r, g, b) the predicate likes."""
    crop = "%dx%d+%d+%d" % (width, height, x, y)
    out = subprocess.run(["convert", path, "-crop", crop, "+repage", "-depth", "8",
                          "-format", "%c", "histogram:info:-"], capture_output=True, text=True,
                         check=True, timeout=60).stdout
    found = 0
    for m in re.finditer(r"^\s*(\d+): \(\s*(\d+),\s*(\d+),\s*(\d+)", out, re.M):
        if predicate(int(m.group(2)), int(m.group(3)), int(m.group(4))):
            found += int(m.group(1))
    return found >= minimum


# ---- the accessibility bus ---------------------------------------------------------------

def _atspi():
    import pyatspi
    return pyatspi


def find_application(name, timeout=10):
    """The accessible of the running application called `name` (Qt: the program's name)."""
    pyatspi = _atspi()

    def probe():
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name == name:
                return app
        return None
    return wait_until("application %r on the accessibility bus" % name, probe, timeout)


def walk(node):
    yield node
    for child in node:
        if child is not None:
            yield from walk(child)


def find_window(app, title, timeout=10):
    return wait_until("window %r" % title,
                      lambda: next((w for w in app if w is not None and w.name == title), None),
                      timeout)


def find(node, role=None, name=None, object_name=None):
    """Accessibles below node with the role name ("label", "push button", "text", ...), the
    accessible name (for labels and buttons: their text) and/or the form's object name (our
    programs put it in the accessible description); in form order."""
    return [n for n in walk(node)
            if (role is None or n.getRoleName() == role) and (name is None or n.name == name)
            and (object_name is None or n.description == object_name)]


def widget(node, object_name):
    """The one accessible below node whose form object name is object_name."""
    found = find(node, object_name=object_name)
    if len(found) != 1:
        raise AssertionError("%d widgets named %r" % (len(found), object_name))
    return found[0]


def texts_by_description(node):
    """{accessible description: accessible name} of every widget below node that has a
    description (our monitors describe their status and settings labels: "打印机状态",
    "处理建议", "打印质量", ...; a label's name is its text)."""
    return {n.description: n.name for n in walk(node) if n.description}


def snapshot(node):
    """Every accessible below node, each read once: {"node", "name", "description", "role"}."""
    return [{"node": n, "name": n.name, "description": n.description, "role": n.getRoleName()}
            for n in walk(node)]


def one_of(nodes, name, role=None):
    """The one accessible of a snapshot with this accessible name (and role)."""
    found = [n["node"] for n in nodes if n["name"] == name and (role is None or n["role"] == role)]
    if len(found) != 1:
        raise AssertionError("%d widgets called %r" % (len(found), name))
    return found[0]


def label_texts(node):
    """The texts of every label below node, in the form's order."""
    return [n.name for n in find(node, role="label")]


def texts_by_object_name(node):
    """{object name: accessible name} of every named widget below node (labels: their text)."""
    return {n.description: n.name for n in walk(node) if n.description}


def states(node):
    pyatspi = _atspi()
    names = {pyatspi.STATE_SHOWING: "showing", pyatspi.STATE_VISIBLE: "visible",
             pyatspi.STATE_ENABLED: "enabled", pyatspi.STATE_FOCUSED: "focused"}
    return {names[s] for s in node.getState().getStates() if s in names}


def press(button):
    """Presses a button through its first accessible action (Qt: "Press")."""
    action = button.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click"):
            return action.doAction(i)
    return action.doAction(0)


def type_text(edit, text):
    """Puts text into a line edit as if typed (replaces its contents)."""
    return edit.queryEditableText().setTextContents(text)


def text_of(node):
    t = node.queryText()
    return t.getText(0, t.characterCount)


def extents(node):
    """(x, y, width, height) of an accessible on the screen."""
    pyatspi = _atspi()
    e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def log(*args):
    print(*args, file=sys.stderr, flush=True)


# ---- the tray item, as a panel drives it ---------------------------------------------------

def _item_proxy(item_id=None):
    reply = _query_item(item_id)
    if not reply:
        raise AssertionError("no tray item %sregistered" % ((item_id + " ") if item_id else ""))
    item = dbus.SessionBus().get_object(reply["service"], reply["path"], introspect=False)
    return item, reply


def activate_item(method="Activate", x=0, y=0, item_id=None):
    """What a panel does on a click on the tray icon: "Activate" (Qt: a single click,
    Trigger), "SecondaryActivate" (Qt: MiddleClick) or "ContextMenu"."""
    item, _ = _item_proxy(item_id)
    getattr(item, method)(dbus.Int32(x), dbus.Int32(y),
                          dbus_interface="org.kde.StatusNotifierItem", timeout=10)


def _menu(item_id=None):
    item, reply = _item_proxy(item_id)
    path = reply["properties"]["Menu"]
    if not path or path == "/NO_DBUSMENU":
        raise AssertionError("the tray item has no menu")
    return dbus.SessionBus().get_object(reply["service"], path, introspect=False)


def menu_entries(item_id=None):
    """The tray item's menu as a panel shows it: dicts with id, label, type ("standard" or
    "separator"), enabled and visible, in order."""
    menu = _menu(item_id)
    menu.AboutToShow(dbus.Int32(0), dbus_interface="com.canonical.dbusmenu", timeout=10)
    _, layout = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"),
                               dbus_interface="com.canonical.dbusmenu", timeout=10)
    entries = []
    for child in layout[2]:
        cid, props, _ = child
        entries.append({"id": int(cid), "label": str(props.get("label", "")),
                        "type": str(props.get("type", "standard")),
                        "enabled": bool(props.get("enabled", True)),
                        "visible": bool(props.get("visible", True))})
    return entries


def menu_click(label, item_id=None):
    """Chooses the tray menu entry with this label (as shown, "&" included)."""
    menu = _menu(item_id)
    for entry in menu_entries(item_id):
        if entry["label"] == label:
            menu.Event(dbus.Int32(entry["id"]), "clicked", dbus.Int32(0, variant_level=1),
                       dbus.UInt32(0), dbus_interface="com.canonical.dbusmenu", timeout=10)
            return
    raise AssertionError("no tray menu entry %r in %r" % (label, menu_entries(item_id)))


def stop_program(proc, timeout=10):
    """Ends a program started by a test or the demo: SIGTERM, then SIGKILL if it lingers."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=timeout)
