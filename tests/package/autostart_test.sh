#!/bin/bash
# netmonitor-autostart starts the network monitor at login only once the setup tool has
# recorded a printer address; otherwise it ends quietly, whatever the address file holds.
set -u
script=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/bin/net/config"
# A stand-in monitor that says it ran and with which arguments.
cat >"$tree/bin/net/netmonitor" <<'SH'
#!/bin/sh
echo "started $*" >"${0%/*}/ran"
SH
chmod +x "$tree/bin/net/netmonitor"
fail=0

try() { # expected(started|quiet) description [address-file content, or "missing"]
    local want=$1 what=$2 content=$3 got
    rm -f "$tree/bin/net/ran" "$tree/bin/net/config/netIpInfo"
    [ "$content" = missing ] || printf '%b' "$content" >"$tree/bin/net/config/netIpInfo"
    ZLP_PREFIX=$tree timeout 10 "$script" --from-test >/dev/null 2>&1
    local rc=$?
    if [ -e "$tree/bin/net/ran" ]; then got=started; else got=quiet; fi
    if [ "$got" != "$want" ] || [ "$rc" != 0 ]; then
        echo "FAIL $what: expected $want with exit 0, got $got with exit $rc" >&2
        fail=1
    elif [ "$got" = started ] && [ "$(cat "$tree/bin/net/ran")" != "started --from-test" ]; then
        echo "FAIL $what: arguments not passed on: $(cat "$tree/bin/net/ran")" >&2
        fail=1
    fi
}

try quiet "no address file" missing
try quiet "empty address file (fresh install)" ""
try quiet "three parts" "192.168.1"
try quiet "five parts" "192.168.1.10.5"
try started "address as the setup tool writes it" "192.168.1.10"
try started "address with a line feed" "10.0.0.7\n"
try started "address on a later line, as the monitor reads it" "junk\n192.168.1.10\n"

[ $fail = 0 ] && echo "PASS netmonitor-autostart"
exit $fail
