"""What a time range costs: scan_video over the last 5 s of a 60 s 1080p H.264
clip against the whole clip.

Run with the project venv after building the module:

    nice .venv/bin/python bench/bench_range.py [--rounds 3]

The clip (testsrc2 at 30 fps, libx264 with its default key frame interval of
250 frames and B-frames) is generated once with ffmpeg into
build/bench-cache/ and reused. Each scan runs in a fresh child process (so
each pays its own start-up), rounds interleaved, and the best wall time of
each is kept. A range seeks to the key frame at or before its start and stops
decoding at its end, so it should cost about its share of the frames plus up
to one key frame interval of decoding before the start.
"""

import argparse
import subprocess
import sys
from pathlib import Path

from bench_common import run_python

CACHE = Path(__file__).resolve().parent.parent / "build" / "bench-cache"
SECONDS = 60

SCAN = """
import json, sys, time
import velmar
start = time.perf_counter()
kwargs = json.loads(sys.argv[2])
r = velmar.scan_video(sys.argv[1], **kwargs)
print(json.dumps({"seconds": time.perf_counter() - start, "frames": r.frame_count,
                  "first": r.first_frame, "scenes": len(r.scenes)}))
"""


def clip() -> Path:
    path = CACHE / "range-1080p-60s.mp4"
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                        "-i", f"testsrc2=s=1920x1080:r=30:d={SECONDS}", "-c:v", "libx264",
                        "-preset", "veryfast", "-pix_fmt", "yuv420p", str(path)], check=True)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    video = clip()
    cases = {"whole 60 s": "{}", "last 5 s": f'{{"start": {SECONDS - 5}}}'}
    best: dict[str, dict] = {}
    for _ in range(args.rounds):
        for name, kwargs in cases.items():
            result = run_python(SCAN, video, kwargs)
            if name not in best or result["seconds"] < best[name]["seconds"]:
                best[name] = result
    whole = best["whole 60 s"]["seconds"]
    print(f"{'scan':<12} {'seconds':>8} {'frames':>7} {'first':>6} {'share':>6}")
    for name, result in best.items():
        print(f"{name:<12} {result['seconds']:8.3f} {result['frames']:7d} {result['first']:6d} "
              f"{result['seconds'] / whole:6.1%}")
    print(f"best of {args.rounds} interleaved rounds, {video.name}, Python {sys.version.split()[0]}")


if __name__ == "__main__":
    main()
