#!/usr/bin/env bash
# The whole test suite, real-daemon tests included, built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}" "${test_packages[@]}"
build_preset sanitize
test_preset sanitize
