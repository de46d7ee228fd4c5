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

# Configures and builds CMake preset $1.
build_preset() {
    cmake --preset "$1"
    cmake --build --preset "$1"
}

# Runs the test suite of preset $1.
test_preset() {
    ctest --preset "$1" --timeout 900
}

# The tools that ship to the tablet.
programs=(vantrel-wifi vantrel-battery)

# Starts a private wpa_supplicant with the wired driver on the loopback
# interface, its control socket and configuration under directory $1, and
# waits until its socket exists. Sets daemon_pid; stop it with stop_daemon.
start_daemon() {
    local work=$1
    printf 'ctrl_interface=%s/ctrl\nupdate_config=1\nap_scan=0\n' "$work" >"$work/wpa.conf"
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

stop_daemon() {
    if [ -n "${daemon_pid:-}" ]; then
        kill "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null || true
        daemon_pid=
    fi
}
