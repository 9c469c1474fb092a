#!/usr/bin/env bash
# scan_bench.sh - real-time factors of `rsid scan` on I/Q files (README).
#
#   bench/scan_bench.sh BUILD_DIR [SECONDS]
#
# BUILD_DIR is a Release build with -DRSID_BUILD_BENCH=ON. Makes SECONDS (default 60) of
# 192 kHz cf32 and four files of 2.4 MS/s cu8 in a scratch directory, then times five runs of
#   rsid scan -j 1 -t cf32 -r 192000 FILE               (one core)
#   rsid scan -j 2 -t cu8 -r 2400000 FILE1 ... FILE4    (both cores)
# and prints the median real-time factors of each (seconds of input per second).
set -euo pipefail
build=${1:?usage: scan_bench.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
rsid=$build/tools/rsid
gen=$build/bench/iq_gen
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

"$gen" cf32 192000 "$seconds" 1 >"$dir/hf.cf32"
for i in 1 2 3 4; do "$gen" cu8 2400000 "$((seconds / 4))" "$i" >"$dir/rtl$i.cu8"; done

# Median real-time factors of five runs, by wall time and by CPU time (user + system): the
# machine is shared, so the wall figure moves with other work and the CPU figure less so.
median_factor() { # median_factor AUDIO_SECONDS COMMAND...
    local audio=$1
    shift
    local wall=() cpu=()
    for _ in 1 2 3 4 5; do
        /usr/bin/time -f '%e %U %S' -o "$dir/time" "$@" >/dev/null || [ $? -eq 1 ]
        read -r e u s <"$dir/time"
        wall+=("$(echo "$audio / $e" | bc -l)")
        cpu+=("$(echo "$audio / ($u + $s)" | bc -l)")
    done
    printf '%.1fx real time (wall), %.1fx per CPU second' \
        "$(printf '%s\n' "${wall[@]}" | sort -g | sed -n 3p)" \
        "$(printf '%s\n' "${cpu[@]}" | sort -g | sed -n 3p)"
}

echo "192 kHz cf32, one job:       $(median_factor "$seconds" "$rsid" scan -j 1 -t cf32 -r 192000 "$dir/hf.cf32")"
echo "2.4 MS/s cu8, 4 files, -j 2: $(median_factor "$((seconds / 4 * 4))" "$rsid" scan -j 2 -t cu8 -r 2400000 "$dir"/rtl*.cu8)"
