#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, runs each from its seed corpus for
# a bounded time and fails on any crash, leak or sanitizer report.
# Seconds per target: the first argument, else 15.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}" clang-14 libclang-rt-14-dev
seconds=${1:-15}

build_preset fuzz

# Runs one target from its seed corpus; prints "ok TARGET: ..." or "not ok TARGET".
fuzz() {
    local corpus=$1 target found
    target=$(basename "$corpus")_fuzz
    found=$(mktemp -d)
    # New inputs go to a scratch directory; the seeds in the repository stay as they are.
    if build-fuzz/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
            "$found" "$corpus" >"$found.log" 2>&1; then
        echo "ok $target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$found.log") executions in ${seconds}s, no findings"
    else
        tail -40 "$found.log"
        echo "not ok $target"
    fi
    rm -rf "$found" "$found.log"
}

# Two at a time, one a core.
results=$(mktemp)
for corpus in fuzz/corpus/*/; do
    [ "$(jobs -r | wc -l)" -ge 2 ] && wait -n
    fuzz "$corpus" >>"$results" &
done
wait
cat "$results"
! grep -q '^not ok ' "$results"
status=$?
rm -f "$results"
exit "$status"
