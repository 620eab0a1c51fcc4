"""``velmar keyframes --edl``: the scenes as a CMX 3600 edit decision list.

One event per scene, a cut at its start: the source in and out points are
the scene's first frame and the frame after its last, and the record side
lays the scenes end to end, video after video, from 00:00:00:00. The
source is reel ``AX`` (an auxiliary source, which is how editors take a
file rather than a tape), named by a ``* FROM CLIP NAME:`` comment, so an
editor relinks each event to its file by name.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable
from typing import IO, TYPE_CHECKING

if TYPE_CHECKING:
    from velmar_cli.keyframes import Outcome

_REEL = "AX"


def nominal_rate(fps: float) -> int:
    """The whole-number frame rate non-drop-frame timecode counts in (30 for
    29.97, 24 for 23.976); 25 when the video's rate is unknown."""
    if not math.isfinite(fps) or fps <= 0:
        return 25
    return max(1, round(fps))


def frames_to_timecode(frames: int, rate: int) -> str:
    """``HH:MM:SS:FF`` of a frame count at a whole-number rate (non-drop)."""
    frames = max(0, frames)
    seconds, ff = divmod(frames, rate)
    minutes, ss = divmod(seconds, 60)
    hh, mm = divmod(minutes, 60)
    return f"{hh:02d}:{mm:02d}:{ss:02d}:{ff:02d}"


def write_edl(f: IO[str], title: str, outcomes: Iterable[Outcome]) -> None:
    """Writes one event per scene row of the finished videos' outcomes.
    The record timeline counts at the rate of the first video; a video at
    another rate is laid on it by its scenes' lengths in frames, converted."""
    outcomes = [o for o in outcomes if o.rows]
    record_rate = nominal_rate(outcomes[0].fps) if outcomes else 25
    f.write(f"TITLE: {_one_line(title)}\n")
    f.write("FCM: NON-DROP FRAME\n\n")
    event, record = 1, 0
    for outcome in outcomes:
        rate = nominal_rate(outcome.fps)
        clip = _one_line(os.path.basename(outcome.video))
        for row in outcome.rows:
            source_in, source_out = row["start_frame"], row["end_frame"] + 1
            length = round((source_out - source_in) * record_rate / rate)
            f.write(f"{event:03d}  {_REEL:<8} V     C        "
                    f"{frames_to_timecode(source_in, rate)} "
                    f"{frames_to_timecode(source_out, rate)} "
                    f"{frames_to_timecode(record, record_rate)} "
                    f"{frames_to_timecode(record + length, record_rate)}\n")
            f.write(f"* FROM CLIP NAME: {clip}\n\n")
            event += 1
            record += length


def _one_line(text: str) -> str:
    # A line break in a file name would end the comment and start a bogus
    # line of the list.
    return " ".join(text.splitlines()) or "-"
