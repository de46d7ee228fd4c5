# Helpers shared by the project's scripts; sourced, not run.

# Installs the Debian packages named that are not installed yet.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

native_packages=(cmake ninja-build g++ qt6-base-dev wpasupplicant)
# The suite's 802.1X authenticator: hostapd in a network namespace, certificates by openssl.
test_packages=(hostapd openssl iproute2)

# The armhf cross compiler and Qt 6 Core for armhf, next to the native Qt.
ensure_armhf_packages() {
    ensure_packages crossbuild-essential-armhf
    dpkg-query -W -f='${Status}' qt6-base-dev:armhf 2>/dev/null | grep -q 'install ok installed' && return 0
    dpkg --add-architecture armhf
    apt-get update -q >/dev/null
    # --no-remove: the build machine's own Qt must stay for moc and the native build.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends --no-remove qt6-base-dev:armhf >/dev/null
}

# Configures and builds CMake preset $1.
build_preset() {
    cmake --preset "$1"
    cmake --build --preset "$1"
}

# Runs the test suite of preset $1, its tests side by side (they mostly wait),
# then names each test as a check: "ok NAME" or "not ok NAME".
test_preset() {
    local log status
    log=$(mktemp)
    ctest --preset "$1" --timeout 900 -j 6 --output-on-failure | tee "$log"
    status=${PIPESTATUS[0]}
    awk '/Test +#[0-9]+: / { print ($0 ~ / Passed / ? "ok " : "not ok ") $4 }' "$log"
    rm -f "$log"
    # How many fault rows ran, from ctest's record of every test's output.
    local build=build
    [ "$1" = native ] || build=build-$1
    sed -n 's/^QINFO.*() Rows shared out: /Rows shared out: /p' "$build/Testing/Temporary/LastTest.log"
    return "$status"
}

# The tools that ship to the tablet.
programs=(vantrel-wifi vantrel-battery)

# Starts a private wpa_supplicant with the wired driver on the loopback
# interface, its control socket and configuration under directory $1, the
# network blocks $2 (if any) in its configuration, and waits until its socket
# exists. Sets daemon_pid; stop it with stop_daemon.
start_daemon() {
    local work=$1
    printf 'ctrl_interface=%s/ctrl\nupdate_config=1\nap_scan=0\n%s\n' "$work" "${2:-}" >"$work/wpa.conf"
    PATH="$PATH:/usr/sbin:/sbin" wpa_supplicant -D wired -i lo -c "$work/wpa.conf" >"$work/daemon.log" 2>&1 &
    daemon_pid=$!
    local _
    for _ in $(seq 100); do
        [ -S "$work/ctrl/lo" ] && return 0
        sleep 0.1
    done
    echo "wpa_supplicant did not start:" >&2
    cat "$work/daemon.log" >&2
    return 1
}

# A tablet's status files under directory $1, laid out as sysfs and the modem
# service do: mains and a battery at 57 %, discharging, a modem online and
# sharing its connection, and a mesh radio with two peers. Exports the
# variables that point vantrel-battery at them.
make_sample_tablet() {
    local work=$1
    mkdir -p "$work/devices/AC" "$work/devices/BAT0" "$work/power_supply"
    printf 'Mains\n' >"$work/devices/AC/type"
    printf 'Battery\n' >"$work/devices/BAT0/type"
    printf '57\n' >"$work/devices/BAT0/capacity"
    printf 'Discharging\n' >"$work/devices/BAT0/status"
    ln -s ../devices/AC "$work/power_supply/AC"
    ln -s ../devices/BAT0 "$work/power_supply/BAT0"
    printf '{"selected":true,"policy":"auto","state":"online","sharing":true}\n' >"$work/modem-status.json"
    printf '{"sharing_active":true,"wifi_ip":"10.0.0.2","proxy_port":1080}\n' >"$work/proxy-status.json"
    printf '{"state":"up","ipv4":"10.9.0.1","gateway":42,"peers":[{"dnsName":"ridge","ipv6":"fd00::2"},{"gid":255}]}\n' \
        >"$work/gotenna-status.json"
    printf '{"nodeName":"Base","gid":815}\n' >"$work/gotenna.json"
    export VANTREL_BATTERY_ROOT="$work/power_supply" VANTREL_MODEM_STATUS="$work/modem-status.json"
    export VANTREL_MODEM_SETTINGS="$work/modem.json" VANTREL_PROXY_STATUS="$work/proxy-status.json"
    export VANTREL_GOTENNA_STATUS="$work/gotenna-status.json" VANTREL_GOTENNA_SETTINGS="$work/gotenna.json"
}

stop_daemon() {
    if [ -n "${daemon_pid:-}" ]; then
        kill "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null || true
        daemon_pid=
    fi
}
