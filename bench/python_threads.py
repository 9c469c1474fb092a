#!/usr/bin/env python3
"""python_threads.py - rsid.detect in 1 and in 2 Python threads: the speed-up the GIL release
gives. Prints seconds per batch and the ratio; run on an otherwise idle machine.

    PYTHONPATH=build/py/python python3 bench/python_threads.py [MINUTES]
"""

import sys
import threading
import time

import numpy as np

import rsid

minutes = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
rate = 48000
clip = np.concatenate([np.zeros(int(minutes * 60 * rate), np.int16), rsid.send(1500.0, rate)])
jobs = 8  # clips per batch


def batch(threads):
    todo = list(range(jobs))
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                if not todo:
                    return
                todo.pop()
            assert len(rsid.detect(clip, rate)) == 1

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    start, cpu = time.perf_counter(), time.process_time()
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return time.perf_counter() - start, time.process_time() - cpu


audio = jobs * len(clip) / rate
print(f"{jobs} x {len(clip) / rate:.0f} s of audio per batch, best of 3")
wall = {}
for threads in (1, 2):
    wall[threads], cpu = min(batch(threads) for _ in range(3))
    print(f"{threads} thread(s): {wall[threads]:.2f} s ({audio / wall[threads]:.0f}x real time), "
          f"{cpu / wall[threads]:.2f} cores busy")
print(f"speed-up {wall[1] / wall[2]:.2f}x")
