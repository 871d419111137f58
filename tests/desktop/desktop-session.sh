#!/bin/bash
# Runs a command on a desktop of its own, as a user's session would offer it to a tray program:
#
#   desktop-session.sh OUTDIR -- COMMAND [ARG...]
#
# An X server (Xvfb, on the first free display), a private session bus, the accessibility
# bus with its address on the root window (AT_SPI_BUS, set before COMMAND starts, so that Qt
# finds it on its first try), and desktopstub.py: a tray watcher with a registered host and a
# notification server, which records what programs register and send in
# OUTDIR/desktop-events.jsonl. COMMAND then runs with DISPLAY, DBUS_SESSION_BUS_ADDRESS,
# QT_ACCESSIBILITY=1 and QT_QPA_PLATFORM=xcb (and DESKTOP_EVENTS, DESKTOP_OUTDIR for tests,
# DESKTOP_SESSION_PIDS: the processes started here); its exit status is the script's.
# Everything started here is stopped afterwards, also when the script is interrupted.
#
# Logs of the X server, the buses and the stub land in OUTDIR too.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 3 ] && [ "$2" = "--" ] || { echo "usage: desktop-session.sh OUTDIR -- COMMAND [ARG...]" >&2; exit 2; }
outdir=$1
shift 2
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
python=${DESKTOP_PYTHON:-/usr/bin/python3}
launcher=${AT_SPI_BUS_LAUNCHER:-/usr/libexec/at-spi-bus-launcher}
startup_timeout=${DESKTOP_STARTUP_TIMEOUT:-20}

rundir=$(mktemp -d /tmp/zlp-desktop.XXXXXX)
pids=()
cleanup() {
    local rc=$?
    if [ -n "${command_pid:-}" ]; then
        kill -TERM "$command_pid" 2>/dev/null || true
        wait "$command_pid" 2>/dev/null || true
    fi
    # Newest first: the stub and the accessibility bus before the buses and the X server.
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[$i]}" 2>/dev/null || true
    done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        for _ in $(seq 30); do
            kill -0 "${pids[$i]}" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "${pids[$i]}" 2>/dev/null || true
        wait "${pids[$i]}" 2>/dev/null || true
    done
    rm -rf "$rundir"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "desktop-session.sh: $*" >&2
    exit 2
}

# Waits up to startup_timeout seconds for a command to succeed.
wait_for() {
    local what=$1
    shift
    local deadline=$((SECONDS + startup_timeout))
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || fail "$what did not come up within ${startup_timeout}s"
        sleep 0.05
    done
}

# The X server picks its own free display and tells us which (-displayfd). -noreset: the
# server must not reset when the last client leaves, or the root window loses AT_SPI_BUS.
mkfifo "$rundir/displayfd"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 \
    3>"$rundir/displayfd" >"$outdir/xvfb.log" 2>&1 &
pids+=($!)
display=
read -r -t "$startup_timeout" display <"$rundir/displayfd" || true
[ -n "$display" ] || fail "Xvfb did not start (see $outdir/xvfb.log)"
export DISPLAY=":$display"

# A private session bus with no activatable services: the stub alone answers for the tray
# and notifications, and nothing else can start up and take its names.
mkdir -m 0700 "$rundir/runtime" "$rundir/services"
cat >"$rundir/session.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$rundir</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$rundir/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
exec 4>"$rundir/busaddress"
dbus-daemon --config-file="$rundir/session.conf" --nofork --print-address=4 \
    >"$outdir/session-bus.log" 2>&1 &
pids+=($!)
exec 4>&-
wait_for "the session bus" test -s "$rundir/busaddress"
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$rundir/busaddress")
export DBUS_SESSION_BUS_ADDRESS
export XDG_RUNTIME_DIR="$rundir/runtime"

# The accessibility bus; its address goes on the root window before the program starts.
"$launcher" --launch-immediately --a11y=1 >"$outdir/at-spi.log" 2>&1 &
pids+=($!)
a11y_address() {
    dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress 2>/dev/null | sed -n 's/^ *\(unix:.*\)$/\1/p'
}
a11y_ready() { [ -n "$(a11y_address)" ]; }
wait_for "the accessibility bus" a11y_ready
xprop -root -f AT_SPI_BUS 8s -set AT_SPI_BUS "$(a11y_address)"
wait_for "AT_SPI_BUS on the root window" sh -c 'xprop -root AT_SPI_BUS | grep -q unix:'

# The tray watcher and notification server; DESKTOP_STUB=none leaves both to the command,
# which starts the real ones (a panel, a notification server) when it wants them.
events="$outdir/desktop-events.jsonl"
: >"$events"
if [ "${DESKTOP_STUB:-}" != none ]; then
    "$python" "$here/desktopstub.py" serve --events "$events" >"$outdir/desktopstub.log" 2>&1 &
    pids+=($!)
    wait_for "desktopstub.py" grep -q '"event": "ready"' "$events"
fi

export QT_ACCESSIBILITY=1
export QT_QPA_PLATFORM=xcb
export DESKTOP_EVENTS="$events"
export DESKTOP_OUTDIR="$outdir"
export DESKTOP_SESSION_PIDS="${pids[*]}"
# In the background, so that a signal to this script is acted on at once (bash runs traps
# only between foreground commands) and reaches the command too.
set +e
"$@" &
command_pid=$!
wait "$command_pid"
rc=$?
command_pid=
set -e
exit "$rc"
