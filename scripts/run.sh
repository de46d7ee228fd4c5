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
echo "Checking the build tools (CMake, Ninja, g++, Qt 6 Core, wpasupplicant)..."
ensure_packages "${native_packages[@]}"
mkdir -p build-logs
echo "Building vantrel-wifi and vantrel-battery in build/ (the first build takes about a minute)..."
if ! { cmake --preset native && cmake --build --preset native --target vantrel-wifi vantrel-battery; } \
        >build-logs/run.log 2>&1; then
    cat build-logs/run.log
    echo "The build failed; its output is above and in build-logs/run.log."
    exit 1
fi
export PATH="$PWD/build:$PATH"

echo "Starting a private wpa_supplicant on the loopback interface with two saved networks..."
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

printf '\nvantrel-battery against a sample tablet'\''s files (a battery at 57%%, a modem online, a mesh radio):\n'
make_sample_tablet "$work"
show vantrel-battery
show vantrel-battery --percentage
show vantrel-battery --prompt
show vantrel-battery --json
if grep -qsix battery /sys/class/power_supply/*/type; then
    printf '\nThis machine'\''s own battery:'
    show env -u VANTREL_BATTERY_ROOT vantrel-battery
fi
