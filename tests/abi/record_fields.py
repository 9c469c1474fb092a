#!/usr/bin/env python3
"""record_fields.py SOURCE - one record, one definition: struct rsid_detection of
engine/rsid_engine.h (the ABI) names the fields of a detection and their kinds, and every other
form of the record must carry each of them with the same name and kind:
  the engine's C++ record          engine/detection.h (the C API copies from it)
  the tool's JSON                  io/records/detection.schema.json, $defs.detection
  Python                           python/rsid/__init__.py and __init__.pyi, class Detection
  JavaScript                       web/src/index.d.ts (interface Detection), web/src/core.js
  the ctypes example               examples/engine/detect.py: the same layout, field for field
  GNU Radio's dict                 gnuradio/lib/reports.cpp, report_dict
Hosts may add fields of their own (the input's rate, the detector's bin); none may drop one."""
import json
import re
import sys

src = sys.argv[1]
failures = []


def read(path):
    with open(f"{src}/{path}", encoding="utf-8") as f:
        return f.read()


def check(where, have, kinds):
    """have: {name: kind} of one form; kinds: its word for 'integer' and for 'real'."""
    for name, kind in fields.items():
        if name not in have:
            failures.append(f"{where}: no field {name}")
        elif have[name] != kinds[kind]:
            failures.append(f"{where}: {name} is {have[name]}, not {kinds[kind]}")


# The definition: the C struct, in order.
struct = re.search(r"typedef struct rsid_detection \{(.*?)\} rsid_detection;",
                   read("engine/rsid_engine.h"), re.S).group(1)
decls = re.findall(r"^\s*(int32_t|int64_t|double)\s+(\w+);", struct, re.M)
c_types = {name: ctype for ctype, name in decls}
fields = {name: ("int" if ctype.startswith("int") else "real") for ctype, name in decls}
if len(fields) < 8:
    sys.exit(f"rsid_engine.h: found only {list(fields)} in struct rsid_detection")

cxx = dict((n, t) for t, n in re.findall(r"^\s*(int|int64_t|double)\s+(\w+)\s*=",
                                         read("engine/detection.h"), re.M))
check("engine/detection.h", {n: "int" if t.startswith("int") else "real" for n, t in cxx.items()},
      {"int": "int", "real": "real"})

schema = json.loads(read("io/records/detection.schema.json"))["$defs"]["detection"]["properties"]
check("detection.schema.json", {n: p.get("type") for n, p in schema.items()},
      {"int": "integer", "real": "number"})

for path in ("python/rsid/__init__.py", "python/rsid/__init__.pyi"):
    body = re.search(r"class Detection[^\n]*\n(.*?)(?=\n\S)", read(path), re.S).group(1)
    check(path, dict(re.findall(r"^    (\w+): (\w+)$", body, re.M)), {"int": "int", "real": "float"})

body = re.search(r"export interface Detection \{(.*?)\n\}", read("web/src/index.d.ts"), re.S)
check("web/src/index.d.ts", dict(re.findall(r"^  (\w+): (\w+);", body.group(1), re.M)),
      {"int": "number", "real": "number"})
body = re.search(r"function detection\(row, rate\) \{(.*?)\n\}", read("web/src/core.js"), re.S)
check("web/src/core.js", {n: "value" for n in re.findall(r"^    (\w+)[:,]", body.group(1), re.M)},
      {"int": "value", "real": "value"})

body = re.search(r"pmt::pmt_t report_dict\(.*?\n\}", read("gnuradio/lib/reports.cpp"), re.S).group(0)
check("gnuradio/lib/reports.cpp", {n: "real" if t == "double" else "int" for n, t in
                                   re.findall(r'put\("(\w+)", pmt::from_(\w+)\(', body)},
      {"int": "int", "real": "real"})

# ctypes reads the C memory: the same fields in the same order with the same C types.
ctypes_fields = re.findall(r'\("(\w+)", ctypes\.c_(\w+)\)', read("examples/engine/detect.py"))
want = [(name, {"int32_t": "int32", "int64_t": "int64", "double": "double"}[t])
        for name, t in c_types.items()]
if ctypes_fields != want:
    failures.append(f"examples/engine/detect.py: _fields_ {ctypes_fields}, not {want}")

for f in failures:
    print(f, file=sys.stderr)
print(f"{len(fields)} fields of rsid_detection checked in 8 places: "
      f"{'FAILED' if failures else 'all agree'}")
sys.exit(1 if failures else 0)
