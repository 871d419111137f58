#!/bin/sh
# Stands in for a PDF viewer (linked under a viewer's name) or for xdg-open.
# Records its name and arguments in $FAKE_DIR/calls. A viewer named in $FAKE_FAIL ends at
# once with status 1; any other viewer stays up, its pid in $FAKE_DIR/NAME.pid, until it gets
# SIGTERM, which it takes as the user closing it. As xdg-open it starts a viewer of the
# desktop's own, detached, with a file:// URI (FAKE_XDG=detach) or starts nothing
# (FAKE_XDG=nothing), and returns at once.
name=$(basename "$0")
printf '%s' "$name" >>"$FAKE_DIR/calls"
for arg; do printf ' [%s]' "$arg" >>"$FAKE_DIR/calls"; done
printf '\n' >>"$FAKE_DIR/calls"

if [ "$name" = xdg-open ]; then
    if [ "$FAKE_XDG" = detach ]; then
        ln -sf "$0" "$FAKE_DIR/desktopviewer"
        "$FAKE_DIR/desktopviewer" "file://$1" </dev/null >/dev/null 2>&1 &
    fi
    exit 0
fi
case " $FAKE_FAIL " in
*" $name "*)
    echo "$name: cannot open display" >&2
    exit 1
    ;;
esac
trap 'rm -f "$FAKE_DIR/$name.pid"; exit 0' TERM
echo $$ >"$FAKE_DIR/$name.pid.tmp"
mv "$FAKE_DIR/$name.pid.tmp" "$FAKE_DIR/$name.pid"
while :; do
    sleep 0.1
done
