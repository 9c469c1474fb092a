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
uses() { # uses LIBDIR: fails unless capi_scan resolves librsid-engine.so.0 there
    LD_LIBRARY_PATH=$1 ldd "$scan" | grep -q "librsid-engine.so.0 => $1/" ||
        { echo "capi_scan does not load $1/librsid-engine.so.0" >&2; exit 1; }
}
uses "$build/engine"
[ -z "$base" ] || uses "$base"

"$build/bench/iq_gen" cf32 192000 "$seconds" 1 >"$dir/hf.cf32"
"$build/bench/iq_gen" cu8 2400000 "$seconds" 2 >"$dir/rtl.cu8"

# One run: "WALL_FACTOR CPU_FACTOR".
factors() { # factors LIBDIR ARGS...
    local lib=$1
    shift
    LD_LIBRARY_PATH=$lib /usr/bin/time -f '%e %U %S' -o "$dir/time" "$scan" "$@" >/dev/null
    read -r e u s <"$dir/time"
    echo "$(echo "$seconds / $e" | bc -l) $(echo "$seconds / ($u + $s)" | bc -l)"
}
median() { sort -g | sed -n "$(((runs + 1) / 2))p"; }

case_line() { # case_line NAME ARGS...
    local name=$1
    shift
    : >"$dir/new"
    : >"$dir/old"
    for _ in $(seq "$runs"); do
        factors "$build/engine" "$@" >>"$dir/new"
        [ -z "$base" ] || factors "$base" "$@" >>"$dir/old"
    done
    local nw nc
    nw=$(cut -d' ' -f1 "$dir/new" | median)
    nc=$(cut -d' ' -f2 "$dir/new" | median)
    printf '%s: %.2fx real time (wall), %.2fx per CPU second\n' "$name" "$nw" "$nc"
    if [ -n "$base" ]; then
        local ow oc
        ow=$(cut -d' ' -f1 "$dir/old" | median)
        oc=$(cut -d' ' -f2 "$dir/old" | median)
        printf '  baseline: %.2fx (wall), %.2fx per CPU second; this / baseline: %.2f (wall), %.2f (CPU)\n' \
            "$ow" "$oc" "$(echo "$nw / $ow" | bc -l)" "$(echo "$nc / $oc" | bc -l)"
    fi
}

case_line "192 kHz cf32" cf32 192000 "$dir/hf.cf32"
case_line "2.4 MS/s cu8" cu8 2400000 "$dir/rtl.cu8"
