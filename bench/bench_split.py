#!/usr/bin/env python3
"""Splitting a minute of real 1080p footage at its scenes: velmar.split_video
(accurate, and copy), beside one ffmpeg re-encode per scene.

    .venv/bin/python bench/bench_split.py [--rounds 1]

The clip is bench/scenes/speed.py's (58 s of real footage at 1920x1080, 25
fps, H.264 High with B-frames, 21 cuts); its scenes are those scan_video
finds. Two versions of it are split:
  - "as made": x264's own choice of key frames, which puts most cuts on a
    key frame, so an accurate split copies most parts;
  - "cuts off key frames": the same re-encoded with
    -x264-params scenecut=0:keyint=250, so the cuts fall between key frames
    and every part that does not start at a key frame is re-encoded.
For each version, in fresh processes, methods interleaved round after round:
  - velmar accurate: split_video(clip, scenes, out);
  - velmar copy: split_video(clip, scenes, out, copy=True), as a multiple
    of real time (the clip's duration over the wall time);
  - ffmpeg per scene: for every scene, ffmpeg -ss S -to E -i clip -c:v
    libx264 -preset veryfast -c:a aac part.mp4 (one process after another),
    the way a split is commonly scripted.
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE / "scenes"))
from bench_common import ensure_modules  # noqa: E402

SPLIT = ("import json, sys, velmar, warnings; warnings.simplefilter('ignore'); "
         "velmar.split_video(sys.argv[1], json.loads(sys.argv[2]), sys.argv[3], copy={copy})")


def off_key_frames(clip: pathlib.Path) -> pathlib.Path:
    """The clip with key frames every 250 frames and none at its cuts."""
    out = clip.with_name(clip.stem + "_keyint250.mp4")
    if not out.exists():
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(clip), "-c:v", "libx264",
                        "-x264-params", "scenecut=0:keyint=250", str(out)], check=True)
    return out


def key_frames(clip: pathlib.Path) -> set:
    """The frame numbers (presentation order) of the clip's key frames."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                          "packet=pts,flags", "-of", "csv=p=0", str(clip)],
                         capture_output=True, text=True, check=True).stdout
    packets = sorted((int(p), "K" in f) for p, f in (line.split(",")[:2] for line in out.split()))
    return {n for n, (_, key) in enumerate(packets) if key}


def timed(argv: list) -> float:
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def velmar_split(clip, scenes, copy: bool) -> float:
    with tempfile.TemporaryDirectory() as out:
        pairs = json.dumps([[s.start_frame, s.end_frame] for s in scenes])
        return timed([sys.executable, "-c", SPLIT.format(copy=copy), str(clip), pairs, out])


def ffmpeg_per_scene(clip, scenes) -> float:
    with tempfile.TemporaryDirectory() as out:
        start = time.perf_counter()
        for i, s in enumerate(scenes, 1):
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-ss", f"{s.start_time:.6f}", "-to",
                            f"{s.end_time:.6f}", "-i", str(clip), "-c:v", "libx264", "-preset",
                            "veryfast", "-c:a", "aac", f"{out}/part-{i:03d}.mp4"], check=True)
        return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=1, help="runs of each method")
    args = parser.parse_args()
    ensure_modules(("skvideo", "absolutely-not-scikit-video"))
    import velmar
    from speed import make_clip

    made = make_clip()
    print(f"{'clip':22} {'method':22} {'wall s':>7} {'vs ffmpeg':>10} {'x real time':>12}")
    for label, clip in (("as made", made), ("cuts off key frames", off_key_frames(made))):
        result = velmar.scan_video(str(clip))
        scenes = result.scenes
        keys = key_frames(clip)
        copied = sum(s.start_frame in keys and (s.end_frame + 1 in keys
                                                or s.end_frame + 1 == result.frame_count)
                     for s in scenes)
        times = {"velmar accurate": [], "velmar copy": [], "ffmpeg per scene": []}
        for _ in range(args.rounds):
            times["velmar accurate"].append(velmar_split(clip, scenes, copy=False))
            times["ffmpeg per scene"].append(ffmpeg_per_scene(clip, scenes))
            times["velmar copy"].append(velmar_split(clip, scenes, copy=True))
        median = {name: statistics.median(t) for name, t in times.items()}
        for name, wall in median.items():
            print(f"{label:22} {name:22} {wall:7.2f} {median['ffmpeg per scene'] / wall:9.2f}x "
                  f"{result.duration / wall:11.1f}x")
        print(f"{label:22} {len(scenes)} scenes, {copied} of them on clean key frames "
              f"(copied whole by the accurate split), {result.duration:.1f} s")


if __name__ == "__main__":
    main()
