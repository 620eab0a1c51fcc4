"""Scores scene detectors against the labelled clips of make_clips.py, all in one run.

    python bench/scenes/evaluate.py [--clips bench/scenes/clips] [--detectors a,b,...]
                                    [--subset all|seen|tuning|holdout|unseen] [--splits] [--verbose]

A detection matches a truth boundary when it falls within 2 frames of it (for
a gradual transition, anywhere in its span widened by 2 frames on each side);
each truth boundary and each detection is matched at most once. Detectors:

  psd-content, psd-adaptive  PySceneDetect's ContentDetector / AdaptiveDetector (defaults)
  ffmpeg-scdet               ffmpeg's scdet filter at its default threshold
  velmar-scan                velmar.scan_video in its default mode (from the installed module)
  proto                      the numpy prototype of the detector (scene_proto.py)
  cpp                        the C++ detector through the bench driver (scene_driver.py)
"""

from __future__ import annotations

import argparse
import json
import pathlib
import re
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))

TOLERANCE = 2
CUT_CATEGORIES = ["cut", "dark_cut", "jump_cut", "short_shot"]
GRADUAL_CATEGORIES = ["dissolve", "fade", "wipe"]
NO_CUT_CATEGORIES = ["pan", "whip_pan", "zoom", "flash", "grain", "ticker", "credits", "brightness"]


def detect_psd(path: pathlib.Path, which: str) -> list[int]:
    from scenedetect import AdaptiveDetector, ContentDetector, detect

    detector = ContentDetector() if which == "content" else AdaptiveDetector()
    scenes = detect(str(path), detector)
    # frame_num from PySceneDetect 0.7 on, get_frames() before it
    return [getattr(start, "frame_num", None) or start.get_frames() for start, _ in scenes[1:]]


def detect_scdet(path: pathlib.Path, fps: float) -> list[int]:
    run = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-i", str(path), "-vf", "scdet",
                          "-f", "null", "-"], capture_output=True, text=True, check=True)
    times = [float(t) for t in re.findall(r"lavfi\.scd\.time: ([0-9.]+)", run.stderr)]
    return [round(t * fps) for t in times]


def detect_velmar(path: pathlib.Path) -> list[int]:
    import velmar

    result = velmar.scan_video(str(path))
    scenes = getattr(result, "scenes", None)
    if scenes:  # scene mode: every scene after the first opens at a boundary
        return [s.start_frame for s in scenes[1:]]
    return [k.frame_number for k in result.keyframes]


def detect_proto(path: pathlib.Path) -> list[int]:
    import scene_features
    import scene_proto

    feats = scene_features.features(path)
    return [b.start for b in scene_proto.detect(feats.scores, feats.thumbs)]


def detect_cpp(path: pathlib.Path) -> list[int]:
    import scene_driver
    import scene_features

    feats = scene_features.features(path)
    return [b["start"] for b in scene_driver.detect(feats.scores, feats.thumbs)]


DETECTORS = {
    "psd-content": lambda p, fps: detect_psd(p, "content"),
    "psd-adaptive": lambda p, fps: detect_psd(p, "adaptive"),
    "ffmpeg-scdet": detect_scdet,
    "velmar-scan": lambda p, fps: detect_velmar(p),
    "proto": lambda p, fps: detect_proto(p),
    "cpp": lambda p, fps: detect_cpp(p),
}


def match(truth: list[dict], found: list[int]) -> tuple[list[bool], list[bool]]:
    """Which truth boundaries and which detections are matched, pairing the
    closest first."""
    pairs = []
    for ti, t in enumerate(truth):
        lo, hi = t["first"] - TOLERANCE, t["last"] + TOLERANCE
        for di, d in enumerate(found):
            if lo <= d <= hi:
                distance = 0 if t["first"] <= d <= t["last"] else min(abs(d - t["first"]), abs(d - t["last"]))
                pairs.append((distance, ti, di))
    truth_hit, found_hit = [False] * len(truth), [False] * len(found)
    for _, ti, di in sorted(pairs):
        if not truth_hit[ti] and not found_hit[di]:
            truth_hit[ti] = found_hit[di] = True
    return truth_hit, found_hit


class Tally:
    def __init__(self) -> None:
        self.tp = self.fp = self.fn = 0
        self.seconds = 0.0

    def add(self, truth_hit: list[bool], found_hit: list[bool], seconds: float) -> None:
        self.tp += sum(truth_hit)
        self.fn += len(truth_hit) - sum(truth_hit)
        self.fp += len(found_hit) - sum(found_hit)
        self.seconds += seconds

    def p(self) -> float:
        return self.tp / (self.tp + self.fp) if self.tp + self.fp else 1.0

    def r(self) -> float:
        return self.tp / (self.tp + self.fn) if self.tp + self.fn else 1.0

    def f1(self) -> float:
        p, r = self.p(), self.r()
        return 2 * p * r / (p + r) if p + r else 0.0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--clips", default=str(HERE / "clips"))
    ap.add_argument("--detectors", default=",".join(DETECTORS))
    ap.add_argument("--subset", choices=["all", "seen", "tuning", "holdout", "unseen"], default="all",
                    help="seen: tuning and holdout")
    ap.add_argument("--verbose", action="store_true", help="print every clip's misses and false detections")
    ap.add_argument("--splits", action="store_true", help="also score the tuning, holdout and unseen clips apart")
    args = ap.parse_args()
    clips_dir = pathlib.Path(args.clips)
    clips = json.loads((clips_dir / "truth.json").read_text())["clips"]
    if args.subset == "seen":
        clips = [c for c in clips if c["split"] != "unseen"]
    elif args.subset != "all":
        clips = [c for c in clips if c["split"] == args.subset]
    names = args.detectors.split(",")
    print("command:", " ".join([pathlib.Path(sys.executable).name] + sys.argv))
    print(f"{len(clips)} clips, {sum(c['frames'] for c in clips) / 25 / 60:.1f} min, "
          f"{sum(len(c['boundaries']) for c in clips)} boundaries; tolerance ±{TOLERANCE} frames\n")

    results = {n: {} for n in names}  # name -> clip name -> (truth_hit, found_hit)
    wall = {n: 0.0 for n in names}
    for clip in clips:
        path = clips_dir / clip["file"]
        for name in names:
            t0 = time.perf_counter()
            found = sorted(DETECTORS[name](path, clip["fps"]))
            wall[name] += time.perf_counter() - t0
            truth_hit, found_hit = match(clip["boundaries"], found)
            results[name][clip["name"]] = (truth_hit, found_hit)
            if args.verbose and (not all(truth_hit) or not all(found_hit)):
                missed = [(t["first"], t["last"]) for t, h in zip(clip["boundaries"], truth_hit) if not h]
                false = [d for d, h in zip(found, found_hit) if not h]
                print(f"  {name:13} {clip['name']:13} missed {missed} false {false}")
    print_tables(clips, names, results, wall, per_category=True)
    if args.splits:
        for split in ("tuning", "holdout", "unseen"):
            part = [c for c in clips if c["split"] == split]
            if part and len(part) < len(clips):
                print(f"\n{split} clips only: {len(part)} clips, {sum(c['frames'] for c in part) / 25 / 60:.1f} min, "
                      f"{sum(len(c['boundaries']) for c in part)} boundaries")
                print_tables(part, names, results, None, per_category=False)


def print_tables(clips, names, results, wall, per_category: bool) -> None:
    by_cat = {n: {} for n in names}
    overall = {n: Tally() for n in names}
    for clip in clips:
        seconds = clip["frames"] / clip["fps"]
        for n in names:
            truth_hit, found_hit = results[n][clip["name"]]
            overall[n].add(truth_hit, found_hit, seconds)
            by_cat[n].setdefault(clip["category"], Tally()).add(truth_hit, found_hit, seconds)

    def group(name: str, cats: list[str]) -> Tally:
        t = Tally()
        for c in cats:
            s = by_cat[name].get(c)
            if s:
                t.tp, t.fp, t.fn, t.seconds = t.tp + s.tp, t.fp + s.fp, t.fn + s.fn, t.seconds + s.seconds
        return t

    header = (f"{'detector':13} {'P':>5} {'R':>5} {'F1':>5} | {'cut P':>5} {'cut R':>5} | "
              f"{'grad P':>6} {'grad R':>6} | {'false/min':>9}" + (f" | {'time s':>6}" if wall else ""))
    print(header)
    print("-" * len(header))
    for n in names:
        o, c, g, z = overall[n], group(n, CUT_CATEGORIES), group(n, GRADUAL_CATEGORIES), group(n, NO_CUT_CATEGORIES)
        per_min = z.fp / (z.seconds / 60) if z.seconds else 0.0
        print(f"{n:13} {o.p():5.3f} {o.r():5.3f} {o.f1():5.3f} | {c.p():5.3f} {c.r():5.3f} | "
              f"{g.p():6.3f} {g.r():6.3f} | {per_min:9.2f}" + (f" | {wall[n]:6.1f}" if wall else ""))
    if not per_category:
        return
    cats = [c for c in CUT_CATEGORIES + GRADUAL_CATEGORIES + NO_CUT_CATEGORIES
            if any(c in by_cat[n] for n in names)]
    print("\nper category: found/truth (+false); no-cut categories: false boundaries")
    print(f"{'detector':13} " + " ".join(f"{c[:10]:>10}" for c in cats))
    for n in names:
        cells = []
        for c in cats:
            t = by_cat[n].get(c, Tally())
            cells.append(f"{t.fp}" if c in NO_CUT_CATEGORIES else f"{t.tp}/{t.tp + t.fn}+{t.fp}")
        print(f"{n:13} " + " ".join(f"{x:>10}" for x in cells))


if __name__ == "__main__":
    main()
