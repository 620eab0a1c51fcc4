# Covers: python/velmar_cli/__init__.py (--start, --end, --sensitivity,
# --min-scene-len, --stats), tables.py.
"""``velmar keyframes`` over a time range, with the sensitivity knob, a minimum
scene length in seconds and the per-frame statistics file; CSV cells a
spreadsheet would run as formulas are written as text."""

import csv
import shutil

import pytest

from clips import make_clips

pytest.importorskip("velmar_cli")
from velmar_cli import _range_point  # noqa: E402

# A name a spreadsheet would take for a formula.
VIDEO = "=1+2.mp4"


@pytest.fixture(scope="module")
def video_dir(tmp_path_factory):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    d = tmp_path_factory.mktemp("range")
    make_clips(d / VIDEO, clips=4, frames_per_clip=40, size="96x64")  # cuts at 40, 80, 120
    return d


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


@pytest.mark.parametrize("start, end", [("1.2", "00:00:04.400"), ("30f", "110f"),
                                        ("00:01.2", "4.4")])
def test_range_run_writes_whole_video_numbers(video_dir, cli, start, end):
    d = video_dir
    proc = cli("keyframes", VIDEO, "-o", "out", "--start", start, "--end", end,
               "--sensitivity", "0.7", "--min-scene-len", "0.2s", "--manifest", "scenes.csv",
               "--stats", "frames.csv", "--no-progress", cwd=d)
    assert proc.returncode == 0, proc.stderr
    scenes = read_csv(d / "scenes.csv")
    frames = read_csv(d / "frames.csv")
    assert [int(row["frame"]) for row in frames] == list(range(30, 110))
    assert [float(row["time"]) for row in frames[:2]] == [1.2, 1.24]
    assert [(row["frame"], row["boundary"]) for row in frames if row["boundary"]] == [
        ("40", "cut"), ("80", "cut")]
    assert [(row["start_frame"], row["end_frame"], row["transition"]) for row in scenes] == [
        ("30", "39", "start"), ("40", "79", "cut"), ("80", "109", "cut")]
    # the video's name is written as text in both files
    assert {row["video"] for row in scenes + frames} == {"'" + VIDEO}


def test_min_scene_len_in_seconds_follows_the_frame_rate(video_dir, cli):
    d = video_dir
    # 1.7 s is 43 frames at 25 fps: the cut 40 frames after the last is dropped
    proc = cli("keyframes", VIDEO, "-o", "out", "--min-scene-len", "1.7s", "--manifest",
               "scenes.json", "--no-progress", cwd=d)
    assert proc.returncode == 0, proc.stderr
    assert (d / "scenes.json").read_text().count('"transition": "cut"') == 1


@pytest.mark.parametrize("args, message", [
    (["--start", "-1"], "--start: must be a finite time of 0 or more"),
    (["--start", "soon"], "must be seconds (12.5), a timecode (00:01:02.500) or frames (250f)"),
    (["--end", "nan"], "--end: must be a finite time"),
    (["--start", "3", "--end", "00:00:02"], "--end must be after --start"),
    (["--sensitivity", "1.5"], "--sensitivity: must be from 0 to 1"),
    (["--min-scene-len", "0s"], "--min-scene-len: must be a time above 0"),
    (["--stats", "missing/frames.csv"], "--stats missing/frames.csv: cannot be written"),
])
def test_bad_options_are_usage_errors(video_dir, cli, args, message):
    proc = cli("keyframes", VIDEO, "-o", "out", *args, cwd=video_dir)
    assert proc.returncode == 2 and message in proc.stderr, proc.stderr


def test_start_past_a_videos_end_fails_that_video(video_dir, cli):
    proc = cli("keyframes", VIDEO, "-o", "out", "--start", "9", "--no-progress", cwd=video_dir)
    assert proc.returncode == 1
    assert "start (9.000 s) is at or beyond the end of the video (6.400 s)" in proc.stderr


@pytest.mark.parametrize("text, point", [
    ("12.5", ("start", 12.5)), ("00:01:02.500", ("start", 62.5)), ("1:02", ("start", 62.0)),
    ("250f", ("start_frame", 250)), ("0", ("start", 0.0)),
])
def test_range_point_forms(text, point):
    assert _range_point(text) == point
