#!/usr/bin/env bash
# Builds everything and passes every test: the suite on this machine, again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the parsers under
# libFuzzer, the suite built for the tablet and run under emulation, and both
# Debian packages, checked by lintian, the amd64 one run from an extracted copy.
# Two lanes run side by side, as the suites mostly wait on daemons and time-outs
# while the other lane builds. Every stage runs even when one fails; build
# output goes to build-logs/, shown when a step fails; a summary ends the run.
# For a quick native run: cmake --preset native && cmake --build --preset native && ctest --preset native
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

logs=$PWD/build-logs
rm -rf "$logs"
mkdir -p "$logs"

began=$SECONDS
echo "== set-up: installing what is missing"
ensure_packages "${native_packages[@]}" "${test_packages[@]}" clang-14 libclang-rt-14-dev qemu-user binutils dpkg-dev lintian
ensure_armhf_packages
setup_seconds=$((SECONDS - began))

# Runs stage $1, the command after it, with its output in build-logs/$1.log.
# Each check the command makes prints "ok NAME" or "not ok NAME"; the stage
# prints those that failed and, when it fails, the end of its log.
stage() {
    local name=$1 start=$SECONDS status
    shift
    echo "== $name: started"
    "$@" >"$logs/$name.log" 2>&1
    status=$?
    # A stage that fails without naming a failed check fails as a whole.
    if [ "$status" -ne 0 ] && ! grep -q '^not ok ' "$logs/$name.log"; then
        echo "not ok $name" >>"$logs/$name.log"
    fi
    local passed failed
    passed=$(grep -c '^ok ' "$logs/$name.log")
    failed=$(grep -c '^not ok ' "$logs/$name.log")
    echo "$name $status $passed $failed $((SECONDS - start))" >"$logs/$name.result"
    if [ "$status" -eq 0 ]; then
        echo "== $name: passed, $passed checks in $((SECONDS - start)) s"
        sed -n 's/^Rows shared out: /   fault rows: /p' "$logs/$name.log"
    else
        grep '^not ok ' "$logs/$name.log" | sed "s/^/   $name: /"
        echo "== $name: FAILED after $((SECONDS - start)) s; the end of build-logs/$name.log:"
        tail -n 40 "$logs/$name.log" | sed 's/^/   | /'
    fi
    return 0
}

tested() {
    build_preset "$1" && test_preset "$1"
}

# Native, then the tablet's build under emulation; beside them the
# sanitizers, the fuzzers and the packages.
{
    stage native tested native
    stage armhf bash scripts/cross-test.sh
} &
lane=$!
stage sanitizers tested sanitize
stage fuzzers bash scripts/fuzz.sh
stage packages bash scripts/package-test.sh
wait "$lane"

echo
echo "Summary (build-logs/ holds every stage's output):"
printf '  %-12s %-7s %5s\n' set-up done "${setup_seconds}s"
total_passed=0
total_failed=0
for name in native sanitizers fuzzers armhf packages; do
    read -r _ status passed failed seconds <"$logs/$name.result"
    printf '  %-12s %-7s %5s  %s passed, %s failed\n' "$name" "$([ "$status" -eq 0 ] && echo passed || echo FAILED)" \
        "${seconds}s" "$passed" "$failed"
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
done
echo "  total ${SECONDS}s"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
