#!/usr/bin/env bash
# Builds the tools, starts a private wpa_supplicant on the loopback interface,
# shows `vantrel-wifi status` against it, then stops it and removes its files.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}"
cmake --preset native
cmake --build --preset native --target vantrel-wifi vantrel-battery

work=$(mktemp -d /tmp/vantrel-demo.XXXXXX)
trap 'stop_daemon; rm -rf "$work"' EXIT
start_daemon "$work"
export VANTREL_WPA_SOCKET="$work/ctrl/lo"
echo "\$ vantrel-wifi status"
build/vantrel-wifi status
echo "\$ vantrel-wifi status --json"
build/vantrel-wifi status --json
