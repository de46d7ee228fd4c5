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

# The tools that ship to the tablet.
programs=(vantrel-wifi vantrel-battery)
