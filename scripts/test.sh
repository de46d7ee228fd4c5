#!/usr/bin/env bash
# Builds everything with its tests and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
ctest --test-dir build --output-on-failure --timeout 600
