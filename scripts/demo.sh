#!/bin/sh
# A guided tour of brdctl: builds the dev preset, then, in a private
# namespace (its own /tmp/db, SysV segments and network), seeds a WAN table,
# NAT policies and a USB modem configuration and queries them the way a
# platform engineer would. Nothing on the machine itself is touched.
#   scripts/demo.sh            build, then run the tour
#   scripts/demo.sh --no-build run the tour on an existing build/dev
set -eu
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
    if [ "${1:-}" != --no-build ]; then
        cmake --preset dev >/dev/null
        cmake --build --preset dev -j2 --target brdctl
    fi
    exec tests/isolate.sh "$(pwd)/scripts/demo.sh" --inside
fi

brdctl=$(pwd)/build/dev/tools/brdctl/brdctl
[ -x "$brdctl" ] || { echo "demo: $brdctl is not built" >&2; exit 1; }

say() { printf '\n### %s\n' "$*"; }
note() { printf '    %s\n' "$@"; }
# Shows the command, runs it, and shows a non-zero exit status.
run() {
    printf '$ brdctl %s\n' "$*"
    rc=0
    "$brdctl" "$@" || rc=$?
    [ $rc = 0 ] || printf '[exit %d]\n' "$rc"
}

say "A fresh device: the CPE segment is created and initialised on first use"
note "Header words 1 0 60 mean the segment was initialised; every table is empty."
run status

say "Seed the WAN table (/tmp/db/wanif_db), as the platform's WAN daemon would"
# ppp0's record names the kernel index of the Ethernet interface under its
# PPPoE session; the namespace starts with only lo, so eth0 is made first.
ip link add eth0 type veth peer name eth0-peer
eth0_index=$(ip -o link show eth0 | cut -d: -f1)
run wanif add eth0 --wan --active-default --priority 10 --ip 192.0.2.10
run wanif add ppp0 --wan --priority 20 --ip 198.51.100.7 --pppoe-eth-index "$eth0_index"
run wanif add tunnel0 --wan --priority 30
run wanif add usb0 --name usbnet0 --priority 40 --usbnet-status 2
run wanif list
note "usbnet0 is the USB network record; tunnel interfaces are not counted:"
run wanif count

say "Ask what the configuration tools ask"
run wanif is-active-default eth0
run wanif owns-ip 198.51.100.7
run wanif pppoe-eth ppp0
note "A priority already held is refused, with the sentence the user would see:"
run wanif check-priority 20
run wanif check-priority 25
run wanif usbnet-status
note "wanif set changes single fields and keeps the rest. Priority 0 on usbnet0" \
    "puts the USB network in primary-WAN mode: check-priority --kind 45 then" \
    "refuses every priority until usbnet0 holds another one."
run wanif set usbnet0 --priority 0
run wanif check-priority 25 --kind 45
run wanif set usbnet0 --priority 40 --usbnet-status 3
run wanif check-priority 25 --kind 45
note "The configuration service holds its own priorities (host platform only):"
run dcd set-priority ppp0 15
run wanif dcd-priority ppp0

say "NAT policies live in the CPE segment, ids 1-128"
run nat request-id
run nat save 1 lan-out other
run nat save 2 vpn-out tunnel
run nat list
run nat check vpn-out tunnel0
run nat check vpn-out eth0
note "Exit status 1 above means 'no': 0 done or yes, 1 no or not found," \
    "2 refused before anything was touched, 3 tried and failed."

say "USB modems: a configuration lists the USB ids the modem shows"
run modem store lte0 1a2b:1f01 1a2b:14dc
run modem add-id lte0 1a2b:1506
run modem list
run modem find 1a2b:14dc
run modeswitch store 1a2b:1f01
run modeswitch list

say "Scripts use --json: one document per call"
run --json wanif list
run --json nat id vpn-out

say "Bad arguments are refused before anything is touched"
run nat save 200 wan-out other
run modem find 1a2b
run wanif owns-ip 192.0.2

say "The whole state as one document: back up, experiment, restore"
backup=$(mktemp -d)
note "Into a directory only root can enter ($backup): a bare name in /tmp is" \
    "anyone's to take first, and brdctl refuses a file another user made."
run export "$backup/before.json"
run nat delete 1
run import "$backup/before.json"
run nat name 1

say "The whole picture again"
run status
note "" "Next: brdctl --help and brdctl <family> --help; docs/brdctl.md explains every command."
