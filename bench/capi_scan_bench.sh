#!/usr/bin/env bash
# capi_scan_bench.sh - real-time factors of the C API's band scanner (librsid-engine.so), this
# build's against another build's library, in alternating runs on the same files (README).
#
#   bench/capi_scan_bench.sh BUILD_DIR [SECONDS] [BASELINE_LIBDIR]
#
# BUILD_DIR is a Release build with -DRSID_BUILD_BENCH=ON (targets capi_scan, iq_gen). Makes
# SECONDS (default 20) of 192 kHz cf32 and of 2.4 MS/s cu8, then times RUNS (default 5) runs of
# bench/capi_scan on each (one scanner, one thread) with BUILD_DIR's librsid-engine.so and, given
# BASELINE_LIBDIR (the directory of another build's librsid-engine.so.0, for instance of main),
# with that one next, and prints the median real-time factors (seconds of input per second) by
# wall time and per CPU second (user + system), and the ratios of the medians (this / baseline).
# The machine may be shared: compare within a run, per CPU second.
set -euo pipefail
build=$(cd "${1:?usage: capi_scan_bench.sh BUILD_DIR [SECONDS] [BASELINE_LIBDIR]}" && pwd)
seconds=${2:-20}
base=${3:+$(cd "$3" && pwd)}
runs=${RUNS:-5}
scan=$build/bench/capi_scan
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# The library each run loads: LD_LIBRARY_PATH comes before capi_scan's RUNPATH.
# (grep reads all of ldd's output: with -q, ldd could die of SIGPIPE and fail the pipeline.)
uses() { # uses LIBDIR: fails unless capi_scan resolves librsid-engine.so.0 there
    LD_LIBRARY_PATH=$1 ldd "$scan" | grep "librsid-engine.so.0 => $1/" >/dev/null ||
        { echo "capi_scan does not load $1/librsid-engine.so.0" >&2; exit 1; }
}
uses "$build/engine"
[ -z "$base" ] || uses "$base"

"$build/bench/iq_gen" cf32 192000 "$seconds" 1 >"$dir/hf.cf32"
"$build/bench/iq_gen" cu8 2400000 "$seconds" 2 >"$dir/rtl.cu8"

# shellcheck source=bench/paired_runs.sh
. "$(dirname "$0")/paired_runs.sh"

case_line() { # case_line NAME ARGS...
    local name=$1
    shift
    local -a args=("$@") # seen by new and old below, which run within this function
    new() { LD_LIBRARY_PATH=$build/engine timed "$seconds" "$scan" "${args[@]}"; }
    old() { LD_LIBRARY_PATH=$base timed "$seconds" "$scan" "${args[@]}"; }
    paired new ${base:+old}
    report "$name"
}

case_line "192 kHz cf32" cf32 192000 "$dir/hf.cf32"
case_line "2.4 MS/s cu8" cu8 2400000 "$dir/rtl.cu8"
