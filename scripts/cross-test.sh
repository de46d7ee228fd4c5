#!/usr/bin/env bash
# Builds every program and the whole test suite for the tablet (armhf,
# Cortex-A7, hard-float), checks what was built, and runs every test under
# qemu-arm user-mode emulation. The daemon the tests start stays native.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_packages "${native_packages[@]}" "${test_packages[@]}" qemu-user binutils
ensure_armhf_packages

build_preset armhf

allowed_libraries='libQt6Core.so.6 libstdc++.so.6 libgcc_s.so.1 libc.so.6 libm.so.6'
check_program() {
    local binary=build-armhf/$1
    local attributes needed library
    readelf -h "$binary" | grep -q 'Class: *ELF32' || { echo "not ok $1: not a 32-bit ELF file"; return 1; }
    readelf -h "$binary" | grep -q 'Machine: *ARM' || { echo "not ok $1: not an ARM executable"; return 1; }
    attributes=$(readelf -A "$binary")
    for tag in 'Tag_ABI_VFP_args: VFP registers' 'Tag_CPU_arch: v7' 'Tag_FP_arch: VFPv4' \
               'Tag_Advanced_SIMD_arch: NEONv1 with Fused-MAC'; do
        grep -qF "$tag" <<<"$attributes" || { echo "not ok $1: lacks $tag"; return 1; }
    done
    needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    for library in $needed; do
        [[ " $allowed_libraries " == *" $library "* ]] || { echo "not ok $1: needs $library"; return 1; }
    done
    echo "ok $1: ELF 32-bit ARM, Cortex-A7 hard-float; needs $(echo $needed)"
}
failed=0
for program in "${programs[@]}"; do
    check_program "$program" || failed=1
done

test_preset armhf || failed=1
exit "$failed"
