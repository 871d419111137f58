#!/bin/bash
# The README's pictures of the monitors on real desktops: the XFCE panel's tray with our
# icon, a dunst notice and the USB monitor's window under Xvfb; then both monitors on weston's
# headless backend (Wayland), each window with the title bar it draws itself. No printer
# attached: the monitors report their connection errors.
# usage: docs/screenshots/make-monitor-desktop-screenshot.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build}" && pwd)
export LANG=C.UTF-8 QT_FONT_DPI=96
DESKTOP_STUB=none exec tests/desktop/desktop-session.sh "$build/screenshot-desktop" -- \
    bash -c '
set -euo pipefail
config=$(mktemp -d)
trap "rm -rf $config; kill \$(jobs -p) 2>/dev/null || true" EXIT
mkdir -p "$config/xfce4/xfconf/xfce-perchannel-xml"
cat >"$config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
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
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
XML
export XDG_CONFIG_HOME=$config
$(ls /usr/lib/*/xfce4/xfconf/xfconfd | head -n1) >/dev/null 2>&1 &
dunst -config /dev/null >/dev/null 2>&1 &
xfce4-panel --disable-wm-check >/dev/null 2>&1 &
sleep 3

'"$build"'/monitor/usbmonitor >/dev/null 2>&1 &
usb=$!
sleep 7
import -window root "$DESKTOP_OUTDIR/full.png"
convert "$DESKTOP_OUTDIR/full.png" -crop 640x1024+640+0 +repage docs/screenshots/monitor-xfce-desktop.png
echo docs/screenshots/monitor-xfce-desktop.png
kill $usb
wait $usb || true

# Wayland. Run from the build tree, the monitors find their client buffer integration
# through QT_PLUGIN_PATH (installed, in <prefix>/plugins).
weston --backend=headless-backend.so --debug --socket=wl-shot --idle-time=0 --use-pixman \
    --width=1280 --height=1024 >/dev/null 2>&1 &
sleep 2
export WAYLAND_DISPLAY=wl-shot QT_QPA_PLATFORM=wayland QT_PLUGIN_PATH='"$build"'/monitor/plugins
'"$build"'/monitor/usbmonitor >/dev/null 2>&1 &
'"$build"'/monitor/netmonitor >/dev/null 2>&1 &
sleep 7
shots=$(mktemp -d)
(cd "$shots" && weston-screenshooter)
mv "$shots"/*.png docs/screenshots/monitor-wayland-weston.png
rmdir "$shots"
echo docs/screenshots/monitor-wayland-weston.png
'
