#!/usr/bin/env bash
# Builds the tools, starts a private wpa_supplicant on the loopback interface,
# shows `vantrel-wifi status` against it, then stops it and removes its files.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}"
cmake --preset native
cmake --build --preset native --target vantrel-wifi

work=$(mktemp -d /tmp/vantrel-demo.XXXXXX)
daemon=
stop() {
    [ -n "$daemon" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
    rm -rf "$work"
}
trap stop EXIT
printf 'ctrl_interface=%s/ctrl\nupdate_config=1\nap_scan=0\n' "$work" >"$work/wpa.conf"
PATH="$PATH:/usr/sbin:/sbin" wpa_supplicant -D wired -i lo -c "$work/wpa.conf" >"$work/daemon.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do
    [ -S "$work/ctrl/lo" ] && break
    sleep 0.1
done
export VANTREL_WPA_SOCKET="$work/ctrl/lo"
echo "\$ vantrel-wifi status"
build/vantrel-wifi status
echo "\$ vantrel-wifi status --json"
build/vantrel-wifi status --json
