# Covers: src/video/libav/scanner.cpp (time ranges), src/video/scene_detection.cpp
# (TunedSceneDetector), src/python/video/py_scan.cpp (start, end, sensitivity).
"""scan_video over a time range, and its sensitivity knob: a range reports the
whole video's frame numbers, times and scores for its frames; the knob at 0.5
changes nothing, and a boundary found at one sensitivity is found at every
higher one."""

import os
import subprocess

import pytest

from velmar.video import scan_video

RATE = 25


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *map(str, args)],
                   check=True)


def shots(path, sources, seconds, graph, size="96x64"):
    inputs = []
    for source in sources:
        inputs += ["-f", "lavfi", "-t", str(seconds), "-i", f"{source}=s={size}:r={RATE}"]
    # Key frames every 30 frames and B-frames: a range starts between key
    # frames and its frames come out of decoding order.
    ffmpeg(*inputs, "-filter_complex", graph + ",format=yuv420p", "-c:v", "libx264",
           "-preset", "ultrafast", "-qp", "10", "-g", "30", "-bf", "2", path)
    return str(path)


def brightness_steps(steps):
    """An eq filter raising the brightness by `value` from frame `n` on."""
    expr = "0"
    for n, value in steps:
        expr = f"if(gte(n,{n}),{value},{expr})"
    return f"eq=eval=frame:brightness='{expr}',noise=alls=6:allf=t"


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    d = tmp_path_factory.mktemp("range")
    return {
        "cuts": shots(d / "cuts.mp4", ["testsrc2", "smptebars", "rgbtestsrc"], 4,
                      "[0][1][2]concat=n=3"),
        # brightness steps of several strengths: cuts only some sensitivities find
        "graded": shots(d / "graded.mp4", ["testsrc2"], 9,
                        "[0]" + brightness_steps([(30, 0.065), (80, 0.1), (130, 0.05),
                                                  (180, 0.0)])),
        # a weak step ten frames before a strong cut: within min_scene_len
        "close": shots(d / "close.mp4", ["testsrc2", "smptebars"], 3,
                       "[0]" + brightness_steps([(65, 0.045)]) + "[a];[a][1]concat=n=2"),
        "dissolve": shots(d / "dissolve.mp4", ["smptebars", "rgbtestsrc"], 2,
                          "[0][1]xfade=transition=fade:duration=1:offset=1"),
    }


@pytest.mark.parametrize("kwargs", [
    {"start": 2.5}, {"start": 3.96, "end": 9}, {"end": 5.0}, {"start": 5.3, "end": 7.7},
    {"start_frame": 100, "end_frame": 150}, {"start": 0.5, "end_frame": 40},
])
def test_range_reports_the_whole_videos_frames(clips, tmp_path, kwargs):
    whole = scan_video(clips["cuts"])
    r = scan_video(clips["cuts"], output_dir=str(tmp_path), **kwargs)
    first, count = r.first_frame, r.frame_count
    start = kwargs.get("start", kwargs.get("start_frame", 0) / RATE)
    end = kwargs.get("end", kwargs.get("end_frame", 1e9) / RATE)
    inside = [i for i, t in enumerate(whole.times) if start - 1e-9 <= t < end - 1e-9]
    assert (first, count) == (inside[0], len(inside))
    assert list(r.times) == list(whole.times[first:first + count])
    # the range's first frame too is scored against the frame before it
    assert list(r.scores) == list(whole.scores[first:first + count])
    scenes = r.scenes
    assert scenes[0].transition == "start" and scenes[0].start_frame == first
    assert scenes[0].transition_frames == (first, first)
    assert scenes[-1].end_frame == first + count - 1
    # the range's start opens a scene: min_scene_len (15) counts from it
    cuts = [s.start_frame for s in whole.scenes[1:]
            if first + 15 <= s.start_frame < first + count]
    assert [s.start_frame for s in scenes[1:]] == cuts
    names = sorted(os.listdir(tmp_path))
    assert names == sorted(f"keyframe_{s.keyframe.frame_number:06d}.jpg" for s in scenes)


@pytest.mark.parametrize("kwargs", [{"threshold": 20.0}, {"max_keyframes": 2}])
def test_range_in_the_threshold_modes_gives_whole_video_numbers(clips, kwargs):
    whole = scan_video(clips["cuts"], **kwargs)
    r = scan_video(clips["cuts"], start=2.0, end=10.0, **kwargs)
    assert r.first_frame == 50 and r.frame_count == 200
    if "threshold" in kwargs:
        assert [k.frame_number for k in r.keyframes] == [k.frame_number for k in whole.keyframes]
    else:
        assert {k.frame_number for k in r.keyframes} <= set(range(51, 250))


@pytest.mark.parametrize("kwargs, message", [
    ({"start": -1}, "argument 'start': must be a finite number of seconds"),
    ({"end": float("inf")}, "argument 'end': must be a finite number"),
    ({"start": float("nan")}, "argument 'start'"),
    ({"start": 3, "end": 3}, "argument 'end': must be after start"),
    ({"start_frame": 80, "end_frame": 20}, "argument 'end_frame': must be after start"),
    ({"start": 1, "start_frame": 3}, "give start or start_frame, not both"),
    ({"start": 13}, "start (13.000 s) is at or beyond the end of the video (12.000 s)"),
    ({"start_frame": 100, "end": 2}, "start (4.000 s) is not before end (2.000 s)"),
    ({"start": 0.01, "end": 0.02}, "no frame of the video lies in the range"),
    ({"sensitivity": 1.5}, "argument 'sensitivity': must be from 0 to 1"),
    ({"sensitivity": float("nan")}, "argument 'sensitivity'"),
    ({"min_scene_len": 5, "min_scene_seconds": 1.0}, "give min_scene_len or min_scene_seconds"),
    ({"min_scene_seconds": 0}, "argument 'min_scene_seconds': must be a finite number of "
                               "seconds above 0"),
])
def test_bad_range_or_sensitivity_is_a_value_error(clips, kwargs, message):
    with pytest.raises(ValueError) as caught:
        scan_video(clips["cuts"], **kwargs)
    assert message in str(caught.value)


def boundaries(path, sensitivity=None, **kwargs):
    if sensitivity is not None:
        kwargs["sensitivity"] = sensitivity
    r = scan_video(path, **kwargs)
    return [(s.start_frame, s.transition, s.transition_frames) for s in r.scenes[1:]]


@pytest.mark.parametrize("name", ["cuts", "graded", "close", "dissolve"])
def test_sensitivity_half_is_todays_detection(clips, name):
    assert boundaries(clips[name], 0.5) == boundaries(clips[name])


@pytest.mark.parametrize("name, min_scene_len", [
    ("graded", 15), ("close", 15), ("close", 5), ("dissolve", 15), ("cuts", 15)])
def test_sensitivity_is_monotonic(clips, name, min_scene_len):
    grid = [0.0, 0.2, 0.4, 0.5, 0.6, 0.75, 0.9, 1.0]
    found = [{b[0] for b in boundaries(clips[name], s, min_scene_len=min_scene_len)}
             for s in grid]
    for lower, higher in zip(found, found[1:]):
        assert lower <= higher
    if name == "graded":  # the knob moves: fewer at 0, more at 1
        assert len(found[0]) < len(found[3]) < len(found[-1])
