#!/bin/sh
# pdfReader FILE: shows a PDF (the user guide) in a viewer of the desktop and returns when the
# viewer has been closed, because the setup tool's help button waits on it.
#
# Viewers are tried in the order below, the first one found on PATH first. A viewer that ends
# with an error within a few seconds (no display, a broken installation) makes way for the
# next one; once one has run longer, its end is the end of the reading.
#
# xdg-open comes last. It hands the file to the desktop's default application and returns at
# once on most desktops (GNOME's gio, KDE's kde-open), so after it the reader watches for a
# process of this user whose command line names the file, and returns when no such process is
# left. If none turns up within 10 seconds (a viewer that was already running took the file
# over, or the desktop passed it on in a form we cannot see), the reader returns then: the
# guide stays open, only the setup tool no longer waits for it.
#
# Exit status: 0 the file was shown (and the viewer closed), 1 no viewer could show it,
# 2 wrong arguments or the file cannot be read.

viewers="evince okular atril qpdfview mupdf xpdf zathura"
quick_failure_seconds=3
handover_seconds=10

say() {
    printf 'pdfReader: %s\n' "$*" >&2
}

if [ $# -ne 1 ] || [ -z "$1" ]; then
    say "用法: pdfReader 文件.pdf (usage: pdfReader FILE.pdf)"
    exit 2
fi
if [ ! -f "$1" ] || [ ! -r "$1" ]; then
    say "无法打开文件 \"$1\": 文件不存在或没有读取权限 (file missing or not readable)"
    exit 2
fi
# An absolute path: a name that begins with "-" is not taken for an option, and the command
# line of the viewer started by xdg-open names the same path we look for.
file=$(realpath -- "$1") || exit 2

now() {
    date +%s
}

# Runs one viewer and waits for it. Returns 0 when the viewer ran (whatever its status once it
# had been up for a while), 1 when it failed at once.
run_viewer() {
    started=$(now)
    "$@" &
    child=$!
    wait "$child"
    status=$?
    # wait returns early (above 128) when a signal reaches this shell; the viewer runs on.
    while [ "$status" -gt 128 ] && kill -0 "$child" 2>/dev/null; do
        wait "$child"
        status=$?
    done
    if [ "$status" -ne 0 ] && [ $(($(now) - started)) -lt "$quick_failure_seconds" ]; then
        say "$1 failed at once (status $status), trying the next viewer"
        return 1
    fi
    return 0
}

# This process and those that started it (a wrapper of the caller may name the file too).
ancestors() {
    pid=$$
    while [ -n "$pid" ] && [ "$pid" != 0 ]; do
        printf ' %s ' "$pid"
        pid=$(sed -n 's/^PPid:[[:space:]]*//p' "/proc/$pid/status" 2>/dev/null)
    done
}

# Process ids of this user's processes with an argument that contains the file's path (the
# path itself or a file:// URI), leaving out our callers and our own subshells (which carry
# our command line). One grep reads every command line; the path goes in on standard input
# so that grep's own command line does not name it.
viewers_of_file() {
    uid=$(id -u)
    # shellcheck disable=SC2062 # the glob is meant: every process's command line
    printf '%s\n' "$file" | grep -alFf - /proc/[0-9]*/cmdline 2>/dev/null |
        while IFS= read -r cmdline; do
            dir=${cmdline%/cmdline}
            pid=${dir#/proc/}
            case "$own" in *" $pid "*) continue ;; esac
            cmp -s "$cmdline" "/proc/$$/cmdline" && continue
            [ -O "$dir" ] || [ "$uid" = 0 ] || continue
            echo "$pid"
        done
}

wait_for_handover() {
    own=$(ancestors)
    deadline=$(($(now) + handover_seconds))
    while [ -z "$(viewers_of_file)" ]; do
        if [ "$(now)" -ge "$deadline" ]; then
            say "xdg-open passed the file on; no viewer process to wait for"
            return 0
        fi
        sleep 0.2
    done
    while [ -n "$(viewers_of_file)" ]; do
        sleep 0.5
    done
    return 0
}

for viewer in $viewers; do
    command -v "$viewer" >/dev/null 2>&1 || continue
    run_viewer "$viewer" "$file" && exit 0
done

if command -v xdg-open >/dev/null 2>&1; then
    if xdg-open "$file"; then
        wait_for_handover
        exit 0
    fi
    say "xdg-open could not open the file"
fi

say "没有可用的PDF阅读器，无法打开 \"$file\"。请安装 evince、okular 或 atril。(no PDF viewer found)"
exit 1
