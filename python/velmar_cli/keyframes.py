"""Keyframes of one video, the unit of work of ``velmar keyframes``.

Everything here runs wherever the video is processed: in the command's own
process, in a local worker process (``--jobs``), or on a Dask worker
(``--dask``). A job is a plain dict and so is its outcome, so both pickle
and compare the same way everywhere.
"""

from __future__ import annotations

import os
import re
import subprocess
from dataclasses import dataclass
from typing import Any

import velmar

MANIFEST_FIELDS = ("video", "frame", "timecode", "score", "path")

# Frames a new scene must last before another threshold cut counts.
DEFAULT_MIN_SCENE_LEN = 15
# ffmpeg prints the NTSC rates rounded; seeking and timecodes need the exact ones.
_NTSC_RATES = {"23.98": 24000 / 1001, "29.97": 30000 / 1001, "47.95": 48000 / 1001,
               "59.94": 60000 / 1001, "119.88": 120000 / 1001}
_FALLBACK_FPS = 30.0


@dataclass(frozen=True)
class Job:
    """One video to process and where its images go."""

    video: str
    output_dir: str
    max_keyframes: int | None
    threshold: float | None
    min_scene_len: int = DEFAULT_MIN_SCENE_LEN
    ffmpeg: str = "ffmpeg"

    def as_dict(self) -> dict[str, Any]:
        return dict(self.__dict__)


def timecode(seconds: float) -> str:
    """``HH:MM:SS.mmm``, rounded to the millisecond."""
    millis = max(0, round(seconds * 1000))
    hours, millis = divmod(millis, 3_600_000)
    minutes, millis = divmod(millis, 60_000)
    secs, millis = divmod(millis, 1000)
    return f"{hours:02d}:{minutes:02d}:{secs:02d}.{millis:03d}"


def probe_fps(video: str, ffmpeg: str = "ffmpeg") -> float:
    """Frame rate of the first video stream, as ffmpeg describes it (30 if it does not)."""
    try:
        proc = subprocess.run([ffmpeg, "-hide_banner", "-i", video], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace", timeout=60)
    except (OSError, subprocess.SubprocessError):
        return _FALLBACK_FPS
    for line in proc.stderr.splitlines():
        if "Video:" not in line or "(attached pic)" in line:
            continue
        for unit in ("fps", "tbr"):
            match = re.search(r"([0-9.]+)k? " + unit, line)
            if match:
                text = match.group(1)
                rate = _NTSC_RATES.get(text) or float(text)
                if rate > 0:
                    return rate
        return _FALLBACK_FPS
    return _FALLBACK_FPS


def select_by_threshold(scores: list[float], threshold: float, min_scene_len: int) -> list[int]:
    """Frame positions whose score (difference from the frame before) reaches
    `threshold`, at least `min_scene_len` frames after the previous cut."""
    keys: list[int] = []
    last = 0
    for position, score in enumerate(scores, start=1):
        if score >= threshold and position - last >= min_scene_len:
            keys.append(position)
            last = position
    return keys


def top_keyframes(keys: list[int], scores: list[float], limit: int) -> list[int]:
    """At most `limit` of `keys`, ascending: the highest-scoring ones, earlier
    frames first among equal scores. Selection keeps every frame tied with the
    k-th highest score, so on still footage it returns far more than asked
    for; a frame identical to the one before (score 0) is never a keyframe."""
    keys = [k for k in keys if scores[k - 1] > 0]
    if len(keys) > limit:
        keys = sorted(sorted(keys, key=lambda k: (-scores[k - 1], k))[:limit])
    return keys


def run_job(job: dict[str, Any]) -> dict[str, Any]:
    """Processes one video. Never raises for a bad input: the outcome carries
    ``rows`` (manifest rows, in frame order) and ``error`` (None or a message)."""
    spec = Job(**job)
    if not os.path.isfile(spec.video):
        return {"video": spec.video, "rows": [], "error": "no such file"}
    try:
        scan_video = getattr(velmar, "scan_video", None)
        if scan_video is not None:
            rows = _run_scanner(spec, scan_video)
        else:
            rows = _run_extractor(spec)
    except (RuntimeError, OSError, ValueError) as exc:
        return {"video": spec.video, "rows": [], "error": str(exc)}
    missing = [row for row in rows if not row["path"]]
    error = f"{len(missing)} of {len(rows)} images could not be written" if missing else None
    return {"video": spec.video, "rows": rows, "error": error}


def failed(job: Job, exc: BaseException) -> dict[str, Any]:
    """The outcome of a job whose worker itself failed (a crashed process, a lost task)."""
    return {"video": job.video, "rows": [], "error": f"worker failed: {exc!r}"}


def _row(spec: Job, frame: int, seconds: float, score: float, path: str) -> dict[str, Any]:
    return {"video": spec.video, "frame": frame, "timecode": timecode(seconds),
            "score": score, "path": path}


def _run_scanner(spec: Job, scan_video: Any) -> list[dict[str, Any]]:
    # The single-pass scanner decodes once, keeps only pair scores and saves
    # the images itself: for its best max_save keyframes by score, earlier
    # frames first among ties, which are the ones kept here.
    limit = spec.max_keyframes
    result = scan_video(spec.video, limit, threshold=spec.threshold,
                        min_scene_len=spec.min_scene_len, output_dir=spec.output_dir,
                        max_save=limit if limit is not None else 1 << 31)
    keyframes = result.keyframes
    if limit is not None:
        keyframes = [kf for kf in keyframes if kf.score > 0]
        keyframes = sorted(sorted(keyframes, key=lambda kf: (-kf.score, kf.frame_number))[:limit],
                           key=lambda kf: kf.frame_number)
    return [_row(spec, kf.frame_number, kf.time, kf.score,
                 kf.path if kf.path and os.path.isfile(kf.path) else "")
            for kf in keyframes]


def _run_extractor(spec: Job) -> list[dict[str, Any]]:
    extractor = velmar.VideoKeyframeExtractor(ffmpeg_path=spec.ffmpeg)
    frames, _, _ = extractor.extract_frames(spec.video)
    # The score of frame i is its difference from frame i - 1: the rule
    # keyframe selection ranks by.
    scores = [frames[i].calculate_difference_simd(frames[i - 1]) for i in range(1, len(frames))]
    if spec.threshold is not None:
        keys = select_by_threshold(scores, spec.threshold, spec.min_scene_len)
    else:
        keys = top_keyframes(extractor.extract_keyframes(frames, spec.max_keyframes or 0), scores,
                             spec.max_keyframes or 0)
    del frames
    if not keys:
        return []
    extractor.save_keyframes(spec.video, keys, spec.output_dir, len(keys))
    fps = probe_fps(spec.video, spec.ffmpeg)
    rows = []
    for position, frame in enumerate(keys, start=1):
        path = os.path.join(spec.output_dir, f"keyframe_{position:03d}.jpg")
        rows.append(_row(spec, frame, frame / fps, scores[frame - 1],
                         path if os.path.isfile(path) and os.path.getsize(path) > 0 else ""))
    return rows
