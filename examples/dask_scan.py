#!/usr/bin/env python3
"""dask_scan.py - scan a folder of recordings, or a manifest, for identifiers with Dask.

    python3 dask_scan.py RECORDINGS/ -o found.jsonl                  # a LocalCluster here
    python3 dask_scan.py --manifest list.txt -o found.jsonl --scheduler tcp://HOST:8786
    python3 dask_scan.py RECORDINGS/ -o found.jsonl --serial         # one process, no Dask

Each file is one task (a dask.bag with one file per partition) run on dask.distributed; every
worker needs `import rsid` and the files under the same paths. The output is the JSON Lines
`rsid detect --json` prints, written by the same writer (rsid.file_records): a "detection"
record per identifier, then an "end" record per input (status "ok", or "error" with the
reader's message), sorted by input. Every file under the folder is tried: the readers know a
sound file by its content, not its name, so every format the tool reads is scanned, and a file
that is not audio gets an "error" end record saying so. Skipped, and named on stderr with the
reason: hidden files and the output file itself. Records reach the file as each input is done,
so a stopped scan resumes: inputs that already have an "ok" end record are not scanned again,
and the records of inputs left half-written are dropped.
"""

import argparse
import json
import os
import pathlib
import sys
import time

import rsid


def scan(path):
    """Every record for one input, as `rsid detect --json` writes them; runs on a worker."""
    return rsid.file_records(path)


def skipped_because(path, output):
    """Why a file under the folder is not scanned, or None to scan it."""
    if path.resolve() in (output.resolve(), output.resolve().with_name(output.name + ".tmp")):
        return "the output file"
    if path.name.startswith("."):
        return "a hidden file"
    return None


def inputs(folder, manifest, output):
    """The paths to scan; what a folder holds but is skipped is named on stderr."""
    if manifest:
        lines = pathlib.Path(manifest).read_text().splitlines()
        return [s.strip() for s in lines if s.strip() and not s.lstrip().startswith("#")]
    wanted = []
    for p in sorted(pathlib.Path(folder).rglob("*")):
        if not p.is_file():
            continue
        why = skipped_because(p, pathlib.Path(output))
        if why:
            print(f"dask_scan: skipped {p}: {why}", file=sys.stderr)
        else:
            wanted.append(str(p))
    return wanted


def read_output(path):
    """The lines of inputs that were completed, by input; a cut-off last line is ignored."""
    by_input, done = {}, set()
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                try:
                    r = json.loads(line)
                except ValueError:
                    continue
                by_input.setdefault(r["input"], []).append(line.rstrip("\n"))
                if r["type"] == "end" and r["status"] == "ok":
                    done.add(r["input"])
    return {i: lines for i, lines in by_input.items() if i in done}


def write_sorted(path, by_input):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        for name in sorted(by_input):
            for line in by_input[name]:
                f.write(line + "\n")
    os.replace(tmp, path)


def run(todo, out, by_input, args):
    def keep(lines):
        name = json.loads(lines[0])["input"]
        by_input[name] = lines
        out.write("".join(line + "\n" for line in lines))
        out.flush()

    if args.serial:
        for path in todo:
            keep(scan(path))
        return
    import dask.bag as db
    from dask.distributed import Client, LocalCluster, as_completed

    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    try:
        bag = db.from_sequence(todo, partition_size=1).map(scan)
        for future in as_completed(client.compute(bag.to_delayed())):
            for lines in future.result():
                keep(lines)
    finally:
        client.close()
        if cluster:
            cluster.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("folder", nargs="?", help="scan every sound file under this folder")
    p.add_argument("--manifest", help="scan the paths listed in this file, one a line")
    p.add_argument("-o", "--output", required=True, help="JSON Lines file, created or resumed")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                   help="worker processes of the local cluster (default: one per core)")
    p.add_argument("--scheduler", help="address of a running dask.distributed scheduler")
    p.add_argument("--serial", action="store_true", help="scan in this process, without Dask")
    args = p.parse_args()
    if bool(args.folder) == bool(args.manifest):
        p.error("give a folder or --manifest, not both")

    started = time.monotonic()
    wanted = inputs(args.folder, args.manifest, args.output)
    by_input = read_output(args.output)
    todo = [i for i in dict.fromkeys(wanted) if i not in by_input]
    write_sorted(args.output, by_input)  # drops what a stopped run left half-written
    with open(args.output, "a") as out:
        if todo:
            run(todo, out, by_input, args)
    write_sorted(args.output, by_input)
    print(f"dask_scan: {len(todo)} scanned, {len(wanted) - len(todo)} already done, "
          f"{time.monotonic() - started:.2f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
