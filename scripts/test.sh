#!/usr/bin/env bash
# Builds everything with its tests and runs the whole suite on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}"
cmake --preset native
cmake --build --preset native
ctest --preset native --timeout 600
