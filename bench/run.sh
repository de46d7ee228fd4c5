#!/usr/bin/env bash
# Start-up cost of the tools next to a bare Qt program and to wpa_cli:
# instructions (callgrind, repeatable), median wall time and peak memory,
# printed as one Markdown table; then what a list after a slow scan holds and
# what status --follow costs (a minute idle, then 50 000 changes of the link).
# Runs per case: the first argument, else 25.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${native_packages[@]}" valgrind time
runs=${1:-25}

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
bin=build-release

work=$(mktemp -d /tmp/vantrel-bench.XXXXXX)
crowd_input=
# The crowded daemon ends, and removes its files, when its input closes.
trap '[ -n "$crowd_input" ] && exec {crowd_input}>&- && wait "$crowd_pid"; stop_daemon; rm -rf "$work"' EXIT
start_daemon "$work"
export VANTREL_WPA_SOCKET="$work/ctrl/lo"
wpa_cli_program=$(PATH="$PATH:/usr/sbin:/sbin" command -v wpa_cli)
# Scripted daemons in a crowded place: 200 access points, read past SCAN_RESULTS;
# two of them say when a scan ends, after 300 ms or 3 s.
coproc crowd { "$bin/bench/vantrel-crowd"; }
crowd_input=${crowd[1]} crowd_pid=$crowd_PID
read -r crowd_socket <&"${crowd[0]}"
read -r quick_socket <&"${crowd[0]}"
read -r slow_socket <&"${crowd[0]}"
make_sample_tablet "$work"

instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null \
        | sed -n 's/.*Collected : *\([0-9]*\).*/\1/p'
}

median_ms() {
    local times=() start end
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        times+=($(( (end - start) / 1000 )))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.2f", m / 1000 }'
}

peak_kib() {
    /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'
}

# name | label | daemon socket | command
cases=(
    "bare|bare Qt program (floor)|$VANTREL_WPA_SOCKET|$bin/bench/vantrel-bare"
    "battery|vantrel-battery --prompt|$VANTREL_WPA_SOCKET|$bin/vantrel-battery --prompt"
    "battery_json|vantrel-battery --json|$VANTREL_WPA_SOCKET|$bin/vantrel-battery --json"
    "status|vantrel-wifi status|$VANTREL_WPA_SOCKET|$bin/vantrel-wifi status"
    "list|vantrel-wifi list --cached --json|$VANTREL_WPA_SOCKET|$bin/vantrel-wifi list --cached --json"
    "crowd|vantrel-wifi list --cached --json, 200 access points|$crowd_socket|$bin/vantrel-wifi list --cached --json"
    "quick|vantrel-wifi list --json, a scan that ends after 300 ms|$quick_socket|$bin/vantrel-wifi list --json"
    "slow|vantrel-wifi list --json, a scan that ends after 3 s|$slow_socket|$bin/vantrel-wifi list --json"
    "wpa_cli|wpa_cli status|$VANTREL_WPA_SOCKET|$wpa_cli_program -p $work/ctrl -i lo status"
)

declare -A cost
echo "| program | instructions | × floor | median wall ms ($runs runs) | × floor | peak RSS KiB |"
echo "|---|---:|---:|---:|---:|---:|"
for entry in "${cases[@]}"; do
    IFS='|' read -r name label socket line <<<"$entry"
    read -r -a words <<<"$line"
    cost[$name]=$(VANTREL_WPA_SOCKET=$socket instructions "${words[@]}")
    cost[${name}_ms]=$(VANTREL_WPA_SOCKET=$socket median_ms "${words[@]}")
    echo "| $label | ${cost[$name]} | $(ratio "${cost[$name]}" "${cost[bare]}") | ${cost[${name}_ms]} | $(ratio "${cost[${name}_ms]}" "${cost[bare_ms]}") | $(VANTREL_WPA_SOCKET=$socket peak_kib "${words[@]}") |"
done
echo
listed=$(VANTREL_WPA_SOCKET=$slow_socket "$bin/vantrel-wifi" list --json | grep -o '"ssid":"New00[0-9]"' | wc -l)
echo "The list after a scan that ends after 3 s holds $listed of the 10 networks the scan found."
"$bin/bench/vantrel-follow-bench" "$bin/vantrel-wifi"
echo "vantrel-wifi status next to wpa_cli status: $(ratio "${cost[status]}" "${cost[wpa_cli]}") × in instructions, $(ratio "${cost[status_ms]}" "${cost[wpa_cli_ms]}") × in wall time."
