"""``velmar keyframes --edl``: the scenes as CMX 3600 edit decision lists.

One event per scene, a cut at its start: the source in and out points are
the scene's first frame and the frame after its last, and the record side
lays the scenes end to end, video after video, from 00:00:00:00. The
source is reel ``AX`` (an auxiliary source, which is how editors take a
file rather than a tape), named by a ``* FROM CLIP NAME:`` comment, so an
editor relinks each event to its file by name.

A list counts in one timecode rate, and editors know only the SMPTE ones,
so what one file can hold is limited: videos whose rates differ get a list
each, a rate with no timecode of its own is written at the nearest one,
and a list ends at event 999 (the event number has three digits), the
rest continuing in a further file.
"""

from __future__ import annotations

import glob
import math
import os
import dataclasses
from collections.abc import Iterable, Sequence
from typing import IO, TYPE_CHECKING

from velmar_cli.files import readable

if TYPE_CHECKING:
    from velmar_cli.keyframes import Outcome

_REEL = "AX"
# The rates SMPTE timecode counts in; 23.976, 29.97 and 59.94 video counts
# in 24, 30 and 60 non-drop, frame for frame.
_TIMECODE_RATES = (24, 25, 30, 50, 60)
MAX_EVENTS = 999


def nominal_rate(fps: float) -> int:
    """The whole-number frame rate non-drop-frame timecode counts in (30 for
    29.97, 24 for 23.976); 25 when the video's rate is unknown."""
    if not math.isfinite(fps) or fps <= 0:
        return 25
    return max(1, round(fps))


def timecode_rate(fps: float) -> tuple[int, bool]:
    """The SMPTE timecode rate an edit decision list gives a video at `fps`,
    and whether its frames must be converted to it: False for the timecode
    rates and their NTSC counterparts (and for an unknown rate, taken as
    25), True for any other rate, written at the nearest timecode rate."""
    rate = nominal_rate(fps)
    if not math.isfinite(fps) or fps <= 0:
        return rate, False
    if rate in _TIMECODE_RATES and min(abs(fps - rate), abs(fps - rate * 1000 / 1001)) < 0.01:
        return rate, False
    return min(_TIMECODE_RATES, key=lambda r: abs(r - fps)), True


def frames_to_timecode(frames: int, rate: int) -> str:
    """``HH:MM:SS:FF`` of a frame count at a whole-number rate (non-drop)."""
    frames = max(0, frames)
    seconds, ff = divmod(frames, rate)
    minutes, ss = divmod(seconds, 60)
    hh, mm = divmod(minutes, 60)
    return f"{hh:02d}:{mm:02d}:{ss:02d}:{ff:02d}"


def edl_files(path: str, outcomes: Iterable[Outcome]
              ) -> tuple[list[tuple[str, list[Outcome]]], str | None]:
    """The lists to write for the finished videos' outcomes, as (file path,
    outcomes) pairs, and a note for the user when they are more than the
    one at `path`. All go to `path` when the videos share a timecode rate,
    else one per video at ``<path stem>-<video stem>.edl`` beside it. A list
    of more than 999 events goes on in ``<stem>-2.edl``, ``<stem>-3.edl``,
    ...; an outcome split between two files appears in each with its rows
    of that file."""
    outcomes = [o for o in outcomes if o.rows]
    stem, ext = os.path.splitext(path)
    ext = ext or ".edl"
    per_video = len({timecode_rate(o.fps)[0] for o in outcomes}) > 1
    groups = ([(f"{stem}-{_stem(o.video)}", [o]) for o in outcomes] if per_video
              else [(stem, outcomes)])
    files: list[tuple[str, list[Outcome]]] = []
    taken: set[str] = set()
    for base, group in groups:
        parts = _chunks(group)
        name, n = base, 1
        while True:
            paths = [f"{name}-{i}{ext}" if i > 1 else f"{name}{ext}"
                     for i in range(1, len(parts) + 1)]
            if taken.isdisjoint(paths):
                break
            # Two videos of one name from different folders (or a name
            # like a continuation's): each keeps a file of its own.
            n += 1
            name = f"{base}-{n}"
        taken.update(paths)
        files += zip(paths, parts)
    if len(files) == 1:
        return files, None
    why = [reason for reason, applies in (
        ("the videos' frame rates differ, and a list has one", per_video),
        (f"a list holds at most {MAX_EVENTS} events", len(files) > len(groups))) if applies]
    return files, (f"written as {len(files)} edit decision lists ({'; '.join(why)}): "
                   + ", ".join(name for name, _ in files))


def earlier_lists(path: str, written: Iterable[str]) -> list[str]:
    """The lists a run with `path` may have written (``<stem>.edl``,
    ``<stem>-*.edl``) that are there but not among `written`, whose title
    is their own name as this command writes it: what an earlier run left,
    for the user to look at (they may also be someone else's)."""
    stem, ext = os.path.splitext(path)
    ext = ext or ".edl"
    found = sorted({stem + ext, *glob.glob(glob.escape(stem) + "-*" + ext)} - set(written))
    return [name for name in found if _first_line(name) ==
            f"TITLE: {_one_line(os.path.splitext(os.path.basename(name))[0])}"]


def _first_line(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.readline(4096).rstrip("\n")
    except OSError:
        return None


def _stem(video: str) -> str:
    return os.path.splitext(os.path.basename(video.rstrip("/")))[0] or "video"


def _chunks(outcomes: Sequence[Outcome]) -> list[list[Outcome]]:
    """`outcomes` cut into lists of at most MAX_EVENTS rows (at least one list)."""
    parts: list[list[Outcome]] = [[]]
    room = MAX_EVENTS
    for outcome in outcomes:
        rows = outcome.rows
        while rows:
            if room == 0:
                parts.append([])
                room = MAX_EVENTS
            taken = rows[:room]
            parts[-1].append(dataclasses.replace(outcome, rows=taken))
            room -= len(taken)
            rows = rows[len(taken):]
    return parts


def write_edl(f: IO[str], title: str, outcomes: Iterable[Outcome]) -> None:
    """Writes one event per scene row of `outcomes`, whose videos must share
    a timecode rate (as `edl_files` groups them) and have at most 999 rows
    in all. A video at a rate with no timecode of its own has its frames
    converted to the list's rate, each event keeping equal source and record
    lengths, and a comment under its first event says so. Raises ValueError
    for outcomes of different timecode rates or too many rows."""
    outcomes = [o for o in outcomes if o.rows]
    rates = {timecode_rate(o.fps)[0] for o in outcomes}
    if len(rates) > 1:
        raise ValueError(f"outcomes: videos at different timecode rates {sorted(rates)} "
                         "cannot share one edit decision list")
    if sum(len(o.rows) for o in outcomes) > MAX_EVENTS:
        raise ValueError(f"outcomes: more than {MAX_EVENTS} scenes for one edit decision list")
    f.write(f"TITLE: {_one_line(title)}\n")
    f.write("FCM: NON-DROP FRAME\n\n")
    event, record = 1, 0
    for outcome in outcomes:
        rate, converted = timecode_rate(outcome.fps)
        clip = _one_line(os.path.basename(outcome.video))
        for row in outcome.rows:
            source_in, source_out = row["start_frame"], row["end_frame"] + 1
            if converted:
                source_in = _convert(source_in, outcome.fps, rate)
                source_out = max(_convert(source_out, outcome.fps, rate), source_in + 1)
            length = source_out - source_in
            f.write(f"{event:03d}  {_REEL:<8} V     C        "
                    f"{frames_to_timecode(source_in, rate)} "
                    f"{frames_to_timecode(source_out, rate)} "
                    f"{frames_to_timecode(record, rate)} "
                    f"{frames_to_timecode(record + length, rate)}\n")
            f.write(f"* FROM CLIP NAME: {clip}\n")
            if converted and row is outcome.rows[0]:
                # After an event, where a reader keeps it as that event's
                # comment: a comment ahead of the first event is refused.
                f.write(f"* {clip} RUNS AT {outcome.fps:.6g} FRAMES/S, WHICH HAS NO "
                        f"TIMECODE: FRAMES CONVERTED TO {rate} FRAMES/S\n")
            f.write("\n")
            event += 1
            record += length


def _convert(frame: int, fps: float, rate: int) -> int:
    """The frame at `rate` that starts at (or nearest) `frame`'s time at `fps`."""
    return math.floor(frame * rate / fps + 0.5)


def _one_line(text: str) -> str:
    # A line break in a file name would end the comment and start a bogus
    # line of the list; a name that is not UTF-8 shows its bad bytes as U+FFFD.
    return " ".join(readable(text).splitlines()) or "-"
