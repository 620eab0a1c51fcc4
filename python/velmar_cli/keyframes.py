"""Keyframes of one video, the unit of work of ``velmar keyframes``.

Everything here runs wherever the video is processed: in the command's own
process, in a local worker process (``--jobs``), or on a Dask worker
(``--dask``). A job is a plain dict and so is its outcome, so both pickle
and compare the same way everywhere.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import stat
from dataclasses import dataclass
from typing import Any

import velmar

MANIFEST_FIELDS = ("video", "frame", "timecode", "score", "path")

# What the scanner names its images ("keyframe_<frame>.jpg") and the
# temporary files it writes them through: how a run recognises, in an output
# directory, the images an earlier run left, and touches nothing else.
_OWN_IMAGE = re.compile(r"\.?keyframe_[0-9]+\.(?:jpg|png)"
                        r"(?:\.tmp-[0-9]+-[0-9]+|\.[0-9]+\.[0-9]+\.tmp)?")


@dataclass(frozen=True)
class Job:
    """One video to process and where its images go. `min_scene_len` None
    leaves the scanner's own default."""

    video: str
    output_dir: str
    max_keyframes: int | None
    threshold: float | None
    min_scene_len: int | None = None
    # With --threshold: images of the first `max_images` cuts at most (the
    # scanner holds each picture in memory until the end of the video).
    max_images: int = 100

    def as_dict(self) -> dict[str, Any]:
        return dict(self.__dict__)


def timecode(seconds: float) -> str:
    """``HH:MM:SS.mmm``, rounded to the millisecond."""
    millis = max(0, round(seconds * 1000))
    hours, millis = divmod(millis, 3_600_000)
    minutes, millis = divmod(millis, 60_000)
    secs, millis = divmod(millis, 1000)
    return f"{hours:02d}:{minutes:02d}:{secs:02d}.{millis:03d}"


def run_job(job: dict[str, Any]) -> dict[str, Any]:
    """Processes one video. Never raises for a bad input: the outcome carries
    ``rows`` (manifest rows, in frame order) and ``error`` (None or a message)."""
    spec = Job(**job)
    problem = input_problem(spec.video)
    if problem:
        return {"video": spec.video, "rows": [], "error": problem}
    try:
        rows = _scan(spec)
    except (RuntimeError, OSError, ValueError) as exc:
        return {"video": spec.video, "rows": [], "error": str(exc)}
    missing = [row for row in rows if row["path"] == ""]
    error = f"{len(missing)} of {len(rows)} images could not be written" if missing else None
    return {"video": spec.video, "rows": rows, "error": error}


def failed(job: Job, reason: str) -> dict[str, Any]:
    """The outcome of a job whose worker itself failed (a crashed process, a lost task)."""
    return {"video": job.video, "rows": [], "error": f"worker failed: {reason}"}


def input_problem(video: str) -> str | None:
    """Why `video` cannot be read as a video file, or None."""
    try:
        mode = os.stat(video).st_mode
    except OSError as exc:
        if exc.errno == errno.ENOENT:
            return "no such file"
        return os.strerror(exc.errno).lower() if exc.errno else str(exc)
    if stat.S_ISDIR(mode):
        return "is a directory"
    if not stat.S_ISREG(mode):
        return "not a regular file"
    return None


def clear_images(directory: str, keep: frozenset[str] = frozenset()) -> None:
    """Removes from `directory` the scanner's images (and their temporary
    files) other than the paths in `keep`; nothing else is touched."""
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        path = os.path.join(directory, name)
        if _OWN_IMAGE.fullmatch(name) and path not in keep:
            with contextlib.suppress(IsADirectoryError, FileNotFoundError):
                os.unlink(path)


def _scan(spec: Job) -> list[dict[str, Any]]:
    # The scanner decodes once, keeps only pair scores and saves the images
    # itself, for its best max_save keyframes by score.
    limit = spec.max_keyframes
    options: dict[str, Any] = {"threshold": spec.threshold, "output_dir": spec.output_dir,
                               "max_save": limit if limit is not None else spec.max_images}
    if spec.min_scene_len is not None:
        options["min_scene_len"] = spec.min_scene_len
    keyframes = velmar.scan_video(spec.video, limit, **options).keyframes
    if limit is not None:
        keyframes = _best(keyframes, limit)
    rows = []
    for position, kf in enumerate(keyframes):
        if kf.path and os.path.isfile(kf.path):
            path = kf.path
        else:
            # "" marks an image that could not be written; None one that was
            # never to be written (a cut past --max-images).
            path = "" if limit is not None or position < spec.max_images else None
        rows.append({"video": spec.video, "frame": kf.frame_number, "timecode": timecode(kf.time),
                     "score": kf.score, "path": path})
    return rows


def _best(keyframes: list[Any], limit: int) -> list[Any]:
    # The scanner keeps every frame tied with the k-th highest score, so on
    # still footage it returns far more than asked for; the command lists
    # the `limit` whose images it saved (the highest scores, earlier frames
    # first among ties), and never a frame identical to the one before.
    keyframes = [kf for kf in keyframes if kf.score > 0]
    chosen = sorted(keyframes, key=lambda kf: (-kf.score, kf.frame_number))[:limit]
    return sorted(chosen, key=lambda kf: kf.frame_number)
