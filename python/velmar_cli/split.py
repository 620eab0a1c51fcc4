"""One video of ``velmar split``: its scenes (found, or read from a manifest
that ``velmar keyframes --manifest`` wrote) cut into one file each.

Like a keyframes job, a split job travels as a plain dict and comes back as
an Outcome, so it runs the same in the command's process or in a worker.
"""

from __future__ import annotations

import base64
import csv
import json
import os
import time
import warnings
from dataclasses import dataclass
from typing import Any

import velmar

from velmar_cli.keyframes import Job, Outcome, input_problem, run_job

# The columns a split adds to the keyframes manifest: the part written, and
# in copy mode the frame it really starts at (a key frame at or before the
# scene's start).
PART_FIELDS = ("part", "actual_start_frame")


@dataclass(frozen=True)
class SplitJob:
    """One video to split into `output_dir`, its parts named `name` (the
    video's stem, numbered when two videos share one) ``-scene-NNN``. `rows`
    are the manifest rows of its scenes when they come from ``--scenes``;
    otherwise the scenes are found with the keyframes options in `scan`,
    `threshold` and `min_scene_len`."""

    video: str
    output_dir: str
    name: str
    copy: bool = False
    rows: tuple[dict[str, Any], ...] | None = None
    threshold: float | None = None
    scan: tuple[tuple[str, Any], ...] = ()

    def as_dict(self) -> dict[str, Any]:
        return dict(self.__dict__)


def run_split(job: dict[str, Any], progress: Any = None) -> Outcome:
    """Splits one video. Never raises for a bad input: what went wrong is the
    outcome's `error`; rows of parts not written have no `part`."""
    spec = SplitJob(**job)
    started = time.monotonic()
    if spec.rows is None:
        # The scenes alone: no picture is written (max_images 0).
        outcome = run_job(Job(video=spec.video, output_dir=spec.output_dir, threshold=spec.threshold,
                              max_images=0, scan=spec.scan).as_dict(), progress)
    else:
        problem = input_problem(spec.video)
        outcome = Outcome(spec.video, rows=[dict(row) for row in spec.rows], error=problem)
    if outcome.error or not outcome.rows:
        return outcome
    template = spec.name.replace("{", "{{").replace("}", "}}") + "-scene-{scene:03d}"
    scenes = [(row["start_frame"], row["end_frame"]) for row in outcome.rows]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            parts = velmar.split_video(spec.video, scenes, spec.output_dir, copy=spec.copy,
                                       name_template=template)
        except (RuntimeError, OSError, ValueError) as exc:
            parts, outcome.error = [], str(exc)
    moved = {w.message.scene: w.message.actual_start for w in caught
             if hasattr(w.message, "actual_start")}
    outcome.warnings += [str(w.message) for w in caught if not hasattr(w.message, "actual_start")]
    for i, row in enumerate(outcome.rows):
        row["part"] = parts[i] if parts else None
        if spec.copy:
            row["actual_start_frame"] = moved.get(i + 1, row["start_frame"])
    outcome.seconds = time.monotonic() - started
    return outcome


def finished_line(job: SplitJob, outcome: Outcome) -> str:
    """``clip.mp4: 12 parts in out (3.1 s)``, then in copy mode a line per
    scene whose start moved to a key frame."""
    parts = sum(row.get("part") is not None for row in outcome.rows)
    lines = [f"{job.video}: {parts} part{'' if parts == 1 else 's'} in {job.output_dir} "
             f"({outcome.seconds:.1f} s)" + "".join(f"; warning: {w}" for w in outcome.warnings)]
    lines += [f"{job.video}: scene {row['scene']}: starts at key frame "
              f"{row['actual_start_frame']}, not at frame {row['start_frame']}"
              for row in outcome.rows
              if row.get("actual_start_frame", row["start_frame"]) != row["start_frame"]]
    return "\n".join(lines)


def read_scenes(path: str) -> dict[str, list[dict[str, Any]]]:
    """The rows of a keyframes manifest (CSV or JSON) by video, in order.
    Raises OSError for a file that cannot be read and ValueError for one
    that is no such manifest."""
    with open(path, encoding="utf-8", newline="") as f:
        if os.path.splitext(path)[1].lower() == ".csv":
            rows: list[dict[str, Any]] = list(csv.DictReader(f))
        else:
            try:
                rows = json.load(f)
            except json.JSONDecodeError as exc:
                raise ValueError(f"not JSON ({exc})") from None
    by_video: dict[str, list[dict[str, Any]]] = {}
    for number, row in enumerate(rows, 1):
        try:
            video = _video_name(row)
            row = {**row, "video": video, "scene": int(row["scene"]),
                   "start_frame": int(row["start_frame"]), "end_frame": int(row["end_frame"])}
        except (KeyError, TypeError, ValueError, AttributeError):
            raise ValueError(f"row {number} is not a scene of a keyframes manifest "
                             "(video, scene, start_frame, end_frame)") from None
        by_video.setdefault(video, []).append(row)
    return by_video


def _video_name(row: dict[str, Any]) -> str:
    """The video of a manifest row as the command was given it: its exact
    bytes where the JSON manifest kept them, without the apostrophe the CSV
    manifest puts before a name a spreadsheet would run."""
    if row.get("video_bytes"):
        return os.fsdecode(base64.b64decode(row["video_bytes"]))
    video = str(row["video"])
    if video.startswith("'") and video[1:2] in ("=", "+", "-", "@"):
        return video[1:]
    return video


def scenes_of(video: str, by_video: dict[str, list[dict[str, Any]]]) -> list[dict[str, Any]] | None:
    """The manifest rows of `video`: those listed under the same name, else
    under a name of the same file."""
    if video in by_video:
        return by_video[video]
    for name, rows in by_video.items():
        try:
            if os.path.samefile(name, video):
                return rows
        except OSError:
            continue
    return None
