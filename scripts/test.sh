#!/usr/bin/env bash
# Builds everything and passes every test: the suite on this machine, again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the parsers under
# libFuzzer, and the suite built for the tablet and run under emulation.
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
