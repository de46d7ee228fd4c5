#!/usr/bin/env bash
# Builds both Debian packages (package.sh fails on any lintian error) and runs
# the programs of the amd64 one from an extracted copy: vantrel-wifi against a
# private daemon, vantrel-battery against a sample tablet. Its manual pages
# must render without a warning, and the package, the programs and the pages
# must carry one version. Each check prints "ok NAME" or "not ok NAME".
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

failed=0
pass() { echo "ok $1"; }
fail() { echo "not ok $1"; failed=1; }

bash scripts/package.sh armhf >/dev/null && pass "armhf package, lintian clean" || fail "armhf package"
package=$(bash scripts/package.sh amd64 | tail -n 1)
[ -f "$package" ] && pass "amd64 package, lintian clean" || { fail "amd64 package"; exit 1; }

dpkg-deb -c "$package" | grep -q '^drwxr-xr-x root/root .* \./var/lib/vantrel-wifi/ca/$' \
    && pass "the CA folder, mode 0755" || fail "the CA folder, mode 0755"

work=$(mktemp -d /tmp/vantrel-package.XXXXXX)
trap 'stop_daemon; rm -rf "$work"' EXIT
dpkg-deb -x "$package" "$work/root"
start_daemon "$work" || exit 1
make_sample_tablet "$work"
export VANTREL_WPA_SOCKET="$work/ctrl/lo"
bin=$work/root/usr/bin
version=$(dpkg-deb -f "$package" Version)

# Checks that the command after $1 prints exactly $1.
expect() {
    local want=$1 got
    shift
    got=$("$@")
    [ "$got" = "$want" ] && { pass "$*"; return; }
    printf '%s\n  printed: %s\n  expected: %s\n' "$*" "$got" "$want"
    fail "$*"
}
expect $'State: DISCONNECTED\nNetwork: \nAddress: 127.0.0.1' "$bin/vantrel-wifi" status
expect '[]' "$bin/vantrel-wifi" list --cached --json
expect '57% · Modem connected' "$bin/vantrel-battery" --prompt
expect "vantrel-wifi $version" "$bin/vantrel-wifi" --version
expect "vantrel-battery $version" "$bin/vantrel-battery" --version
for page in "$work"/root/usr/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
    name=$(basename "$page")
    if [ -n "$warnings" ]; then
        printf '%s\n' "$warnings"
        fail "$name renders cleanly"
    elif ! zcat "$page" | head -n 1 | grep -qF "vantrel\\-tools $version"; then
        fail "$name carries version $version"
    else
        pass "$name renders cleanly and carries version $version"
    fi
done
exit "$failed"
