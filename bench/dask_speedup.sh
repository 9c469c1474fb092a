#!/usr/bin/env bash
# dask_speedup.sh - examples/dask_scan.py serially and on a LocalCluster of 2 worker processes
# over the same files: the speed-up of one file per task. Needs the module importable
# (PYTHONPATH=build/py/python or an installed rsid).
#   bench/dask_speedup.sh [FILES] [MINUTES]
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-8}
minutes=${2:-3}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
python3 - "$dir" "$files" "$minutes" <<'PY'
import sys, wave, numpy as np, rsid
top, files, minutes = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
for k in range(files):
    x = rsid.send(700.0 + 150 * k, 48000, lead=minutes * 60 * (k + 1) / (files + 1),
                  tail=minutes * 60 * (files - k) / (files + 1))
    with wave.open(f"{top}/r{k:03}.wav", "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(48000); w.writeframes(x.tobytes())
PY
for mode in --serial "--workers 2"; do
    rm -f "$dir/out.jsonl"
    # shellcheck disable=SC2086
    python3 examples/dask_scan.py "$dir" -o "$dir/out.jsonl" $mode
done
