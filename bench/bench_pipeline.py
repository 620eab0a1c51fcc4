"""The main job (extract_keyframes_from_video) and benchmark() against
PySceneDetect, the cost of saving one image early and late in a clip, and the
peak memory of a benchmark() run on a long 1080p clip.

Run with the project venv after building the module (scripts/test does both):

    .venv/bin/python bench/bench_pipeline.py

scenedetect and opencv-python-headless are only needed here; the script
installs them into the running interpreter's environment with pip when they
are missing. The 1080p clips are generated once with ffmpeg into
build/bench-cache/ and reused.

Main job (section "job"): a generated 60 s clip at 720p and at 1080p, 30 fps,
twelve 5 s scenes (11 hard cuts), several of them high-motion (rotating bars,
full-frame temporal noise, testsrc2's moving parts). Each round runs, in
fresh child processes:
  - velmar: extract_keyframes_from_video(clip, out, 11), which decodes twice,
    selects twice and has ffmpeg write 11 JPEGs;
  - PySceneDetect: detect(clip, ContentDetector()) and then
    save_images(scenes, video, num_images=1), one JPEG per scene.
Wall time, CPU time (the process and its reaped children, ffmpeg included)
and peak RSS (the process; and the largest reaped child) are reported, best
wall time of the rounds, with the rounds interleaved.

Save cost (section "save"): save_keyframes of frame 30 and of frame 1700 of
the 60 s 720p clip, and, for reference, ffmpeg's command with the seek after
the input (which decodes everything before the frame).

Speed of benchmark() (section "detect"): one 1080p clip of five lavfi sources with hard cuts, every method
run `--rounds` times (rounds interleaved), best wall time kept:
  - velmar: VideoKeyframeExtractor().benchmark(clip, cuts, ...), which
    decodes through ffmpeg to gray and scores every frame pair;
  - velmar's own decode command alone, writing to /dev/null: the floor of
    benchmark()'s time, since every frame comes through it;
  - ffmpeg's scene filter: ffmpeg -i clip -vf "select='gt(scene,0.3)'" -f null -
  - PySceneDetect: scenedetect.detect(clip, ContentDetector()), as a user
    calls it (it decodes with OpenCV and downscales 1080p frames by default),
    and once more with downscale=1, at full resolution like the others.
Each runs in a fresh child process, so every method pays its own start-up.

Memory (section "rss"): a fresh child process runs benchmark() on a 60 s 1080p clip at
30 fps (1800 frames; holding them all would take 1800 x 1920 x 1080 bytes =
3.7 GB) and reports its own peak resident set size (getrusage RUSAGE_SELF,
ru_maxrss). The parent's RUSAGE_CHILDREN figure is shown beside it: it is the
largest process of the whole tree, ffmpeg decoders included.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from bench_common import ensure_modules, run_python

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench-cache"
SIZE = "1920x1080"
CUT_SOURCES = ["testsrc2", "smptebars", "mandelbrot", "rgbtestsrc", "gradients=seed=7"]
# mandelbrot is slow to render at 1080p; the long clip only needs to be long
LONG_SOURCES = ["testsrc2", "smptebars", "testsrc", "rgbtestsrc", "gradients=seed=7", "yuvtestsrc"]
# Twelve scenes for the main job; the filters after the source make motion.
JOB_SCENES = [
    ("testsrc2", ""),
    ("smptebars", "rotate=a=t*1.5:fillcolor=black"),
    ("color=c=0x306090", "noise=alls=40:allf=t+u"),
    ("gradients=seed=3:speed=0.05", ""),
    ("testsrc", "rotate=a=-t*2:fillcolor=gray"),
    ("rgbtestsrc", "noise=alls=60:allf=t"),
    ("yuvtestsrc", "hue=h=t*90"),
    ("color=c=0xd0c040", "noise=alls=30:allf=t+u"),
    ("testsrc2", "hflip,rotate=a=t:fillcolor=navy"),
    ("smptehdbars", ""),
    ("gradients=seed=11:speed=0.1", "noise=alls=20:allf=t"),
    ("pal100bars", "rotate=a=t*3:fillcolor=white"),
]
JOB_SCENE_SECONDS = 5
JOB_RATE = 30


def make_clip(path, sources, seconds, rate, size=SIZE):
    """The lavfi `sources`, `seconds` each, concatenated: a cut at each join. A
    source may come as (source, filters), the filters adding motion."""
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    print(f"generating {path.name} (once)", file=sys.stderr)
    inputs, graph = [], ""
    clips = len(sources)
    for i, source in enumerate(sources):
        source, motion = source if isinstance(source, tuple) else (source, "")
        source += f"{':' if '=' in source else '='}size={size}:rate={rate}"
        inputs += ["-f", "lavfi", "-t", str(seconds), "-i", source]
        graph += f"[{i}:v]{motion + ',' if motion else ''}format=yuv420p,setsar=1[v{i}];"
    graph += "".join(f"[v{i}]" for i in range(clips)) + f"concat=n={clips}:v=1:a=0[out]"
    partial = path.with_suffix(".part.mp4")
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *inputs,
                    "-filter_complex", graph, "-map", "[out]", "-c:v", "libx264",
                    "-preset", "veryfast", "-crf", "23", "-threads", "2", str(partial)],
                   check=True)
    partial.rename(path)
    return path


def make_job_clip(size):
    """60 s, twelve 5 s scenes with hard cuts between them, x264 with B-frames."""
    return make_clip(CACHE / f"job_{size}_60s.mp4", JOB_SCENES, JOB_SCENE_SECONDS, JOB_RATE, size)


# --- what each child process runs ------------------------------------------------------

CHILD_VELMAR = """
import json, sys, time
import velmar
clip, k, use_simd = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
start = time.perf_counter()
r = velmar.VideoKeyframeExtractor().benchmark(clip, k, "bench", use_simd)
wall = time.perf_counter() - start
print(json.dumps({"wall": wall, "frames": r.total_frames, "found": r.keyframes_extracted,
                  "record": r.to_dict()}))
"""

# Wall time, CPU time of the process and of the children it reaped (ffmpeg),
# and peak RSS of both, measured the same way for every method.
MEASURE = """
import json, os, resource, sys, time
def measure(work):
    start = time.perf_counter()
    found = work()
    wall = time.perf_counter() - start
    me, kids = (resource.getrusage(w) for w in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))
    print(json.dumps({"wall": wall, "found": found,
                      "cpu": me.ru_utime + me.ru_stime + kids.ru_utime + kids.ru_stime,
                      "rss_kb": me.ru_maxrss, "child_rss_kb": kids.ru_maxrss}))
"""

CHILD_JOB_VELMAR = MEASURE + """
import velmar
clip, k, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
def work():
    velmar.extract_keyframes_from_video(clip, out, k)
    return len(os.listdir(out))
measure(work)
"""

CHILD_JOB_SCENEDETECT = MEASURE + """
from scenedetect import ContentDetector, detect, open_video
from scenedetect.scene_manager import save_images
clip, out = sys.argv[1], sys.argv[3]
def work():
    scenes = detect(clip, ContentDetector())
    save_images(scenes, open_video(clip), num_images=1, output_dir=out)
    return len(os.listdir(out))
measure(work)
"""

CHILD_SAVE = """
import json, sys, time
import velmar
clip, frame, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
e = velmar.VideoKeyframeExtractor()
start = time.perf_counter()
saved = e.save_keyframes(clip, [frame], out)
print(json.dumps({"wall": time.perf_counter() - start, "saved": saved}))
"""

CHILD_SCENEDETECT = """
import json, sys, time
from scenedetect import ContentDetector, SceneManager, open_video
clip, downscale = sys.argv[1], int(sys.argv[2])
start = time.perf_counter()
video = open_video(clip)
manager = SceneManager()
manager.add_detector(ContentDetector())
if downscale:
    manager.auto_downscale = False
    manager.downscale = downscale
manager.detect_scenes(video)
scenes = manager.get_scene_list()
wall = time.perf_counter() - start
print(json.dumps({"wall": wall, "frames": video.frame_number,
                  "found": max(len(scenes) - 1, 0),
                  "cuts": [getattr(s[0], "frame_num", None) or s[0].get_frames() for s in scenes[1:]]}))
"""

CHILD_RSS = """
import json, resource, sys
import velmar
r = velmar.VideoKeyframeExtractor().benchmark(sys.argv[1], 10, "rss")
print(json.dumps({"frames": r.total_frames, "found": r.keyframes_extracted,
                  "total_ms": r.total_time_ms,
                  "maxrss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""

# Runs CHILD_RSS as its only child, so that its RUSAGE_CHILDREN peak covers
# exactly that process and the ffmpeg children it reaped.
CHILD_RSS_TREE = """
import json, resource, subprocess, sys
out = subprocess.run([sys.executable, "-c", sys.argv[1], sys.argv[2]], check=True,
                     capture_output=True, text=True).stdout
r = json.loads(out.strip().splitlines()[-1])
r["tree_maxrss_kb"] = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(json.dumps(r))
"""


def run_ffmpeg_scene(clip):
    start = time.perf_counter()
    err = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-i", str(clip), "-vf",
                          "select='gt(scene,0.3)',showinfo", "-f", "null", "-"],
                         check=True, capture_output=True, text=True).stderr
    wall = time.perf_counter() - start
    cuts = [int(line.split(" n:")[1].split()[0]) for line in err.splitlines()
            if "Parsed_showinfo" in line and " n:" in line]
    return {"wall": wall, "found": len(cuts)}


def run_decode_command(clip):
    """The command benchmark() reads its frames from: the floor of its time."""
    start = time.perf_counter()
    subprocess.run(["ffmpeg", "-i", str(clip), "-f", "rawvideo", "-pix_fmt", "gray", "-an",
                    "-threads", "0", "-preset", "ultrafast", "-"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return {"wall": time.perf_counter() - start}


def run_ffmpeg_plain(clip):
    start = time.perf_counter()
    subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-loglevel", "error", "-i", str(clip),
                    "-vf", "select='gt(scene,0.3)'", "-f", "null", "-"], check=True)
    return {"wall": time.perf_counter() - start}


def fresh_dir(name):
    out = CACHE / "out" / name
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    return out


def job_section(rounds):
    k = len(JOB_SCENES) - 1
    clips = {size: make_job_clip(size) for size in ("1280x720", "1920x1080")}
    methods = []
    for size, clip in clips.items():
        methods.append((size, "velmar extract_keyframes_from_video(k=11)",
                        lambda c=clip: run_python(CHILD_JOB_VELMAR, c, k, fresh_dir("velmar"))))
        methods.append((size, "PySceneDetect detect + save_images(num_images=1)",
                        lambda c=clip: run_python(CHILD_JOB_SCENEDETECT, c, k,
                                                  fresh_dir("scenedetect"))))
    runs = {(size, name): [] for size, name, _ in methods}
    for _ in range(rounds):  # interleaved: load from elsewhere hits every method alike
        for size, name, fn in methods:
            runs[(size, name)].append(fn())
    print(f"main job: 60 s clips at {JOB_RATE} fps, {k} hard cuts, best wall of {rounds} "
          f"rounds, {len(os.sched_getaffinity(0))} cpus")
    print(f"{'clip':<10} {'method':<50} {'wall s':>7} {'cpu s':>7} {'rss MB':>7} "
          f"{'child MB':>8} {'images':>6} {'x PySD':>7}")
    for size in clips:
        best = {name: min(runs[(s, name)], key=lambda r: r["wall"])
                for s, name in runs if s == size}
        peer = best["PySceneDetect detect + save_images(num_images=1)"]["wall"]
        for name, r in best.items():
            print(f"{size:<10} {name:<50} {r['wall']:>7.2f} {r['cpu']:>7.2f} "
                  f"{r['rss_kb'] / 1024:>7.1f} {r['child_rss_kb'] / 1024:>8.1f} "
                  f"{r['found']:>6} {r['wall'] / peer:>7.2f}")
    return clips


def save_section(rounds, clip):
    frames = (30, 1700)
    runs = {n: [] for n in frames}
    for _ in range(rounds):
        for n in frames:
            runs[n].append(run_python(CHILD_SAVE, clip, n, fresh_dir(f"save{n}")))
    best = {n: min(r["wall"] for r in runs[n]) for n in frames}
    assert all(r["saved"] == 1 for n in frames for r in runs[n])
    old = {}
    for n in frames:  # once each: the seek after the input decodes the whole prefix
        start = time.perf_counter()
        subprocess.run(["ffmpeg", "-i", str(clip), "-ss", repr(n / JOB_RATE), "-vframes", "1",
                        "-q:v", "2", "-y", str(fresh_dir("old") / "x.jpg")],
                       check=True, capture_output=True)
        old[n] = time.perf_counter() - start
    print(f"save cost on {clip.name} (best of {rounds}):")
    for n in frames:
        print(f"  frame {n:>4}: save_keyframes {best[n]:.3f} s   "
              f"(ffmpeg with the seek after the input: {old[n]:.3f} s)")
    print(f"  frame 1700 / frame 30: {best[1700] / best[30]:.2f}")


def detect_section(rounds):
    rate, seconds, clips = 30, 2, len(CUT_SOURCES)
    clip = make_clip(CACHE / "cuts_1080p_10s.mp4", CUT_SOURCES, seconds, rate)
    cuts = [rate * seconds * i for i in range(1, clips)]
    frames = rate * seconds * clips
    print(f"clip: {clip.relative_to(ROOT)}: {SIZE}, {frames} frames, cuts at {cuts}, "
          f"best of {rounds} runs, {len(os.sched_getaffinity(0))} cpus")

    methods = [
        ("velmar benchmark(), SIMD+Parallel(block:8192)",
         lambda: run_python(CHILD_VELMAR, clip, len(cuts), 1)),
        ("velmar benchmark(), Standard Parallel",
         lambda: run_python(CHILD_VELMAR, clip, len(cuts), 0)),
        ("velmar's decode command alone, into /dev/null", lambda: run_decode_command(clip)),
        ("ffmpeg -vf select='gt(scene,0.3)' -f null", lambda: run_ffmpeg_plain(clip)),
        ("PySceneDetect ContentDetector (default)",
         lambda: run_python(CHILD_SCENEDETECT, clip, 0)),
        ("PySceneDetect ContentDetector (downscale=1)",
         lambda: run_python(CHILD_SCENEDETECT, clip, 1)),
    ]
    # Rounds are interleaved, so that a burst of load from elsewhere on the
    # machine hits every method alike.
    runs = {name: [] for name, _ in methods}
    for _ in range(rounds):
        for name, fn in methods:
            runs[name].append(fn())
    rows = [(name, min(runs[name], key=lambda r: r["wall"])) for name, _ in methods]
    scene_cuts = run_ffmpeg_scene(clip)["found"]
    found = {
        rows[0][0]: f"{rows[0][1]['found']} keyframes",
        rows[1][0]: f"{rows[1][1]['found']} keyframes",
        rows[2][0]: "(decoding only)",
        rows[3][0]: f"{scene_cuts} frames selected",
        rows[4][0]: f"{rows[4][1]['found']} cuts {rows[4][1]['cuts']}",
        rows[5][0]: f"{rows[5][1]['found']} cuts {rows[5][1]['cuts']}",
    }
    base = rows[0][1]["wall"]
    width = max(len(name) for name, _ in rows)
    print(f"{'method':<{width}}  {'wall s':>7}  {'fps':>6}  {'x velmar':>8}  found")
    for name, r in rows:
        wall = r["wall"]
        print(f"{name:<{width}}  {wall:>7.2f}  {frames / wall:>6.1f}  {wall / base:>8.2f}  "
              f"{found[name]}")
    rec = rows[0][1]["record"]
    print(f"velmar record: total_time_ms={rec['total_time_ms']:.1f} "
          f"frame_extraction_time_ms={rec['frame_extraction_time_ms']:.1f} "
          f"keyframe_analysis_time_ms={rec['keyframe_analysis_time_ms']:.1f}")


def rss_section():
    long_clip = make_clip(CACHE / "long_1080p_60s.mp4", LONG_SOURCES, 10, 30)
    r = run_python(CHILD_RSS_TREE, CHILD_RSS, long_clip)
    held = r["frames"] * 1920 * 1080
    print()
    print(f"memory: benchmark() on {long_clip.relative_to(ROOT)} ({r['frames']} frames, "
          f"{r['total_ms'] / 1000:.1f} s)")
    print(f"  peak RSS of the process running benchmark(): {r['maxrss_kb'] / 1024:.1f} MB "
          f"(target <= 200 MB)")
    print(f"  largest process of its tree (RUSAGE_CHILDREN, ffmpeg included): "
          f"{r['tree_maxrss_kb'] / 1024:.1f} MB")
    print(f"  every frame held at once would be {held / 1e9:.2f} GB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=2, help="runs per method (best kept)")
    parser.add_argument("--sections", default="job,save,detect,rss",
                        help="comma-separated: job, save, detect, rss (default: all)")
    args = parser.parse_args()
    sections = set(args.sections.split(","))
    ensure_modules(("scenedetect", "scenedetect"), ("cv2", "opencv-python-headless"))

    if "job" in sections or "save" in sections:
        clips = job_section(args.rounds) if "job" in sections else {
            "1280x720": make_job_clip("1280x720")}
        if "save" in sections:
            save_section(args.rounds, clips["1280x720"])
        print()
    if "detect" in sections:
        detect_section(args.rounds)
    if "rss" in sections:
        rss_section()


if __name__ == "__main__":
    main()
