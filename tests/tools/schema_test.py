#!/usr/bin/env python3
"""schema_test.py RSID SCHEMA - the JSON Schema shipped with the tool is a valid 2020-12 schema,
and every kind of record `rsid detect --json` prints (detections with and without a label,
every end status) validates against it with python3-jsonschema, independently of the C++
validator the CLI tests use. Exits 77 (skipped) when python3-jsonschema is not installed."""
import json
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed: skipped")
    sys.exit(77)

rsid, schema_path = sys.argv[1], sys.argv[2]
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)

with tempfile.TemporaryDirectory() as d:
    def run(*args, stdin=None):
        return subprocess.run([rsid, *args], cwd=d, input=stdin, capture_output=True, check=False)

    assert run("send", "-f", "1000", "--lead", "0.5", "--repeat", "2", "-o", "id.wav").returncode == 0
    with open(os.path.join(d, "junk.wav"), "wb") as f:
        f.write(b"not audio")
    lines = []
    for args in (["detect", "--json", "id.wav", "missing.wav", "junk.wav"],
                 ["detect", "--json", "--label", "site 4", "--channel", "1", "id.wav"],
                 ["detect", "--json", "--once", "id.wav", "id.wav"]):
        lines += run(*args).stdout.decode("utf-8").splitlines()
    kinds = set()
    for line in lines:
        record = json.loads(line)
        validator.validate(record)
        kinds.add((record["type"], record.get("status"), "label" in record))
    want = {("detection", None, False), ("detection", None, True), ("end", "ok", False),
            ("end", "error", False), ("end", "stopped", False)}
    missing = want - kinds
    assert not missing, f"no record of kinds {missing} in:\n" + "\n".join(lines)
    print(f"{len(lines)} records valid against {os.path.basename(schema_path)}")
