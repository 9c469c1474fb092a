#!/usr/bin/env bash
# consumers.sh PREFIX - checks an installed rsid the way its users meet it: the shared library
# with its SONAME links and exactly eight exports, then a C program built with pkg-config and a
# CMake project using find_package(rsid), each of which sends and recognises the identifier,
# and the licence in the package. With a second argument SOURCE, also a project that builds
# rsid from SOURCE with add_subdirectory().
set -euo pipefail
prefix=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export PKG_CONFIG_PATH=
export PKG_CONFIG_LIBDIR=
for d in "$prefix"/lib*/pkgconfig "$prefix"/lib/*/pkgconfig "$prefix"/share/pkgconfig; do
    [ -d "$d" ] && PKG_CONFIG_LIBDIR=${PKG_CONFIG_LIBDIR:+$PKG_CONFIG_LIBDIR:}$d
done
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
# The licence: Debian's copyright file, and the MIT licence named by rsid.pc.
grep -q "MIT License" "$prefix/share/doc/rsid/copyright" || { echo "no copyright file" >&2; exit 1; }
grep -qx "License: MIT" "$(pkg-config --variable=pcfiledir rsid)/rsid.pc" ||
    { echo "rsid.pc: no License" >&2; exit 1; }

# CMake: find_package(rsid CONFIG) and the imported target rsid::rsid.
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer_c"
"$work/cmake/consumer_cxx"
# The tool, when it was installed: its man page, and a round trip through a WAV file.
if [ -e "$prefix/bin/rsid" ]; then
    [ -f "$prefix/share/man/man1/rsid.1" ] || { echo "no man page for rsid" >&2; exit 1; }
    [ -f "$prefix/share/rsid/detection.schema.json" ] || { echo "no JSON schema" >&2; exit 1; }
    "$prefix/bin/rsid" send -f 1200 -o "$work/id.wav"
    "$prefix/bin/rsid" detect "$work/id.wav" | tee "$work/found.txt"
    grep -q "code 131" "$work/found.txt"
fi
if [ $# -ge 2 ]; then
    cmake -S "$here/subproject" -B "$work/sub" -DRSID_SOURCE_DIR="$(cd "$2" && pwd)" >/dev/null
    cmake --build "$work/sub" -j2 >/dev/null
    "$work/sub/consumer_c"
fi
echo "install check passed for $prefix"
