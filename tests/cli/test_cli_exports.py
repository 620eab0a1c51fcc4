# Covers: python/velmar_cli/edl.py, timeline.py.
"""The edit decision lists and the OpenTimelineIO timeline, read back by
OpenTimelineIO itself (and its CMX 3600 adapter), as an editor's pipeline
reads them: one list per frame rate, a rate with no timecode converted,
lists of at most 999 events, and clips that match the manifest."""

import json
import os
import shutil

import pytest

from clips import make_clips

pytest.importorskip("velmar_cli")
otio = pytest.importorskip("opentimelineio")
from velmar_cli.edl import edl_files, timecode_rate, write_edl  # noqa: E402
from velmar_cli.keyframes import Outcome  # noqa: E402


def outcome(video, fps, bounds):
    rows = [{"video": video, "scene": i + 1, "start_frame": s, "end_frame": e,
             "transition": "start" if i == 0 else "cut"} for i, (s, e) in enumerate(bounds)]
    return Outcome(video, rows, fps=fps)


def read_edl(path, rate):
    """The clips OpenTimelineIO reads from the list at `path`. The adapter
    refuses an event whose source and record lengths differ."""
    pytest.importorskip("otio_cmx3600_adapter")
    timeline = otio.adapters.read_from_file(str(path), "cmx_3600", rate=rate)
    return list(timeline.find_clips())


def check_against_rows(clips, rows, fps):
    """Each clip starts and ends at its scene's frames: the same frames at a
    timecode rate (or its NTSC counterpart), the nearest ones when
    converted to a timecode rate."""
    rate, converted = timecode_rate(fps)
    scale = rate / fps if converted else 1
    assert len(clips) == len(rows)
    for clip, row in zip(clips, rows):
        assert clip.name == os.path.basename(row["video"])
        source = clip.source_range
        assert source.start_time.rate == rate
        assert abs(source.start_time.value - row["start_frame"] * scale) <= 0.5
        assert abs(source.end_time_exclusive().value - (row["end_frame"] + 1) * scale) <= 0.5


@pytest.mark.parametrize("outcomes, names, note", [
    # Different rates: a list each, named after its video.
    ([outcome("/v/a.mp4", 25.0, [(0, 49), (50, 99)]), outcome("/w/b.mov", 30.0, [(0, 59)])],
     ["x-a.edl", "x-b.edl"], "frame rates differ"),
    # 29.97 counts in 30 non-drop, frame for frame: one list.
    ([outcome("a.mp4", 30.0, [(0, 9)]), outcome("b.mp4", 30000 / 1001, [(0, 1799)])],
     ["x.edl"], None),
    # 10 and 12 frames/s have no timecode: at 24, converted, in one list.
    ([outcome("a.mp4", 10.0, [(0, 9), (10, 24), (25, 27), (28, 28)]),
      outcome("b.mp4", 12.0, [(0, 6), (7, 100)])], ["x.edl"], None),
    # 1,500 events: 999, then the rest in a second file.
    ([outcome(v, 25.0, [(2 * i, 2 * i + 1) for i in range(n)])
      for v, n in [("a", 1000), ("b", 500)]],
     ["x.edl", "x-2.edl"], "at most 999 events"),
])
def test_edl_read_back_by_opentimelineio(tmp_path, outcomes, names, note):
    files, said = edl_files(str(tmp_path / "x.edl"), outcomes)
    assert [os.path.basename(path) for path, _ in files] == names
    assert (note is None) == (said is None) and (note is None or note in said)
    rows = [(row, o.fps) for o in outcomes for row in o.rows]
    for path, part in files:
        with open(path, "w") as f:
            write_edl(f, "x", part)
        text = open(path).read()
        for o in part:
            converted = timecode_rate(o.fps)[1]
            assert (f"{os.path.basename(o.video)} RUNS AT {o.fps:g} FRAMES/S" in text) \
                == converted
        clips = read_edl(path, timecode_rate(part[0].fps)[0])
        assert len(clips) <= 999
        for clip, (row, fps) in zip(clips, rows):
            check_against_rows([clip], [row], fps)
        rows = rows[len(clips):]
    assert rows == []  # every scene is in some list


def test_mixed_rate_run_writes_lists_and_timeline_that_match_the_manifest(tmp_path, cli):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    videos = {tmp_path / "at 25.mp4": 25, tmp_path / "at30.mp4": 30}
    for i, (video, rate) in enumerate(videos.items()):
        make_clips(video, clips=3 - i, rate=str(rate), offset=i)
    proc = cli("keyframes", *videos, "-o", tmp_path / "out", "--manifest", tmp_path / "m.json",
               "--edl", tmp_path / "scenes.edl", "--otio", tmp_path / "scenes.otio",
               "--no-progress")
    assert proc.returncode == 0, proc.stderr
    assert "written as 2 edit decision lists" in proc.stderr
    assert not (tmp_path / "scenes.edl").exists()
    rows = json.loads((tmp_path / "m.json").read_text())
    by_video = {str(v): [r for r in rows if r["video"] == str(v)] for v in videos}
    assert [len(r) for r in by_video.values()] == [3, 2]
    for (video, rate), name in zip(videos.items(), ["scenes-at 25.edl", "scenes-at30.edl"]):
        check_against_rows(read_edl(tmp_path / name, rate), by_video[str(video)], rate)
    timeline = otio.adapters.read_from_file(str(tmp_path / "scenes.otio"))
    assert [track.name for track in timeline.tracks] == [v.name for v in videos]
    for track, (video, rate) in zip(timeline.tracks, videos.items()):
        assert track.kind == "Video"
        assert [(c.source_range, c.metadata["velmar"]["transition"], c.media_reference.target_url)
                for c in track.find_clips()] == [
            (otio.opentime.range_from_start_end_time(
                otio.opentime.RationalTime(row["start_frame"], rate),
                otio.opentime.RationalTime(row["end_frame"] + 1, rate)),
             row["transition"], video.as_uri()) for row in by_video[str(video)]]
    # A later run of one of them writes scenes.edl alone: the per-video lists
    # it did not write are named (a list of the user's own is not).
    (tmp_path / "scenes-notes.edl").write_text("TITLE: notes\n")
    proc = cli("keyframes", next(iter(videos)), "-o", tmp_path / "out",
               "--edl", tmp_path / "scenes.edl", "--no-progress")
    assert proc.returncode == 0, proc.stderr
    assert ("an earlier run's edit decision lists are still there: "
            f"{tmp_path / 'scenes-at 25.edl'}, {tmp_path / 'scenes-at30.edl'}\n") in proc.stderr


def test_timeline_is_checked_writable_before_the_run(tmp_path, cli):
    proc = cli("keyframes", tmp_path / "none.mp4", "-o", tmp_path / "out",
               "--otio", tmp_path / "missing" / "t.otio")
    assert proc.returncode == 2 and "--otio" in proc.stderr and "cannot be written" in proc.stderr
