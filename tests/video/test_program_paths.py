"""The ffmpeg-program calls take any file name the system takes, as
scan_video does: a str with surrogate escapes, bytes, or os.PathLike."""

import os
from pathlib import Path

import pytest

from clips import make_clips
from velmar import VideoKeyframeExtractor, extract_keyframes_from_video


@pytest.fixture(scope="module")
def named(tmp_path_factory):
    """A 40-frame clip and an output folder whose names are not UTF-8."""
    d = os.fsencode(tmp_path_factory.mktemp("names"))
    video = d + b"/clip \xff.mkv"
    make_clips(os.fsdecode(video), clips=2)
    return video, d + b"/out \xfe"


@pytest.mark.parametrize("form", [os.fsdecode, bytes, lambda b: Path(os.fsdecode(b))])
def test_non_utf8_names(named, form):
    video, out = named
    e = VideoKeyframeExtractor()
    frames, _, _ = e.extract_frames(form(video))
    assert len(frames) == 40
    assert e.save_keyframes(form(video), [0, 20], form(out)) == 2
    assert e.benchmark(form(video), 1, "t").video_file == "clip \udcff.mkv"
    assert e.process_video(form(video), form(out + b"/p"), 1).total_frames == 40
    r = extract_keyframes_from_video(form(video), form(out + b"/q"), 1)
    assert r.video_file == "clip \udcff.mkv"
    assert sorted(os.listdir(out + b"/q")) == [b"keyframe_001.jpg"]
