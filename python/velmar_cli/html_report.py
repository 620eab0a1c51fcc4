"""``velmar keyframes --report``: one HTML page for a run.

The page stands alone (styles and plots inline, no script, nothing fetched)
except for the scene pictures, which it links by paths relative to the page,
so the page and the output directory can be moved or served together. Per
video: its per-frame score curve as an SVG plot with every scene boundary
marked and gradual transitions shaded, then a contact sheet of the scene
pictures (each a link to the picture at full size) with their timecodes and
scene lengths.
"""

from __future__ import annotations

import html
import os
import urllib.parse
from collections.abc import Sequence
from typing import IO, TYPE_CHECKING, Any

from velmar_cli.files import readable

if TYPE_CHECKING:
    from velmar_cli.keyframes import Outcome

_WIDTH, _HEIGHT, _TOP, _BOTTOM = 1000, 180, 12, 22

_STYLE = """
body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222;background:#fafafa}
h1{font-size:20px}h2{font-size:16px;margin:28px 0 4px;word-break:break-all}
.meta{color:#555;margin:0 0 8px}.error{color:#b00020}
svg{width:100%;height:auto;background:#fff;border:1px solid #ddd}
.curve{fill:none;stroke:#1f5fbf;stroke-width:1}
.cut{stroke:#d62728;stroke-width:1.5}.gradual{fill:#ff9f1c;fill-opacity:.35}
.axis{font-size:11px;fill:#555}
.sheet{display:grid;grid-template-columns:repeat(auto-fill,minmax(200px,1fr));gap:10px;
margin-top:10px}
figure{margin:0;background:#fff;border:1px solid #ddd;padding:6px}
figure img{width:100%;height:auto;display:block;background:#eee}
figcaption{font-size:12px;color:#333;margin-top:4px}.blank{background:#f0f0f0}
.legend span{margin-right:14px}.swatch{display:inline-block;width:12px;height:12px;
vertical-align:-2px;margin-right:4px}
"""


def write_report(f: IO[str], page_path: str, outcomes: Sequence[Outcome],
                 title: str = "velmar keyframes") -> None:
    """Writes the page for the given video outcomes (finished or failed)."""
    base = os.path.dirname(os.path.abspath(page_path))
    f.write("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{_esc(title)}</title><style>{_STYLE}</style></head><body>\n")
    scenes = sum(len(o.rows) for o in outcomes)
    f.write(f"<h1>{_esc(title)}</h1>\n<p class=\"meta\">{_plural(len(outcomes), 'video')}, "
            f"{_plural(scenes, 'scene')}</p>\n<p class=\"legend\">"
            "<span><i class=\"swatch\" style=\"background:#1f5fbf\"></i>score per frame</span>"
            "<span><i class=\"swatch\" style=\"background:#d62728\"></i>scene boundary</span>"
            "<span><i class=\"swatch\" style=\"background:#ff9f1c;opacity:.5\"></i>"
            "gradual transition</span></p>\n")
    for outcome in outcomes:
        _video_section(f, base, outcome)
    f.write("</body></html>\n")


def _video_section(f: IO[str], base: str, outcome: Outcome) -> None:
    rows = outcome.rows
    f.write(f"<section><h2>{_esc(outcome.video)}</h2>\n")
    if outcome.error:
        f.write(f"<p class=\"error\">{_esc(outcome.error)}</p>\n")
    if not rows:
        f.write("</section>\n")
        return
    duration = sum(row["duration"] for row in rows)
    f.write(f"<p class=\"meta\">{_plural(len(rows), 'scene')}, "
            f"{_plural(outcome.pictures, 'picture')}, {_plural(outcome.frames, 'frame')}, "
            f"{duration:.2f} s at {outcome.fps:.3g} frames/s</p>\n")
    f.write(_plot(outcome))
    f.write("<div class=\"sheet\">\n")
    for row in rows:
        caption = (f"<figcaption><b>Scene {row['scene']}</b> "
                   f"{row['start_timecode']} &ndash; {row['end_timecode']}<br>"
                   f"{row['duration']:.2f} s, {_esc(row['transition'])}; ")
        if row["blank"] and row["picture_frame"] is None:
            # Listed, so that the numbers run on, but with nothing to show.
            f.write(f"<figure class=\"blank\">{caption}blank: one flat colour, no picture"
                    "</figcaption></figure>\n")
            continue
        if row["path"] is None:
            continue
        # Quoted from the bytes, so any name the file system holds links right.
        source = urllib.parse.quote(os.fsencode(
            os.path.relpath(os.path.abspath(row["path"]), base).replace(os.sep, "/")))
        # The picture on the sheet is shrunk to the card; a click opens it whole.
        f.write(f"<figure><a href=\"{_esc(source)}\"><img src=\"{_esc(source)}\" "
                f"loading=\"lazy\" alt=\"scene {row['scene']}\"></a>{caption}picture at "
                f"{row['picture_timecode']} (frame {row['picture_frame']})"
                "</figcaption></figure>\n")
    f.write("</div></section>\n")


def _plot(outcome: Outcome) -> str:
    """The score curve with the boundaries, as an inline SVG element."""
    points, rows = outcome.curve, outcome.rows
    last = max(outcome.frames - 1, 1)
    first_frame = outcome.first_frame  # of a time range
    peak = max((score for _, score in points), default=0.0)
    top = min(255.0, max(10.0, -(-peak // 10) * 10))  # the axis ends at a round score
    plot_height = _HEIGHT - _TOP - _BOTTOM

    def x(frame: float) -> str:
        return f"{(frame - first_frame) / last * _WIDTH:.1f}"

    def y(score: float) -> str:
        return f"{_TOP + plot_height * (1 - min(score, top) / top):.1f}"

    parts = [f"<svg viewBox=\"0 0 {_WIDTH} {_HEIGHT}\" xmlns=\"http://www.w3.org/2000/svg\" "
             f"role=\"img\" aria-label=\"score per frame of {_esc(outcome.video)}\">"]
    for first, end in outcome.spans:
        width = max((end - first + 1) / last * _WIDTH, 2.0)
        parts.append(f"<rect class=\"gradual\" x=\"{x(first)}\" y=\"{_TOP}\" "
                     f"width=\"{width:.1f}\" height=\"{plot_height}\"/>")
    for row in rows[1:]:
        parts.append(f"<line class=\"cut\" x1=\"{x(row['start_frame'])}\" y1=\"{_TOP}\" "
                     f"x2=\"{x(row['start_frame'])}\" y2=\"{_TOP + plot_height}\">"
                     f"<title>scene {row['scene']}: {_esc(row['transition'])} at "
                     f"{row['start_timecode']} (frame {row['start_frame']})</title></line>")
    if points:
        polyline = " ".join(f"{x(frame)},{y(score)}" for frame, score in points)
        parts.append(f"<polyline class=\"curve\" points=\"{polyline}\"/>")
    baseline = _TOP + plot_height
    parts.append(f"<text class=\"axis\" x=\"4\" y=\"{_TOP + 10}\">{top:g}</text>"
                 f"<text class=\"axis\" x=\"4\" y=\"{baseline - 2}\">0</text>"
                 f"<text class=\"axis\" x=\"0\" y=\"{_HEIGHT - 6}\">{rows[0]['start_timecode']}"
                 f"</text><text class=\"axis\" x=\"{_WIDTH}\" y=\"{_HEIGHT - 6}\" "
                 f"text-anchor=\"end\">{rows[-1]['end_timecode']}</text></svg>\n")
    return "".join(parts)


def _plural(n: int, noun: str) -> str:
    return f"{n} {noun}{'' if n == 1 else 's'}"


def _esc(text: Any) -> str:
    # A file name that is not UTF-8 shows its bad bytes as U+FFFD (the links
    # are quoted from the bytes themselves).
    return html.escape(readable(str(text)), quote=True)
