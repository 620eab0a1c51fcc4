"""The scenes of one video, the unit of work of ``velmar keyframes``.

Everything here runs wherever the video is processed: in the command's own
process, in a local worker process (``--jobs``), or on a Dask worker
(``--dask``). A job travels as a plain dict and its outcome as an Outcome
record: both pickle and compare the same way everywhere.

The scanner finds the scenes and writes one picture for each; all this
module decides is which of those pictures the run keeps (``-k N``: those of
the N longest scenes) and how the scenes are listed.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import stat
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import velmar

MANIFEST_FIELDS = ("video", "scene", "start_frame", "end_frame", "start_timecode",
                   "end_timecode", "duration", "transition", "blank", "picture_frame",
                   "picture_timecode", "score", "path")

# Points of the score curve an outcome carries for the HTML report: enough
# for a page-wide plot, few enough to pickle cheaply for an hour of video.
CURVE_POINTS = 1200

# Every name the scanner may leave in an output directory (its images, the
# temporary files it writes them through, and the probe file of a scan
# killed while checking the directory): how a run recognises the images an
# earlier run left, and touches nothing else. The module owns the names.
_OWN_FILE = re.compile(velmar.ScanResult.file_pattern)

# A scan saves at most this many pictures when no --max-images is given: in
# effect one for every scene (each is written when its scene closes, so the
# number held in memory stays small however many there are).
_ALL_PICTURES = 1 << 40

Progress = Callable[[int, int], None]


@dataclass(frozen=True)
class Job:
    """One video to process and where its pictures go. `keep` None keeps
    every scene's picture; `min_scene_len` None leaves the scanner's default;
    `max_images` None saves a picture for every scene. `scan` holds further
    scan_video keywords (the range, sensitivity, min_scene_seconds); `stats`
    asks for every frame's numbers in the outcome."""

    video: str
    output_dir: str
    keep: int | None = None
    threshold: float | None = None
    min_scene_len: int | None = None
    max_images: int | None = None
    scan: tuple[tuple[str, Any], ...] = ()
    stats: bool = False

    def as_dict(self) -> dict[str, Any]:
        return dict(self.__dict__)


@dataclass
class Outcome:
    """What processing one video gave: `rows` (one manifest row per scene,
    in order), `error` (None or a message), and for the summary line and the
    report `frames`, `fps`, `seconds` (wall time), `pictures` (how many
    rows have a path), `spans` (gradual transitions as [first, last]
    frames), `curve` ([frame, score] points) and `warnings` (what in the
    file disagreed with its frames). A video that produced nothing has only
    `video` and `error`."""

    video: str
    rows: list[dict[str, Any]] = field(default_factory=list)
    error: str | None = None
    frames: int = 0
    fps: float = 0.0
    seconds: float = 0.0
    pictures: int = 0
    spans: list[list[int]] = field(default_factory=list)
    curve: list[list[float]] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    first_frame: int = 0
    stats: list[tuple[int, float, float, str]] | None = None
    written: list[str] = field(default_factory=list)


def timecode(seconds: float) -> str:
    """``HH:MM:SS.mmm``, rounded to the millisecond."""
    millis = max(0, round(seconds * 1000))
    hours, millis = divmod(millis, 3_600_000)
    minutes, millis = divmod(millis, 60_000)
    secs, millis = divmod(millis, 1000)
    return f"{hours:02d}:{minutes:02d}:{secs:02d}.{millis:03d}"


def run_job(job: dict[str, Any], progress: Progress | None = None) -> Outcome:
    """Processes one video. Never raises for a bad input: what went wrong is
    the outcome's `error`. `progress(frames_done, frames_expected)` is
    called while decoding."""
    spec = Job(**job)
    problem = input_problem(spec.video)
    if problem:
        return Outcome(spec.video, error=problem)
    started = time.monotonic()
    try:
        result = _scan(spec, progress)
    except (RuntimeError, OSError, ValueError) as exc:
        return Outcome(spec.video, error=str(exc))
    outcome = describe(spec, result)
    outcome.seconds = time.monotonic() - started
    return outcome


def failed(job: Job, reason: str) -> Outcome:
    """The outcome of a job whose worker itself failed (a crashed process, a lost task)."""
    return Outcome(job.video, error=f"worker failed: {reason}")


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


def clear_images(directory: str, keep: frozenset[str] = frozenset(),
                 written: list[str] | None = None) -> None:
    """Removes from `directory` the scanner's images (and their temporary
    files) other than the paths in `keep`, and the paths in `written` (what
    this run's scan wrote, whatever --image-name called it) not in `keep`;
    nothing else is touched."""
    try:
        names = os.listdir(directory)
    except OSError:
        return
    own = {os.path.join(directory, name) for name in names if _OWN_FILE.fullmatch(name)}
    for path in own.union(written or ()):
        if path not in keep:
            with contextlib.suppress(IsADirectoryError, FileNotFoundError):
                os.unlink(path)


def _scan(spec: Job, progress: Progress | None) -> Any:
    options: dict[str, Any] = {
        "threshold": spec.threshold, "output_dir": spec.output_dir,
        "max_save": spec.max_images if spec.max_images is not None else _ALL_PICTURES}
    if spec.min_scene_len is not None:
        options["min_scene_len"] = spec.min_scene_len
    if progress is not None:
        options["progress"] = progress
    options.update(spec.scan)
    return velmar.scan_video(spec.video, None, **options)


def longest(scenes: list[Any], keep: int | None) -> set[int]:
    """Positions of the `keep` longest scenes with a picture (all when None
    or fewer); among scenes of one length, the earlier ones. A blank scene
    has no picture to keep, so it takes no place among them."""
    positions = [i for i, scene in enumerate(scenes) if scene.keyframe is not None]
    if keep is None or keep >= len(positions):
        return set(positions)
    ranked = sorted(positions, key=lambda i: (-(scenes[i].end_time - scenes[i].start_time), i))
    return set(ranked[:keep])


def describe(spec: Job, result: Any) -> Outcome:
    """The outcome of a finished scan: one row per scene, the path of each
    picture the run keeps (None for a scene whose picture is not kept, and
    for a blank scene, which has none)."""
    scenes = list(result.scenes)
    kept = longest(scenes, spec.keep)
    # The pictures the scanner was to write: one per scene, or with
    # --threshold one per cut (the opening scene, which no cut opens, has
    # none), the first max_images of them.
    limit = spec.max_images if spec.max_images is not None else len(result.keyframes)
    to_write = {kf.frame_number for kf in result.keyframes[:limit]}
    several = dict(spec.scan).get("images_per_scene", 1) > 1
    rows, spans, missing, wanted = [], [], [], 0
    for i, scene in enumerate(scenes):
        picture = scene.keyframe
        path = None
        if picture is not None and i in kept:
            saved = picture.frame_number in to_write
            wanted += saved
            if saved and picture.path and os.path.isfile(picture.path):
                path = picture.path
            elif saved:
                missing.append(str(i + 1))
        first, last = scene.transition_frames
        if scene.transition not in ("start", "cut"):
            spans.append([first, last])
        rows.append({
            "video": spec.video, "scene": i + 1,
            "start_frame": scene.start_frame, "end_frame": scene.end_frame,
            "start_timecode": timecode(scene.start_time), "end_timecode": timecode(scene.end_time),
            "duration": round(scene.end_time - scene.start_time, 3),
            "transition": scene.transition, "blank": scene.blank,
            "picture_frame": picture.frame_number if picture is not None else None,
            "picture_timecode": timecode(picture.time) if picture is not None else None,
            "score": picture.score if picture is not None else None,
            "path": path})
        if several:
            # The row is the best picture's; the others are listed here (the
            # JSON manifest shows them, CSV has no room).
            rows[-1]["pictures"] = [p.path for p in scene.pictures
                                    if i in kept and p.path and os.path.isfile(p.path)]
    error = None
    if missing:
        reasons = list(getattr(result, "image_errors", []))
        scenes_named = ", ".join(missing[:10]) + (", ..." if len(missing) > 10 else "")
        error = (f"{len(missing)} of {wanted} images could not be written (scene"
                 f"{'s' if len(missing) > 1 else ''} {scenes_named})"
                 + (f": {reasons[0]}" if reasons else ""))
    outcome = Outcome(spec.video, rows, error, frames=result.frame_count,
                      first_frame=result.first_frame, fps=result.fps,
                      pictures=sum(row["path"] is not None for row in rows), spans=spans,
                      written=[p.path for scene in scenes
                               for p in (scene.pictures if several else [scene.keyframe])
                               if p is not None and p.path],
                      curve=curve(list(result.scores), first=result.first_frame),
                      warnings=list(getattr(result, "warnings", [])))
    if spec.stats:
        outcome.stats = frame_stats(result)
    return outcome


def frame_stats(result: Any) -> list[tuple[int, float, float, str]]:
    """(frame, time, score, boundary) of every frame scanned; boundary is
    the transition a scene starts with at that frame, empty elsewhere (and
    for the first scene, which no boundary opens)."""
    starts = {scene.start_frame: scene.transition for scene in result.scenes[1:]}
    first = result.first_frame
    return [(first + i, time, score, starts.get(first + i, ""))
            for i, (time, score) in enumerate(zip(result.times, result.scores))]


def curve(scores: list[float], points: int = CURVE_POINTS, first: int = 0) -> list[list[float]]:
    """[frame, score] points of the score curve, at most about `points`:
    each bucket of frames is shown by its highest score, so that no cut
    disappears from a long video's plot. `scores[0]` is frame `first`'s."""
    step = max(1, -(-len(scores) // points))
    out = []
    for start in range(0, len(scores), step):
        bucket = scores[start:start + step]
        peak = max(range(len(bucket)), key=bucket.__getitem__)
        out.append([first + start + peak, round(float(bucket[peak]), 3)])
    return out
