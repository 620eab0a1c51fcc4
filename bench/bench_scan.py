"""scan_video against PySceneDetect, the ffmpeg decode floor and benchmark(),
on generated 60 s clips at 1080p and 720p.

Run with the project venv after building the module (scripts/test does both):

    .venv/bin/python bench/bench_scan.py [--rounds 2] [--sizes 1080p,720p]

scenedetect and opencv-python-headless are only needed here; the script
installs them into the running interpreter's environment with pip when they
are missing. The clips are generated once with ffmpeg into build/bench-cache/
and reused.

Each clip is twelve 5 s shots at 30 fps (1800 frames), so 11 hard cuts at
frames 150, 300, ..., 1650. Four shots are high-motion stretches: a zoom into
the Mandelbrot set doubling every second, a whip pan across testsrc2 (half a
screen a second), fast-moving colour gradients and a spinning test card.

Methods, every one in a fresh child process (so each pays its own start-up),
rounds interleaved, best wall time kept:
  - scan_video(clip, 11, output_dir=...): top-k with its 11 JPEG images;
  - scan_video(clip, output_dir=...): scene detection, the default mode, one
    JPEG per scene;
  - PySceneDetect: detect(clip, ContentDetector()) then
    save_images(scenes, video, num_images=1), as its documentation shows;
  - ffmpeg -i clip -f null -: decoding with no conversion, the floor;
  - VideoKeyframeExtractor().benchmark(clip, 11, ...): the specified API.
Then: the peak RSS of a process running scan_video(clip, 11, output_dir)
(VmHWM of /proc/self/status), the cuts scene detection finds against the true ones,
the time from SIGINT to KeyboardInterrupt in a running scan (the child process
stamps the moment it catches it), and two scan_video calls on two threads
against one call alone (same process).
"""

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

from bench_common import ensure_modules, run_python

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench-cache"
RATE = 30
SHOT_SECONDS = 5
SHOTS = 12
CUTS = [RATE * SHOT_SECONDS * i for i in range(1, SHOTS)]
SIZES = {"1080p": (1920, 1080), "720p": (1280, 720)}


def shot_sources(w, h):
    s, r, n = f"{w}x{h}", RATE, RATE * SHOT_SECONDS
    return [
        f"testsrc2=s={s}:r={r}",
        # motion: a zoom that doubles every second
        f"mandelbrot=s={s}:r={r}:start_scale=3:end_scale={3 / 2 ** SHOT_SECONDS}:end_pts={n}",
        f"smptehdbars=s={s}:r={r}",
        # motion: fast colour gradients
        f"gradients=s={s}:r={r}:speed=0.08:seed=3",
        # motion: a whip pan, half a screen a second
        f"testsrc2=s={w * 3}x{h}:r={r},crop={w}:{h}:x='n*{w / 60}':y=0",
        f"rgbtestsrc=s={s}:r={r}",
        # motion: a spinning test card
        f"smptehdbars=s={s}:r={r},rotate=a=t*1.5",
        f"yuvtestsrc=s={s}:r={r}",
        f"gradients=s={s}:r={r}:speed=0.02:seed=11",
        f"testsrc=s={s}:r={r}",
        f"rgbtestsrc=s={w * 2}x{h * 2}:r={r},zoompan=z='1+on/50':d=1:s={s}:fps={r}",
        f"pal100bars=s={s}:r={r}",
    ]


def make_clip(name):
    w, h = SIZES[name]
    path = CACHE / f"scan_{name}_60s.mp4"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    print(f"generating {path.name} (once)", file=sys.stderr)
    inputs, graph = [], ""
    sources = shot_sources(w, h)
    for i, source in enumerate(sources):
        inputs += ["-f", "lavfi", "-t", str(SHOT_SECONDS), "-i", source]
        graph += f"[{i}:v]format=yuv420p,setsar=1[v{i}];"
    graph += "".join(f"[v{i}]" for i in range(len(sources))) + \
        f"concat=n={len(sources)}:v=1:a=0[out]"
    partial = path.with_suffix(".part.mp4")
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *inputs,
                    "-filter_complex", graph, "-map", "[out]", "-c:v", "libx264",
                    "-preset", "veryfast", "-crf", "23", str(partial)], check=True)
    partial.rename(path)
    return path


# --- what each child process runs ------------------------------------------------------

CHILD_SCAN = """
import json, sys, tempfile, time
import velmar
def peak_kb():  # this process's own peak RSS (ru_maxrss would include the parent's)
    return int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")))
clip, k = sys.argv[1], (int(sys.argv[2]) if sys.argv[2] != "-" else None)
with tempfile.TemporaryDirectory() as out:
    start = time.perf_counter()
    r = velmar.scan_video(clip, k, output_dir=out)
    wall = time.perf_counter() - start
print(json.dumps({"wall": wall, "frames": r.frame_count, "images": r.images_written,
                  # top-k alone has no scenes: its keyframes are its cuts
                  "cuts": ([s.start_frame for s in r.scenes[1:]] if r.scenes
                           else [kf.frame_number for kf in r.keyframes]),
                  "decode_ms": r.decode_time_ms, "score_ms": r.score_time_ms,
                  "write_ms": r.write_time_ms,
                  "maxrss_kb": peak_kb()}))
"""

CHILD_SCENEDETECT = """
import json, sys, tempfile, time
from scenedetect import ContentDetector, detect, open_video, save_images
clip = sys.argv[1]
with tempfile.TemporaryDirectory() as out:
    start = time.perf_counter()
    scenes = detect(clip, ContentDetector())
    save_images(scenes, open_video(clip), num_images=1, output_dir=out)
    wall = time.perf_counter() - start
print(json.dumps({"wall": wall, "cuts": [getattr(s[0], "frame_num", None) or s[0].get_frames() for s in scenes[1:]]}))
"""

CHILD_BENCHMARK = """
import json, sys, time
import velmar
start = time.perf_counter()
r = velmar.VideoKeyframeExtractor().benchmark(sys.argv[1], 11, "bench")
print(json.dumps({"wall": time.perf_counter() - start, "frames": r.total_frames}))
"""

CHILD_TWO_THREADS = """
import json, sys, threading, time
import velmar
clip = sys.argv[1]
velmar.scan_video(clip, 11)  # warm: pool and libraries loaded
def one():
    velmar.scan_video(clip, 11)
start = time.perf_counter(); one(); single = time.perf_counter() - start
threads = [threading.Thread(target=one) for _ in range(2)]
start = time.perf_counter()
for t in threads: t.start()
for t in threads: t.join()
print(json.dumps({"single": single, "two": time.perf_counter() - start}))
"""


CHILD_CTRL_C = """
import sys, time, velmar
said = []
def started(done, expected):
    if not said:
        said.append(print("started", flush=True))
try:
    velmar.scan_video(sys.argv[1], 11, progress=started)
    print("finished", flush=True)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""


def ctrl_c_latency(clip):
    """Seconds from SIGINT to KeyboardInterrupt inside scan_video."""
    child = subprocess.Popen([sys.executable, "-c", CHILD_CTRL_C, str(clip)],
                             stdout=subprocess.PIPE, text=True)
    child.stdout.readline()
    time.sleep(0.3)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out = child.stdout.read().strip().splitlines()[-1]
    child.wait()
    return float(out) - sent if out != "finished" else float("nan")


def run_ffmpeg_null(clip):
    start = time.perf_counter()
    subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-loglevel", "error", "-i", str(clip),
                    "-f", "null", "-"], check=True)
    return {"wall": time.perf_counter() - start}


def cut_report(found):
    hits = sorted(set(found) & set(CUTS))
    false = sorted(set(found) - set(CUTS))
    return f"{len(hits)}/{len(CUTS)} cuts, {len(false)} false {false if false else ''}".rstrip()


def bench_clip(name, rounds):
    clip = make_clip(name)
    frames = RATE * SHOT_SECONDS * SHOTS
    print(f"\n== {clip.relative_to(ROOT)}: {name}, {frames} frames, cuts at {CUTS[0]}, "
          f"{CUTS[1]}, ... {CUTS[-1]}; best of {rounds}, {len(os.sched_getaffinity(0))} cpus")
    methods = [
        ("scan_video(k=11), images written", lambda: run_python(CHILD_SCAN, clip, 11)),
        ("scan_video(scene detection, default), images", lambda: run_python(CHILD_SCAN, clip, "-")),
        ("PySceneDetect detect(ContentDetector) + save_images",
         lambda: run_python(CHILD_SCENEDETECT, clip)),
        ("ffmpeg -i clip -f null - (floor)", lambda: run_ffmpeg_null(clip)),
        ("benchmark() (specified API, no images)", lambda: run_python(CHILD_BENCHMARK, clip)),
    ]
    runs = {label: [] for label, _ in methods}
    for _ in range(rounds):
        for label, fn in methods:
            runs[label].append(fn())
    rows = [(label, min(runs[label], key=lambda r: r["wall"])) for label, _ in methods]
    base = rows[0][1]["wall"]
    floor = rows[3][1]["wall"]
    width = max(len(label) for label, _ in rows)
    print(f"{'method':<{width}}  {'wall s':>7}  {'fps':>6}  {'/ scan':>6}  {'/ floor':>7}  found")
    for label, r in rows:
        wall = r["wall"]
        found = cut_report(r["cuts"]) if "cuts" in r else ""
        if label.startswith("scan_video(k"):
            found = f"{r['images']} images; {cut_report(r['cuts'])}"
        print(f"{label:<{width}}  {wall:>7.2f}  {frames / wall:>6.0f}  {wall / base:>6.2f}  "
              f"{wall / floor:>7.2f}  {found}")
    scan = rows[0][1]
    print(f"scan_video(k=11) split: decode {scan['decode_ms']:.0f} ms, score "
          f"{scan['score_ms']:.0f} ms, write {scan['write_ms']:.0f} ms; "
          f"peak RSS {scan['maxrss_kb'] / 1024:.0f} MB "
          f"(one 4:2:0 colour frame: {SIZES[name][0] * SIZES[name][1] * 1.5 / 2**20:.1f} MB)")
    latency = min(ctrl_c_latency(clip) for _ in range(3))
    print(f"Ctrl-C: KeyboardInterrupt {latency * 1000:.0f} ms after SIGINT (best of 3)")
    two = run_python(CHILD_TWO_THREADS, clip)
    print(f"two threads: one call {two['single']:.2f} s, two at once {two['two']:.2f} s "
          f"({two['two'] / two['single']:.2f}x one call)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=2, help="runs per method (best kept)")
    parser.add_argument("--sizes", default="1080p,720p", help="comma-separated: 1080p, 720p")
    args = parser.parse_args()
    ensure_modules(("scenedetect", "scenedetect"), ("cv2", "opencv-python-headless"))
    for name in args.sizes.split(","):
        bench_clip(name.strip(), args.rounds)


if __name__ == "__main__":
    main()
