#!/usr/bin/env bash
# sox_ratio.sh - `rsid detect` against sox decoding and resampling the same file to 6000/s.
#
#   bench/sox_ratio.sh RSID [MINUTES]
#
# RSID is the tool (a Release build). Makes MINUTES (default 60) of 48 kHz 16-bit mono WAV with
# an identifier every 20 s in white noise (sox), then times five runs each, alternating, of
#   sox -q FILE -t raw -r 6000 -       (to /dev/null: decoding and resampling alone)
#   rsid detect FILE                   (the default rule)
#   rsid detect --codes 131 FILE       (soft decisions, code 131)
#   rsid detect --codes all FILE       (soft decisions, every code)
# and prints the median wall-clock and CPU seconds (user + system) of each and each detector's
# ratios to sox. The targets: at most 1.0 with the default rule, at most 1.5 with every code.
# The tool reads and resamples on a thread of its own: the clock counts what a user waits.
set -euo pipefail
rsid=${1:?usage: sox_ratio.sh RSID [MINUTES]}
minutes=${2:-60}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

repeat=$((minutes * 3))
"$rsid" send -q --lead 5 --repeat "$repeat" --gap 18.6075 --tail 5 -o "$dir/id.wav"
sox -q "$dir/id.wav" "$dir/long.wav" synth whitenoise mix vol 0.5 # noise under the tones
rm "$dir/id.wav"

names=(sox default soft131 softall)
run() { # run NAME: one timed run, its wall and CPU seconds appended to $dir/NAME.{wall,cpu}
    local cmd
    case $1 in
    sox) cmd=(sox -q "$dir/long.wav" -t raw -r 6000 -) ;;
    default) cmd=("$rsid" detect -q "$dir/long.wav") ;;
    soft131) cmd=("$rsid" detect -q --codes 131 "$dir/long.wav") ;;
    softall) cmd=("$rsid" detect -q --codes all "$dir/long.wav") ;;
    esac
    /usr/bin/time -f '%e %U %S' -o "$dir/time" "${cmd[@]}" >/dev/null || [ $? -eq 1 ]
    read -r e u s <"$dir/time"
    echo "$e" >>"$dir/$1.wall"
    echo "$u + $s" | bc -l >>"$dir/$1.cpu"
}
for _ in 1 2 3 4 5; do
    for n in "${names[@]}"; do run "$n"; done
done
median() { sort -g "$dir/$1" | sed -n 3p; }
printf '%d min of 48 kHz WAV; medians of 5 alternating runs\n' "$minutes"
printf '%-8s %8s %6s %8s %6s\n' '' wall ratio CPU ratio
for n in "${names[@]}"; do
    w=$(median "$n.wall") c=$(median "$n.cpu")
    printf '%-8s %7.2fs %6.2f %7.2fs %6.2f\n' "$n" "$w" "$(echo "$w / $(median sox.wall)" | bc -l)" \
        "$c" "$(echo "$c / $(median sox.cpu)" | bc -l)"
done
