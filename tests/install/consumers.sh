#!/usr/bin/env bash
# consumers.sh PREFIX - checks an installed rsid the way its users meet it: the shared library
# with its SONAME links and exactly eight exports, then a C program built with pkg-config and a
# CMake project using find_package(rsid), each of which sends and recognises the identifier,
# and the licence in the package. Then the engine: librsid-engine.so with exactly the functions
# of its installed header, and three hosts of its C API - examples/engine/detect.c built with
# pkg-config, a C++ program built with find_package(rsid COMPONENTS engine) and
# examples/engine/detect.py through ctypes - which must each find the three identifiers of a WAV
# file and of a cf32 band, and print the same lines. With a second argument SOURCE, also a
# project that builds rsid from SOURCE with add_subdirectory().
set -euo pipefail
prefix=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The prefix's .pc files first; the system's after them, for the engine's dependencies.
system_pc=$(pkg-config --variable pc_path pkg-config)
export PKG_CONFIG_PATH=
export PKG_CONFIG_LIBDIR=
for d in "$prefix"/lib*/pkgconfig "$prefix"/lib/*/pkgconfig "$prefix"/share/pkgconfig; do
    [ -d "$d" ] && PKG_CONFIG_LIBDIR=${PKG_CONFIG_LIBDIR:+$PKG_CONFIG_LIBDIR:}$d
done
PKG_CONFIG_LIBDIR=$PKG_CONFIG_LIBDIR:$system_pc
libdir=$(pkg-config --variable=libdir rsid)
echo "rsid $(pkg-config --modversion rsid) in $prefix (libdir $libdir)"

# The library: real file, SONAME link, development link, and the ABI.
soname=$(readelf -d "$libdir/librsid.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "librsid.so.0" ] || { echo "unexpected SONAME '$soname'" >&2; exit 1; }
[ -L "$libdir/librsid.so" ] && [ -L "$libdir/$soname" ] && [ -f "$(readlink -f "$libdir/librsid.so")" ]
cmake -DLIB="$libdir/librsid.so" -P "$here/../abi/exports.cmake"
[ -f "$(pkg-config --variable=includedir rsid)/rsid.h" ]

# pkg-config, as in a Makefile. The rpath lets the program find a library outside the
# loader's default directories.
rpath="-Wl,-rpath,$libdir"
# shellcheck disable=SC2046 # the flags are meant to be split
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/consumer_c" "$here/consumer.c" \
    $(pkg-config --cflags --libs rsid) -lm "$rpath"
# shellcheck disable=SC2046
c++ -std=c++11 -Wall -Wextra -Wpedantic -Werror -o "$work/consumer_cxx" "$here/consumer.cpp" \
    $(pkg-config --cflags --libs rsid) "$rpath"
"$work/consumer_c"
"$work/consumer_cxx"
pkg-config --static --libs rsid | grep -qw -- -lm || { echo "rsid.pc: no -lm in Libs.private" >&2; exit 1; }
# The licence: Debian's copyright file of each package, and the MIT licence named by rsid.pc.
for package in librsid0 librsid-engine0 librsid-dev; do
    grep -q "MIT License" "$prefix/share/doc/$package/copyright" ||
        { echo "no copyright file for $package" >&2; exit 1; }
done
grep -qx "License: MIT" "$(pkg-config --variable=pcfiledir rsid)/rsid.pc" ||
    { echo "rsid.pc: no License" >&2; exit 1; }

# The engine: SONAME, links, the ABI against the installed header, and rsid-engine.pc.
soname=$(readelf -d "$libdir/librsid-engine.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "librsid-engine.so.0" ] || { echo "unexpected engine SONAME '$soname'" >&2; exit 1; }
[ -L "$libdir/librsid-engine.so" ] && [ -L "$libdir/$soname" ]
header="$(pkg-config --variable=includedir rsid-engine)/rsid_engine.h"
cmake -DLIB="$libdir/librsid-engine.so" -DHEADER="$header" -DMACRO=RSID_ENGINE_API \
    -P "$here/../abi/exports.cmake"
for lib in soxr kissfft-float; do
    pkg-config --static --libs rsid-engine | grep -qw -- "-l$lib" ||
        { echo "rsid-engine.pc: $lib not in Requires.private" >&2; exit 1; }
done
python3 "$here/make_inputs.py" "$work"
inputs=("$work/several.wav" "$work/band.cf32" 48000 7040000)
examples="$here/../../examples/engine"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/detect" "$examples/detect.c" \
    $(pkg-config --cflags --libs rsid-engine) "$rpath"
"$work/detect" "${inputs[@]}" >"$work/engine_c.txt"
if [ "$prefix" = /usr ]; then # the loader finds it, as on any system with the package
    python3 "$examples/detect.py" "${inputs[@]}" >"$work/engine_py.txt"
else
    RSID_ENGINE_LIB="$libdir/$soname" python3 "$examples/detect.py" "${inputs[@]}" \
        >"$work/engine_py.txt"
fi
cat "$work/engine_c.txt"
for file in several.wav band.cf32; do
    [ "$(grep -c "^$work/$file: code 131 " "$work/engine_c.txt")" -eq 3 ] ||
        { echo "the C host did not find three identifiers in $file" >&2; exit 1; }
done
diff "$work/engine_c.txt" "$work/engine_py.txt" || { echo "ctypes and C differ" >&2; exit 1; }

# CMake: find_package(rsid CONFIG COMPONENTS engine), the imported targets rsid::rsid and
# rsid::engine.
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer_c"
"$work/cmake/consumer_cxx"
"$work/cmake/engine_consumer" "${inputs[@]}" >"$work/engine_cxx.txt"
diff "$work/engine_c.txt" "$work/engine_cxx.txt" || { echo "C++ and C differ" >&2; exit 1; }
# The tool, when it was installed: its man page, and a round trip through a WAV file.
if [ -e "$prefix/bin/rsid" ]; then
    grep -q "MIT License" "$prefix/share/doc/rsid/copyright" || { echo "no copyright file for rsid" >&2; exit 1; }
    [ -f "$prefix/share/man/man1/rsid.1.gz" ] || { echo "no man page for rsid" >&2; exit 1; }
    [ -f "$prefix/share/rsid/detection.schema.json" ] || { echo "no JSON schema" >&2; exit 1; }
    "$prefix/bin/rsid" send -f 1200 -o "$work/id.wav"
    "$prefix/bin/rsid" detect "$work/id.wav" | tee "$work/found.txt"
    grep -q "code 131" "$work/found.txt"
fi
if [ $# -ge 2 ]; then
    cmake -S "$here/subproject" -B "$work/sub" -DRSID_SOURCE_DIR="$(cd "$2" && pwd)" >/dev/null
    cmake --build "$work/sub" -j2 >/dev/null
    "$work/sub/consumer_c"
    "$work/sub/engine_consumer" "${inputs[@]}" >"$work/engine_sub.txt"
    diff "$work/engine_c.txt" "$work/engine_sub.txt" || { echo "subproject and C differ" >&2; exit 1; }
fi
echo "install check passed for $prefix"
