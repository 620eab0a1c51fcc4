"""Frame difference throughput against numpy and OpenCV.

Run with the project venv after building the module (scripts/test does both):

    .venv/bin/python bench/bench_difference.py

numpy and opencv-python-headless are only needed here; the script installs
them into the running interpreter's environment with pip when they are
missing.

Two random 1920x1080 gray frames are compared over and over. Throughput is
frame data read per second: each call reads both frames, 2 x 2,073,600
bytes, so GB/s = 4,147,200 bytes / seconds per call / 1e9. The frames stay
in the processor caches between calls as far as they fit; every method gets
the same conditions. Each row is measured twice, in a fresh child process
whose affinity mask allows all processors and in one allowed a single
processor (the worker pool sizes itself from that mask, so the second
column is the single-core figure).
"""

import argparse
import json
import os
import subprocess
import sys
import time

from bench_common import ensure_modules

WIDTH, HEIGHT = 1920, 1080
PIXELS = WIDTH * HEIGHT
BYTES_PER_CALL = 2 * PIXELS


def seconds_per_call(fn, min_time=0.25, rounds=5):
    """Best of `rounds` timings of a loop long enough to take `min_time`."""
    fn()
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_time / 5:
            break
        loops *= 2
    loops = max(1, int(loops * (min_time / max(elapsed, 1e-9))))
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        best = min(best, (time.perf_counter() - start) / loops)
    return best


def measure(cpus):
    os.sched_setaffinity(0, cpus)  # before velmar sizes its pool
    import cv2
    import numpy as np

    import velmar

    cv2.setNumThreads(len(cpus))
    rng = np.random.default_rng(2024)
    a = rng.integers(0, 256, size=(HEIGHT, WIDTH), dtype=np.uint8)
    b = rng.integers(0, 256, size=(HEIGHT, WIDTH), dtype=np.uint8)
    fa = velmar.PyVideoFrame(0, WIDTH, HEIGHT, a.tobytes())
    fb = velmar.PyVideoFrame(1, WIDTH, HEIGHT, b.tobytes())

    methods = {
        "calculate_difference": lambda: fa.calculate_difference(fb),
        "calculate_difference_simd": lambda: fa.calculate_difference_simd(fb),
        "numpy abs(a - b).mean()": lambda: np.abs(a.astype(np.int16) - b).mean(),
        "cv2.norm(NORM_L1) / n": lambda: cv2.norm(a, b, cv2.NORM_L1) / PIXELS,
    }
    values = {name: float(fn()) for name, fn in methods.items()}
    if len(set(values.values())) != 1:
        raise SystemExit(f"methods disagree: {values}")
    return {name: BYTES_PER_CALL / seconds_per_call(fn) / 1e9 for name, fn in methods.items()}


def run_child(cpus):
    out = subprocess.run(
        [sys.executable, __file__, "--child", json.dumps(sorted(cpus))],
        check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(set(json.loads(args.child)))))
        return

    ensure_modules(("numpy", "numpy"), ("cv2", "opencv-python-headless"))
    cpus = sorted(os.sched_getaffinity(0))
    columns = [(f"GB/s, {len(cpus)} cpus", run_child(cpus))]
    if len(cpus) > 1:
        columns.append(("GB/s, 1 cpu", run_child(cpus[:1])))

    print(f"frame difference, {WIDTH}x{HEIGHT} gray, {BYTES_PER_CALL:,} bytes of frame data per call")
    name_width = max(len(name) for name in columns[0][1])
    print(f"{'method':<{name_width}}  " + "  ".join(f"{title:>14}" for title, _ in columns))
    for name in columns[0][1]:
        print(f"{name:<{name_width}}  " + "  ".join(f"{col[name]:>14.2f}" for _, col in columns))


if __name__ == "__main__":
    main()
