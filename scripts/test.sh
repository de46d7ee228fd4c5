#!/usr/bin/env bash
# Builds everything and passes every test: the suite on this machine, again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the parsers under
# libFuzzer, the suite built for the tablet and run under emulation, and both
# Debian packages, checked by lintian, the amd64 one run from an extracted copy.
# For a quick native run: cmake --preset native && cmake --build --preset native && ctest --preset native
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}"
build_preset native
test_preset native
bash scripts/sanitize-test.sh
bash scripts/fuzz.sh
bash scripts/cross-test.sh
bash scripts/package-test.sh
