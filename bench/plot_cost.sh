#!/usr/bin/env bash
# plot_cost.sh - what `rsid detect --plot` costs over the same run without a picture.
#
#   bench/plot_cost.sh RSID [SECONDS]
#
# RSID is the tool (a Release or RelWithDebInfo build). Makes SECONDS (default 300) of 48 kHz
# 16-bit WAV holding an identifier every 20 s in white noise (sox), times five runs each of
#   rsid detect FILE              and   rsid detect --plot FILE.png FILE
# and prints the median CPU seconds (user + system) of each and their ratio. Exits 1 when the
# picture costs more than half the run again (a ratio above 1.5), the target for --plot.
set -euo pipefail
rsid=${1:?usage: plot_cost.sh RSID [SECONDS]}
seconds=${2:-300}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

repeat=$((seconds / 20))
"$rsid" send -q --lead 5 --repeat "$repeat" --gap 18.6075 --tail 5 -o "$dir/id.wav"
sox -q "$dir/id.wav" "$dir/long.wav" synth whitenoise mix vol 0.5 # noise under the tones

median_cpu() { # median CPU seconds of five runs of COMMAND...
    local cpu=()
    for _ in 1 2 3 4 5; do
        /usr/bin/time -f '%U %S' -o "$dir/time" "$@" >/dev/null || [ $? -eq 1 ]
        read -r u s <"$dir/time"
        cpu+=("$(echo "$u + $s" | bc -l)")
    done
    printf '%s\n' "${cpu[@]}" | sort -g | sed -n 3p
}

plain=$(median_cpu "$rsid" detect -q "$dir/long.wav")
plot=$(median_cpu "$rsid" detect -q --plot "$dir/p.png" "$dir/long.wav")
ratio=$(echo "$plot / $plain" | bc -l)
printf 'detect: %.2f s CPU; detect --plot: %.2f s CPU; ratio %.2f (target at most 1.5)\n' \
    "$plain" "$plot" "$ratio"
[ "$(echo "$ratio <= 1.5" | bc -l)" -eq 1 ]
