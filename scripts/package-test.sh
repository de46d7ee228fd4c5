#!/usr/bin/env bash
# Builds both Debian packages (package.sh fails on any lintian error) and runs
# the programs of the amd64 one from an extracted copy: vantrel-wifi against a
# private daemon, vantrel-battery against a sample tablet. Its manual pages
# must render without a warning.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
bash scripts/package.sh armhf
package=$(bash scripts/package.sh amd64 | tail -n 1)

work=$(mktemp -d /tmp/vantrel-package.XXXXXX)
trap 'stop_daemon; rm -rf "$work"' EXIT
dpkg-deb -x "$package" "$work/root"
start_daemon "$work"
make_sample_tablet "$work"
export VANTREL_WPA_SOCKET="$work/ctrl/lo"
bin=$work/root/usr/bin

expect() {
    local want=$1 got
    shift
    got=$("$@")
    [ "$got" = "$want" ] && return 0
    printf '%s\n  printed: %s\n  expected: %s\n' "$*" "$got" "$want" >&2
    return 1
}
expect $'State: DISCONNECTED\nNetwork: \nAddress: 127.0.0.1' "$bin/vantrel-wifi" status
expect '[]' "$bin/vantrel-wifi" list --cached --json
expect '57% · Modem connected' "$bin/vantrel-battery" --prompt
# One version everywhere: the package's, the programs' and the manual pages'.
version=$(dpkg-deb -f "$package" Version)
expect "vantrel-wifi $version" "$bin/vantrel-wifi" --version
expect "vantrel-battery $version" "$bin/vantrel-battery" --version
for page in "$work"/root/usr/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
    [ -z "$warnings" ] || { printf '%s: %s\n' "$page" "$warnings" >&2; exit 1; }
    zcat "$page" | head -n 1 | grep -qF "vantrel\\-tools $version" || { echo "$page: not version $version" >&2; exit 1; }
done
echo "$package: version $version; the programs run from an extracted copy; the manual pages render cleanly"
