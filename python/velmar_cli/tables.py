"""The CSV files of ``velmar keyframes``: what keeps their cells inert in a
spreadsheet, and the per-frame statistics (``--stats``)."""

from __future__ import annotations

import csv
from collections.abc import Iterable
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velmar_cli.keyframes import Outcome

STATS_FIELDS = ("video", "frame", "time", "score", "boundary")

# A spreadsheet runs a cell that starts with one of these as a formula (a
# video named "=HYPERLINK(...).mp4", say); a leading apostrophe makes it text.
_FORMULA_STARTS = ("=", "+", "-", "@")


def spreadsheet_safe(row: dict[str, Any]) -> dict[str, Any]:
    """`row` with every text cell that a spreadsheet would take for a formula
    prefixed with ``'``. Numbers are left as they are."""
    return {key: f"'{value}" if isinstance(value, str) and value.startswith(_FORMULA_STARTS)
            else value for key, value in row.items()}


def write_stats(f: IO[str], outcomes: Iterable[Outcome]) -> None:
    """One CSV row per frame of every video: its number, time, score against
    the frame before, and the boundary it starts (``cut``, ``dissolve``,
    ``fade``, ``wipe``, or empty)."""
    writer = csv.DictWriter(f, fieldnames=STATS_FIELDS)
    writer.writeheader()
    for outcome in outcomes:
        for frame, time, score, boundary in outcome.stats or ():
            writer.writerow(spreadsheet_safe({
                "video": outcome.video, "frame": frame, "time": round(time, 6),
                "score": round(score, 4), "boundary": boundary}))
