#!/usr/bin/env bash
# Builds the tools and shows them at work: vantrel-wifi against a private
# wpa_supplicant (wired driver on the loopback interface, so nothing is
# scanned) that holds two saved open networks, then vantrel-battery in every
# mode against a sample tablet's power-supply tree and modem file, and against
# this machine's own power-supply class when it has a battery. Stops the
# daemon and removes its files afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}"
cmake --preset native >/dev/null
cmake --build --preset native --target vantrel-wifi vantrel-battery >/dev/null
export PATH="$PWD/build:$PATH"

work=$(mktemp -d /tmp/vantrel-demo.XXXXXX)
trap 'stop_daemon; rm -rf "$work"' EXIT
start_daemon "$work" 'network={
	ssid="Home"
	key_mgmt=NONE
	disabled=1
}
network={
	ssid="Office"
	key_mgmt=NONE
	disabled=1
}'
export VANTREL_WPA_SOCKET="$work/ctrl/lo"

show() {
    printf '\n$ %s\n' "$*"
    "$@" || true
}

show vantrel-wifi status
show vantrel-wifi list --cached
show vantrel-wifi connect Office
show vantrel-wifi status --json

make_sample_tablet "$work"
show vantrel-battery
show vantrel-battery --percentage
show vantrel-battery --prompt
if grep -qsix battery /sys/class/power_supply/*/type; then
    printf '\nThis machine'\''s own battery:'
    show env -u VANTREL_BATTERY_ROOT vantrel-battery
fi
