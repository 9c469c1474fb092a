# shellcheck shell=bash disable=SC2154 # dir and runs are the sourcing script's
# paired_runs.sh - sourced by the scanner benches: timed runs as real-time factors, and the
# medians of this build's runs next to a baseline's, run alternately so both see the same load.
#
# The sourcing script sets dir (a scratch directory) and runs (runs per case), runs each case
# through `paired`, and then calls `report`.

# One run: "WALL_FACTOR CPU_FACTOR" (seconds of input per second, per CPU second).
timed() { # timed AUDIO_SECONDS COMMAND...
    local audio=$1
    shift
    /usr/bin/time -f '%e %U %S' -o "$dir/time" "$@" >/dev/null || [ $? -eq 1 ]
    read -r e u s < <(tail -n 1 "$dir/time") # after "Command exited with non-zero status"
    echo "$(echo "$audio / $e" | bc -l) $(echo "$audio / ($u + $s)" | bc -l)"
}
median() { sort -g | sed -n "$(((runs + 1) / 2))p"; }

# Alternates runs of the two commands, each given as a function name: NEW, then OLD unless
# empty, runs times; the factors go to $dir/new and $dir/old.
paired() { # paired NEW [OLD]
    : >"$dir/new"
    : >"$dir/old"
    for _ in $(seq "$runs"); do
        "$1" >>"$dir/new"
        [ -z "${2:-}" ] || "$2" >>"$dir/old"
    done
}

# Prints the medians of $dir/new and, when there were baseline runs, of $dir/old and the ratios.
report() { # report NAME
    local nw nc ow oc
    nw=$(cut -d' ' -f1 "$dir/new" | median)
    nc=$(cut -d' ' -f2 "$dir/new" | median)
    printf '%s: %.2fx real time (wall), %.2fx per CPU second\n' "$1" "$nw" "$nc"
    if [ -s "$dir/old" ]; then
        ow=$(cut -d' ' -f1 "$dir/old" | median)
        oc=$(cut -d' ' -f2 "$dir/old" | median)
        printf '  baseline: %.2fx (wall), %.2fx per CPU second; this / baseline: %.2f (wall), %.2f (CPU)\n' \
            "$ow" "$oc" "$(echo "$nw / $ow" | bc -l)" "$(echo "$nc / $oc" | bc -l)"
    fi
}
