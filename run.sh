#!/usr/bin/env bash
# run.sh - set up, build and run rsid on a Debian 12 machine.
#   ./run.sh demo   install what is missing, build, send an identifier to a file, find it again
#   ./run.sh test   install what is missing, build, and run every test: the suite in a normal
#                   and a sanitizer build, threads under ThreadSanitizer, the Python module
#                   installed with pip into a clean venv, the browser build, lint and format
#                   checks, the fuzzers for a minute in all, the installed package from a scratch
#                   prefix and from a .deb
#   ./run.sh web    the WebAssembly build (emscripten), the npm package and the page, tested
#                   in Node (against the native build, bit for bit) and in headless Chromium
#   ./run.sh lint   clang-tidy and cppcheck over lib/, engine/, io/ and tools/, clang-format and
#                   whitespace over all
#   ./run.sh fuzz [SECONDS]   run the libFuzzer harnesses, two at a time, SECONDS in all (600)
set -euo pipefail
cd "$(dirname "$0")"

# Debian packages the build and the tests need.
packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev
          libsndfile1-dev libsoxr-dev libcli11-dev nlohmann-json3-dev libfmt-dev
          clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 cppcheck
          git dpkg-dev file python3-jsonschema libfftw3-dev libkissfft-dev emscripten nodejs chromium
          pybind11-dev python3-dev python3-venv python3-pip python3-setuptools python3-wheel
          python3-pybind11 python3-numpy python3-pytest python3-dask python3-distributed
          python3-mypy lintian
          libmosquitto-dev mosquitto mosquitto-clients python3-jinja2
          libcairo2-dev fonts-dejavu-core bc
          libzmq3-dev python3-zmq gnuradio gnuradio-dev libpng-dev ccache)

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

# ccache lets trees built with the same flags share their objects: the release stage's and the
# package stage's Release trees compile the library and the engine alike.
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD
fi

stage() { # stage NAME COMMAND...: run a stage of the test command and say how long it took
    local name=$1 start=$SECONDS
    shift
    "$@"
    echo "== $name: $((SECONDS - start)) s" >&2
}

build() { # build DIR [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

sanitized_tests() { # the whole suite again under ASan and UBSan (the asan preset)
    cmake --preset asan >/dev/null
    cmake --build --preset asan -j"$jobs"
    ctest --preset asan -j"$jobs"
}

lint() { # static analysis of the library, the engine and the tool; formatting and whitespace
    cmake -S . -B build/lint -DRSID_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
    local sources
    mapfile -t sources < <(git ls-files 'lib/*.cpp' 'engine/*.cpp' 'io/*.cpp' 'tools/*.cpp' \
        'gnuradio/lib/*.cpp')
    # Checks in .clang-tidy; engine/, io/ and tools/ add to them in their own .clang-tidy.
    echo "clang-tidy: lib/ engine/ io/ tools/ gnuradio/lib/ (warnings are errors)" >&2
    printf '%s\0' "${sources[@]}" |
        xargs -0 -n 4 -P "$jobs" clang-tidy-14 -p build/lint --quiet 2>/dev/null
    echo "cppcheck: lib/ engine/ io/ tools/" >&2
    cppcheck --project=build/lint/compile_commands.json --file-filter='lib/*' \
        --enable=all --suppress=missingIncludeSystem --inline-suppr --error-exitcode=1 \
        --quiet
    # unusedFunction is left to lib/: the engine's and the tool's functions are also called by
    # the tests, the fuzz harness and the other hosts, which this build leaves out (a folder
    # where it would find nothing, as tools/ now, must not fail on the unused suppression).
    local dir
    for dir in engine io tools; do
        cppcheck --project=build/lint/compile_commands.json --file-filter="$dir/*" \
            --enable=all --suppress=missingIncludeSystem --suppress=unusedFunction \
            --suppress=unmatchedSuppression --inline-suppr --error-exitcode=1 --quiet
    done
    echo "clang-format and git diff --check: all sources" >&2
    git ls-files -z -- '*.c' '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run -Werror
    git diff --check "$(git hash-object -t tree /dev/null)" # tracked files, committed or not
}

fuzz() { # fuzz SECONDS: build the harnesses with clang and run them, two at a time, SECONDS in all
    local seconds=$1 harnesses=(exports tool_input tool_command tool_stream python_arguments
        sigmf iq_scan engine_api zmq_tags)
    local h p rc=0
    local -A pid=() failed=()
    # Two at a time on two cores, the stage's seconds shared between the rounds of two: the
    # stage keeps its length however many harnesses there are.
    local rounds=$(((${#harnesses[@]} + 1) / 2))
    local share=$(((seconds + rounds - 1) / rounds))
    cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
        -DRSID_BUILD_FUZZ=ON -DRSID_BUILD_TESTS=OFF -DRSID_WERROR=ON >/dev/null
    cmake --build build/fuzz -j"$jobs" --target "${harnesses[@]/%/_fuzz}"
    # fontconfig keeps its cache for the life of the process (tests/lsan.supp names only it).
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
    for h in "${harnesses[@]}"; do
        # New inputs go to the first directory, so the committed seeds stay as they are. The
        # tool's own messages (help, refusals) are closed off; sanitizer reports still show.
        mkdir -p "build/fuzz/corpus/$h"
        ./build/fuzz/fuzz/${h}_fuzz -max_total_time="$share" -timeout=30 -print_final_stats=1 \
            -close_fd_mask=3 -artifact_prefix="build/fuzz/${h}-" "build/fuzz/corpus/$h" \
            "fuzz/corpus/$h" >"build/fuzz/$h.log" 2>&1 &
        pid[$h]=$!
        [ ${#pid[@]} -eq 2 ] || continue
        for p in "${!pid[@]}"; do wait "${pid[$p]}" || failed[$p]=1; done
        pid=()
    done
    for p in "${!pid[@]}"; do wait "${pid[$p]}" || failed[$p]=1; done
    for h in "${harnesses[@]}"; do
        if [ -z "${failed[$h]:-}" ]; then
            echo "fuzz $h: $(grep -E 'stat::number_of_executed_units' "build/fuzz/$h.log" |
                awk '{print $2}') inputs in ${share} s, no finding" >&2
        else
            rc=1
            tail -n 60 "build/fuzz/$h.log" >&2
            echo "fuzz $h: FAILED (log build/fuzz/$h.log, input build/fuzz/$h-*)" >&2
        fi
    done
    return $rc
}

web() { # the browser build: wasm preset, package, page; Node and Chromium tests (web/test/)
    # The preset gives emcc NODE_PATH=/usr/share/nodejs, where Debian keeps its JS modules.
    # emcc is not a compiler ccache knows: the browser build goes without it.
    (unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER && cmake --preset wasm >/dev/null)
    cmake --build --preset wasm -j"$jobs"
    cp build/wasm/web/rsid.wasm web/src/rsid.wasm # what the package and the page load
    # The native side: the reference the WebAssembly build must equal, and the tool that
    # writes the test files (already built by the test stage).
    cmake -S . -B build/test -DRSID_BUILD_TESTS=ON -DRSID_BUILD_BENCH=ON -DRSID_WERROR=ON >/dev/null
    cmake --build build/test -j"$jobs" --target web_reference rsid_cli
    (cd web && npm ci --no-audit --no-fund --loglevel=error && node --test test/*.test.mjs)
}

release_tests() { # the signal's tests again at -O3, where the compiler vectorises differently
    cmake -S . -B build/rel -DCMAKE_BUILD_TYPE=Release -DRSID_BUILD_TESTS=ON -DRSID_WERROR=ON \
        >/dev/null
    cmake --build build/rel -j"$jobs" --target spectrum_test detect_test receivers_test engine_test
    (cd build/rel && ctest --output-on-failure -j"$jobs" -R "^(Spectrum|Detect|Receivers|Engine|Scanner)")
}

thread_tests() { # the tests that run detectors on threads, under ThreadSanitizer (tsan preset)
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j"$jobs" --target receivers_test engine_test engine_capi_test tools_cli_test
    ctest --preset tsan -j"$jobs"
}

python_tests() { # the module installed the README's way into a clean venv, then its tests
    local venv=build/venv
    rm -rf "$venv"
    /usr/bin/python3 -m venv --system-site-packages "$venv" # Debian's Python and its packages
    "$venv/bin/pip" install -q --no-build-isolation --no-index ./python
    # Run from outside the source tree, so that `import rsid` finds the installed package.
    (cd "$venv" && bin/python -m pytest -q -p no:cacheprovider "$OLDPWD/tests/python")
}

package_tests() { # install into a scratch prefix, then as a .deb, and build consumers both ways
    # One Release build for both routes. Nothing of rsid is installed under /usr yet (checked
    # below before the .debs go in), so an installed file that named the configured prefix
    # instead of its own place would leave the scratch prefix's consumers without it.
    # The GNU Radio blocks are in no Debian package (the suite tests them installed, in
    # gnuradio.install): this build leaves them out.
    build build/deb -DCMAKE_BUILD_TYPE=Release -DRSID_BUILD_TESTS=OFF -DRSID_BUILD_GNURADIO=OFF \
        -DRSID_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr
    local prefix
    prefix=$(mktemp -d)
    cmake --install build/deb --prefix "$prefix" >/dev/null
    tests/install/consumers.sh "$prefix" .   # and rsid as a subproject of another build
    rm -rf "$prefix"

    rm -f build/deb/*.deb
    (cd build/deb && cpack -G DEB >/dev/null)
    # One package per component: the two runtime libraries, the development files, the tool.
    local debs=() p
    for p in librsid0 librsid-engine0 librsid-dev rsid; do
        debs+=("$(ls build/deb/${p}_*.deb)")
    done
    for p in "${debs[@]}"; do
        dpkg-deb --info "$p" | grep -E '^ (Package|Version|Depends):' >&2
        # grep reads the whole listing: -q would stop at the match, and the listing's writer
        # killed by the broken pipe fails the pipeline (pipefail) even though the file is there.
        dpkg-deb --contents "$p" | grep "usr/share/doc/.*/copyright" >/dev/null ||
            { echo "$p: no copyright file" >&2; return 1; }
    done
    # The libraries alone pull in neither the tool's dependencies nor FFTW.
    if dpkg-deb -f build/deb/librsid0_*.deb Depends build/deb/librsid-engine0_*.deb |
        grep -Eq 'fftw|cairo|mosquitto|sndfile'; then
        echo "a library package depends on the tool's libraries" >&2
        return 1
    fi
    # librsid-engine.so links KissFFT; rsid-engine.pc names its .pc file (and soxr's).
    dpkg-deb -f build/deb/librsid-engine0_*.deb Depends | grep -q 'libkissfft-float' ||
        { echo "librsid-engine0 does not depend on KissFFT's library" >&2; return 1; }
    dpkg-deb -f build/deb/librsid-dev_*.deb Depends | grep -q 'libkissfft-dev' ||
        { echo "librsid-dev does not depend on libkissfft-dev" >&2; return 1; }
    if command -v lintian >/dev/null; then
        lintian --fail-on error "${debs[@]}" >&2
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "not root: built ${debs[*]} but did not install them" >&2
        return 0
    fi
    if dpkg-query -W -f='${Status}' rsid librsid0 librsid-engine0 librsid-dev 2>/dev/null |
        grep -q "ok installed"; then
        echo "rsid packages are already installed here; leaving them alone, not testing them" >&2
        return 0
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]/#/./}" >/dev/null
    local rc=0
    tests/install/consumers.sh /usr || rc=$?
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq rsid librsid-dev librsid-engine0 librsid0 \
        >/dev/null
    return $rc
}

case "${1:-}" in
demo)
    install_missing
    build build/release -DCMAKE_BUILD_TYPE=Release -DRSID_BUILD_TESTS=OFF -DRSID_BUILD_GNURADIO=OFF
    # A round trip through a real file: a 1500 Hz identifier 2 s into a 16-bit WAV, found again.
    ./build/release/tools/rsid send -f 1500 --lead 2 --tail 1 -o build/release/demo.wav
    echo "wrote build/release/demo.wav; rsid detect finds:" >&2
    ./build/release/tools/rsid detect build/release/demo.wav
    ;;
test)
    install_missing
    stage build build build/test -DRSID_BUILD_TESTS=ON -DRSID_BUILD_BENCH=ON -DRSID_BUILD_PYTHON=ON \
        -DRSID_WERROR=ON -DPython_EXECUTABLE=/usr/bin/python3
    stage suite bash -c 'cd build/test && ctest --output-on-failure -j"$1"' - "$jobs"
    stage python python_tests
    stage web web
    stage asan sanitized_tests
    stage release release_tests
    stage tsan thread_tests
    stage lint lint
    stage fuzz fuzz 60
    stage packages package_tests
    ;;
web)
    install_missing
    web
    ;;
lint)
    install_missing
    lint
    ;;
fuzz)
    install_missing
    fuzz "${2:-600}"
    ;;
*)
    echo "usage: $0 demo|test|web|lint|fuzz [SECONDS]" >&2
    exit 2
    ;;
esac
