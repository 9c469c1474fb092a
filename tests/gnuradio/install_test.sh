#!/bin/sh
# install_test.sh CMAKE PYTHON BUILD PREFIX GRC - the blocks as a user installs them: the engine
# and gnuradio components into a scratch prefix, then, from outside the build tree and with
# only PYTHONPATH set, `from gnuradio import rsid` finds the module and its libraries (RPATH),
# and grcc compiles the example flowgraph with the installed GRC definitions.
set -eu
cmake=$1 python=$2 build=$3 prefix=$4 grc=$5
rm -rf "$prefix"
for component in engine gnuradio; do
    "$cmake" --install "$build" --component "$component" --prefix "$prefix" >/dev/null
done
cd "$prefix"
PYTHONPATH="$prefix/lib/python3/dist-packages" PREFIX="$prefix" "$python" -c '
import os
from gnuradio import rsid
assert rsid.__file__.startswith(os.environ["PREFIX"]), rsid.__file__
assert rsid.band_scanner(48000, 7.04e6).center_freq() == 7.04e6
rsid.detector(44100)
'
GRC_BLOCKS_PATH="$prefix/share/gnuradio/grc/blocks" grcc -o "$prefix/grcc" "$grc" >/dev/null 2>&1 ||
    { echo "grcc could not compile $grc with the installed blocks" >&2; exit 1; }
grep -q "rsid.band_scanner(samp_rate, center_freq, \[\])" "$prefix/grcc/band_scan.py"
echo "installed into $prefix: from gnuradio import rsid works; grcc compiles the example"
