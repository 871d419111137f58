#!/bin/bash
# The PDF reader against stand-in viewers on a PATH of its own: which viewer it picks, that it
# waits until the viewer is closed, how it falls back, and its refusals.
# Usage: pdfreader_test.sh PDFREADER FAKEVIEWER
set -u
reader=$1
fake=$2
work=$(mktemp -d)
reader_pid=
# Stand-in viewers still up after a failed case, and the reader, are ended by their ids.
cleanup() {
    for pidfile in "$work"/fake/*.pid; do
        [ -f "$pidfile" ] && kill -TERM "$(cat "$pidfile")" 2>/dev/null
    done
    [ -n "$reader_pid" ] && kill "$reader_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A PATH with the tools the reader needs and the given stand-ins, nothing else.
setup() {
    rm -rf "${work:?}/bin" "${work:?}/fake"
    mkdir -p "$work/bin" "$work/fake"
    : >"$work/fake/calls"
    for tool in sh realpath date id grep sed sleep cmp; do
        ln -s "$(command -v $tool)" "$work/bin/$tool"
    done
    for viewer; do
        ln -s "$fake" "$work/bin/$viewer"
    done
    # The stand-ins need a few tools of their own.
    for tool in basename ln mv rm tr cut; do
        ln -sf "$(command -v $tool)" "$work/bin/$tool"
    done
}

start_reader() { # FILE [env...]
    local file=$1
    shift
    env -i PATH="$work/bin" FAKE_DIR="$work/fake" "$@" sh "$reader" "$file" \
        >"$work/out" 2>"$work/err" &
    reader_pid=$!
}

reader_gone() {
    ! kill -0 "$reader_pid" 2>/dev/null
}

wait_for() { # seconds, test command...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.1
    done
}

finish_reader() { # seconds -> sets reader_status, or 124 when it did not end
    if wait_for "$1" reader_gone; then
        wait $reader_pid
        reader_status=$?
    else
        kill $reader_pid
        reader_status=124
    fi
}

close_viewer() {
    kill -TERM "$(cat "$work/fake/$1.pid")"
}

printf '%%PDF-1.4\n' >"$work/guide.pdf"
odd="$work/-odd name.pdf"
cp "$work/guide.pdf" "$odd"

# 1. The first viewer of the list that is installed gets the absolute path, and the reader
#    returns only after the viewer is closed.
setup okular zathura
start_reader "$work/guide.pdf"
wait_for 5 test -f "$work/fake/okular.pid" || fail "okular not started"
sleep 1
kill -0 $reader_pid 2>/dev/null || fail "reader returned while the viewer was open"
grep -qx "okular \[$work/guide.pdf\]" "$work/fake/calls" || fail "okular args: $(cat "$work/fake/calls")"
grep -q zathura "$work/fake/calls" && fail "zathura started besides okular"
close_viewer okular
finish_reader 3
[ $reader_status = 0 ] || fail "status $reader_status after the viewer closed"

# 2. A relative name beginning with "-" and holding a space reaches the viewer as one
#    absolute path, never as an option.
setup evince
(cd "$work" && start_reader "-odd name.pdf" && echo $reader_pid >"$work/rpid")
reader_pid=$(cat "$work/rpid")
wait_for 5 test -f "$work/fake/evince.pid" || fail "evince not started for an odd name"
grep -qxF "evince [$odd]" "$work/fake/calls" || fail "odd name args: $(cat "$work/fake/calls")"
close_viewer evince
wait_for 3 reader_gone || fail "reader kept running"

# 3. A viewer that fails at once (no display) makes way for the next one.
setup evince atril mupdf
start_reader "$work/guide.pdf" FAKE_FAIL="evince atril"
wait_for 10 test -f "$work/fake/mupdf.pid" || fail "mupdf not reached after two failures"
[ "$(cut -d' ' -f1 "$work/fake/calls" | tr '\n' ' ')" = "evince atril mupdf " ] ||
    fail "order: $(cat "$work/fake/calls")"
close_viewer mupdf
finish_reader 3
[ $reader_status = 0 ] || fail "status $reader_status after fallback"

# 4. xdg-open that hands the file to a detached viewer and returns at once: the reader waits
#    for that viewer.
setup xdg-open
start_reader "$work/guide.pdf" FAKE_XDG=detach
wait_for 5 test -f "$work/fake/desktopviewer.pid" || fail "desktop viewer not started"
grep -qx "desktopviewer \[file://$work/guide.pdf\]" "$work/fake/calls" || fail "xdg: $(cat "$work/fake/calls")"
sleep 1.5
kill -0 $reader_pid 2>/dev/null || fail "reader returned while the desktop viewer was open"
close_viewer desktopviewer
finish_reader 4
[ $reader_status = 0 ] || fail "status $reader_status after the desktop viewer closed"

# 5. xdg-open after which no viewer process names the file: the reader gives up waiting
#    after its hand-over time and says so.
setup xdg-open
start=$SECONDS
start_reader "$work/guide.pdf" FAKE_XDG=nothing
finish_reader 20
[ $reader_status = 0 ] || fail "status $reader_status when xdg-open passed the file on"
[ $((SECONDS - start)) -ge 9 ] || fail "gave up after $((SECONDS - start)) s, before the hand-over time"
grep -q "no viewer process" "$work/err" || fail "no word about the hand-over: $(cat "$work/err")"

# 6. Refusals: a missing file, no argument, no viewer at all; none starts a viewer.
setup evince
start_reader "$work/missing.pdf"
finish_reader 3
[ $reader_status = 2 ] || fail "missing file: status $reader_status"
grep -q "missing.pdf" "$work/err" || fail "missing file not named: $(cat "$work/err")"
[ -s "$work/fake/calls" ] && fail "a viewer was started for a missing file"
env -i PATH="$work/bin" sh "$reader" 2>/dev/null
[ $? = 2 ] || fail "no argument: status not 2"
setup
start_reader "$work/guide.pdf"
finish_reader 3
[ $reader_status = 1 ] || fail "no viewer: status $reader_status"
grep -q "没有可用的PDF阅读器" "$work/err" || fail "no viewer message: $(cat "$work/err")"

if [ $failures -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all pdfReader cases passed"
