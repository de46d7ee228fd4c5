#!/usr/bin/env bash
# Builds a Release of both programs for the tablet (armhf, the default) or for
# this machine (amd64), with Debian's hardening flags, writes the Debian package
# vantrel-tools_<version>_<arch>.deb to dist/, checks it with lintian, and
# prints its path as the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
arch=${1:-armhf}
case $arch in
armhf | amd64) ;;
*) echo "Usage: bash scripts/package.sh [armhf|amd64]" >&2; exit 2 ;;
esac
ensure_packages "${native_packages[@]}" dpkg-dev lintian
[ "$arch" = armhf ] && ensure_armhf_packages

# dpkg-buildflags and dpkg-shlibdeps (run by CPack) take the architecture from here.
export DEB_HOST_ARCH=$arch DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    LDFLAGS=$(dpkg-buildflags --get LDFLAGS) cmake --preset "package-$arch" --fresh >/dev/null
cmake --build --preset "package-$arch" >/dev/null

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
cpack --config "build-package-$arch/CPackConfig.cmake" -B "$staging" >/dev/null
mkdir -p dist
package=dist/$(basename "$staging"/*.deb)
mv "$staging"/*.deb "$package"
# lintian leaves files of its own in TMPDIR.
TMPDIR=$staging lintian --fail-on error "$package" >&2
echo "$package"
