#!/usr/bin/env bash
# run.sh - set up, build and run rsid on a Debian 12 machine.
#   ./run.sh demo   install what is missing, build, send an identifier to a file, find it again
#   ./run.sh test   install what is missing, build, and run every test
set -euo pipefail
cd "$(dirname "$0")"

# Debian packages the build and the tests need.
packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev
          libsndfile1-dev libsoxr-dev libcli11-dev nlohmann-json3-dev libfmt-dev)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "installing: ${missing[*]}" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
    else
        echo "missing packages; run as root:" >&2
        echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

jobs=$(nproc 2>/dev/null || echo 2)

build() { # build DIR [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

case "${1:-}" in
demo)
    install_missing
    build build/release -DCMAKE_BUILD_TYPE=Release -DRSID_BUILD_TESTS=OFF
    # A round trip through a real file: a 1500 Hz identifier 2 s into a 16-bit WAV, found again.
    ./build/release/tools/rsid send -f 1500 --lead 2 --tail 1 -o build/release/demo.wav
    echo "wrote build/release/demo.wav; rsid detect finds:" >&2
    ./build/release/tools/rsid detect build/release/demo.wav
    ;;
test)
    install_missing
    build build/test -DRSID_BUILD_TESTS=ON -DRSID_BUILD_BENCH=ON -DRSID_WERROR=ON
    (cd build/test && ctest --output-on-failure -j"$jobs")
    ;;
*)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
