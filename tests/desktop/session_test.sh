#!/bin/bash
# desktop-session.sh itself: two sessions side by side get displays and buses of their own,
# the command's exit status comes through, and nothing it started outlives it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: session_test.sh OUTDIR}
rm -rf "$out"
mkdir -p "$out"
failed=0
check() {
    if ! eval "$2"; then
        echo "FAIL: $1" >&2
        failed=1
    else
        echo "ok: $1"
    fi
}

probe='echo "$DISPLAY $DBUS_SESSION_BUS_ADDRESS" >"$DESKTOP_OUTDIR/env";
       echo "$DESKTOP_SESSION_PIDS" >"$DESKTOP_OUTDIR/pids";
       dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
           org.freedesktop.DBus.ListNames >"$DESKTOP_OUTDIR/names";
       xprop -root AT_SPI_BUS >"$DESKTOP_OUTDIR/atspi";
       exit "$1"'
"$here/desktop-session.sh" "$out/a" -- sh -c "sleep 1; $probe" sh 7 &
first=$!
set +e
"$here/desktop-session.sh" "$out/b" -- sh -c "$probe" sh 0
rc_b=$?
wait "$first"
rc_a=$?
set -e

check "the command's exit status is the session's" '[ "$rc_a" = 7 ] && [ "$rc_b" = 0 ]'
check "each session has its own display and bus" \
    '[ -s "$out/a/env" ] && [ -s "$out/b/env" ] && ! cmp -s "$out/a/env" "$out/b/env"'
for s in a b; do
    check "session $s: the tray watcher and notification server are on its bus" \
        'grep -q "org.kde.StatusNotifierWatcher" "$out/$s/names" &&
         grep -q "org.freedesktop.Notifications" "$out/$s/names"'
    check "session $s: the accessibility bus address is on the root window" \
        'grep -q "AT_SPI_BUS(STRING) = \"unix:" "$out/$s/atspi"'
    check "session $s: the stand-in wrote its events" \
        'grep -q "\"event\": \"ready\"" "$out/$s/desktop-events.jsonl"'
    # Exited processes may linger as zombies of an init that does not reap; only running
    # ones count.
    check "session $s: every process it started is gone" \
        '(for p in $(cat "$out/$s/pids"); do
             st=$(ps -o stat= -p "$p" 2>/dev/null || true)
             [ -z "$st" ] || [ "${st#Z}" != "$st" ] || { echo "still running: $p" >&2; exit 1; }
         done)'
done
# Stopped from outside (as a test runner does at its time-out): the command is stopped with
# it, at once, and nothing is left.
"$here/desktop-session.sh" "$out/c" -- sh -c 'echo "$DESKTOP_SESSION_PIDS" >"$DESKTOP_OUTDIR/pids";
    exec sleep 59.8765' &
session=$!
for _ in $(seq 200); do
    [ -s "$out/c/pids" ] && break
    sleep 0.05
done
sleep 0.2
stopped_at=$SECONDS
kill -TERM "$session"
set +e
wait "$session"
rc_c=$?
set -e
check "a session stopped by SIGTERM ends within 5 s" '[ $((SECONDS - stopped_at)) -le 5 ]'
check "a session stopped by SIGTERM reports it" '[ "$rc_c" = 143 ]'
check "no sleep of the stopped session is left" '! pgrep -f "^sleep 59.8765$" >/dev/null'
check "session c: every process it started is gone" \
    '(for p in $(cat "$out/c/pids"); do
         st=$(ps -o stat= -p "$p" 2>/dev/null || true)
         [ -z "$st" ] || [ "${st#Z}" != "$st" ] || { echo "still running: $p" >&2; exit 1; }
     done)'
exit "$failed"
