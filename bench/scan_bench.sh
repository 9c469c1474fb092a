#!/usr/bin/env bash
# scan_bench.sh - real-time factors of `rsid scan` on I/Q files, next to FFTW's floor (README).
#
#   bench/scan_bench.sh BUILD_DIR [SECONDS] [BASELINE_BUILD_DIR]
#
# BUILD_DIR is a Release build with -DRSID_BUILD_BENCH=ON (and FFTW, for the floor). Makes
# SECONDS (default 20) of 192 kHz cf32 and of 2.4 MS/s cu8, SECONDS / 5 of 20 MS/s cs16 and
# four files of 2.4 MS/s cu8 in a scratch directory, then times RUNS (default 5) runs each of
#   rsid scan -j 1 -t cf32 -r 192000 FILE              (one core)
#   rsid scan -j 1 -t cu8 -r 2400000 FILE              (one core)
#   rsid scan -j 2 -t cs16 -r 20000000 FILE            (one band, both cores)
#   rsid scan -j 2 -t cu8 -r 2400000 FILE1 ... FILE4   (four bands, both cores)
# and prints the median real-time factors (seconds of input per second) by wall time and per
# CPU second (user + system), and under each FFTW's own transform of the scanner's frame
# (bench/scan_floor: the cost per input sample, and the scanner's four transforms per frame
# alone as a real-time factor of one core). With BASELINE_BUILD_DIR (another build's rsid, for
# instance of main), its runs alternate with these on the same files, and the ratios of the
# medians (this build / baseline) follow: the machine may be shared, so compare within a run.
set -euo pipefail
build=${1:?usage: scan_bench.sh BUILD_DIR [SECONDS] [BASELINE_BUILD_DIR]}
seconds=${2:-20}
base=${3:-}
runs=${RUNS:-5}
rsid=$build/tools/rsid
gen=$build/bench/iq_gen
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

"$gen" cf32 192000 "$seconds" 1 >"$dir/hf.cf32"
"$gen" cu8 2400000 "$seconds" 2 >"$dir/rtl.cu8"
"$gen" cs16 20000000 "$((seconds / 5))" 3 >"$dir/wide.cs16"
for i in 1 2 3 4; do "$gen" cu8 2400000 "$((seconds / 4))" "$i" >"$dir/rtl$i.cu8"; done

# shellcheck source=bench/paired_runs.sh
. "$(dirname "$0")/paired_runs.sh"

case_line() { # case_line NAME AUDIO_SECONDS RATE ARGS...
    local name=$1 audio=$2 rate=$3
    shift 3
    local -a args=("$@") # seen by new and old below, which run within this function
    new() { timed "$audio" "$rsid" scan "${args[@]}"; }
    old() { timed "$audio" "$base/tools/rsid" scan "${args[@]}"; }
    paired new ${base:+old}
    report "$name"
    [ ! -x "$build/bench/scan_floor" ] || "$build/bench/scan_floor" "$rate"
}

case_line "192 kHz cf32, -j 1" "$seconds" 192000 -j 1 -t cf32 -r 192000 "$dir/hf.cf32"
case_line "2.4 MS/s cu8, -j 1" "$seconds" 2400000 -j 1 -t cu8 -r 2400000 "$dir/rtl.cu8"
case_line "20 MS/s cs16, one band, -j 2" "$((seconds / 5))" 20000000 -j 2 -t cs16 -r 20000000 \
    "$dir/wide.cs16"
case_line "2.4 MS/s cu8, 4 files, -j 2" "$((seconds / 4 * 4))" 2400000 -j 2 -t cu8 -r 2400000 \
    "$dir"/rtl?.cu8
