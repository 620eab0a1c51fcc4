"""``velmar keyframes --otio``: the scenes as an OpenTimelineIO timeline.

Written as the JSON OpenTimelineIO itself writes (``.otio``), so that the
command needs no OpenTimelineIO to write one: a track per video, a clip
per scene referring to the video file, its range counted at the video's
own rate (which, unlike an edit decision list's timecode, may be any), and
the transition that opens the scene under the clip's ``velmar`` metadata.
"""

from __future__ import annotations

import json
import os
import pathlib
from collections.abc import Iterable
from typing import IO, TYPE_CHECKING, Any

from velmar_cli.files import readable

if TYPE_CHECKING:
    from velmar_cli.keyframes import Outcome


def write_timeline(f: IO[str], title: str, outcomes: Iterable[Outcome]) -> None:
    """Writes the timeline of the finished videos' outcomes (one track for
    each video with scenes, in order)."""
    tracks = [_track(o) for o in outcomes if o.rows]
    json.dump(_item("Timeline.1", readable(title), global_start_time=None,
                    tracks=_composition("Stack.1", "tracks", tracks)), f, indent=1)
    f.write("\n")


def _track(outcome: Outcome) -> dict[str, Any]:
    fps = outcome.fps if outcome.fps > 0 else 25.0
    # A file URL of the path's bytes, so that any name the file system
    # holds is referred to exactly.
    url = pathlib.Path(os.path.abspath(outcome.video)).as_uri()
    clips = [_item("Clip.2", f"scene {row['scene']}",
                   metadata={"velmar": {"scene": row["scene"], "transition": row["transition"],
                                        "blank": row["blank"],
                                        "start_frame": row["start_frame"],
                                        "end_frame": row["end_frame"]}},
                   source_range=_range(row["start_frame"], row["end_frame"] + 1, fps),
                   effects=[], markers=[], enabled=True, color=None,
                   media_references={"DEFAULT_MEDIA": _item(
                       "ExternalReference.1", "", available_range=None,
                       available_image_bounds=None, target_url=url)},
                   active_media_reference_key="DEFAULT_MEDIA")
             for row in outcome.rows]
    # A name that is not UTF-8 shows its bad bytes as U+FFFD; the URL keeps them.
    name = readable(os.path.basename(outcome.video))
    return {**_composition("Track.1", name, clips), "kind": "Video"}


def _composition(schema: str, name: str, children: list[dict[str, Any]]) -> dict[str, Any]:
    return _item(schema, name, source_range=None, effects=[], markers=[], enabled=True,
                 color=None, children=children)


def _item(schema: str, name: str, metadata: dict[str, Any] | None = None,
          **fields: Any) -> dict[str, Any]:
    return {"OTIO_SCHEMA": schema, "metadata": metadata or {}, "name": name, **fields}


def _range(start: int, end: int, fps: float) -> dict[str, Any]:
    """A TimeRange of frames [start, end) at `fps`."""
    return {"OTIO_SCHEMA": "TimeRange.1", "duration": _time(end - start, fps),
            "start_time": _time(start, fps)}


def _time(frames: int, fps: float) -> dict[str, Any]:
    return {"OTIO_SCHEMA": "RationalTime.1", "rate": float(fps), "value": float(frames)}
