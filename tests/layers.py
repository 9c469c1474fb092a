"""layers.py SOURCE - the tree's dependencies run one way: lib/ <- engine/ <- io/ <- hosts.

Every #include "..." of a layer's sources must name a header of that layer or of a layer below
it; a header of a layer above (the engine's detector in lib/, the tool's commands in io/) fails,
naming the file, the line and the header.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
layers = ["lib", "engine", "io", "tools"]  # each may use those before it
headers = {layer: {} for layer in layers}
for layer in layers:
    for h in (root / layer).rglob("*.h"):
        # io/ headers are named from io/ ("input/audio_input.h"), the others by their file name.
        name = str(h.relative_to(root / "io")) if layer == "io" else h.name
        headers[layer][name] = h
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
faults = []
for i, layer in enumerate(layers):
    above = {name: upper for upper in layers[i + 1:] for name in headers[upper]}
    below = {name for lower in layers[:i + 1] for name in headers[lower]}
    for f in sorted((root / layer).rglob("*")):
        if f.suffix not in (".h", ".cpp", ".c"):
            continue
        for n, line in enumerate(f.read_text(encoding="utf-8").splitlines(), 1):
            m = include.match(line)
            if m and m.group(1) in above and m.group(1) not in below:
                faults.append(f"{f.relative_to(root)}:{n}: includes {m.group(1)} "
                              f"of {above[m.group(1)]}/, a layer above {layer}/")
print("\n".join(faults) or "lib/ <- engine/ <- io/ <- tools/: no include runs upwards")
sys.exit(1 if faults else 0)
