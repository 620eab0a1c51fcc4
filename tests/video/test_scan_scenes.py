# Covers: src/video/libav/scene_mode.cpp, scan_images.cpp; src/video/scene_detection.cpp.
"""scan_video's scene detection, the default mode: scenes that partition the
frames, the transitions found on tiny generated clips, the picture of each
scene, and the faults a real file brings: a rotated phone video, a name that
is not UTF-8, a change of picture size, thousands of cuts."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velmar
from clips import fade_through_black
from conftest import not_sanitized
from velmar.video import Scene, scan_video

RATE = 25
SIZE = "96x64"
SETTLE = 3  # frames after a boundary that never picture a scene


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *map(str, args)],
                   check=True)


def shot(source, seconds, size=SIZE):
    return ["-f", "lavfi", "-t", str(seconds), "-i", f"{source}=s={size}:r={RATE}"]


def encode(path, inputs, graph):
    ffmpeg(*inputs, "-filter_complex", graph + ",format=yuv420p[out]", "-map", "[out]",
           "-c:v", "libx264", "-preset", "ultrafast", "-qp", "10", path)
    return str(path)


# Each clip: how it is made, and the transitions scene detection must report
# (the first scene's "start" included).
CLIPS = {
    "cuts": (lambda p: encode(p, shot("testsrc2", 1) + shot("smptebars", 1) + shot("mandelbrot", 1),
                              "[0][1][2]concat=n=3"), ["start", "cut", "cut"]),
    "dissolve": (lambda p: encode(p, shot("smptebars", 2) + shot("rgbtestsrc", 2),
                                  "[0][1]xfade=transition=fade:duration=1:offset=1"),
                 ["start", "dissolve"]),
    "wipe": (lambda p: encode(p, shot("pal75bars", 2) + shot("yuvtestsrc", 2),
                              "[0][1]xfade=transition=wipeleft:duration=1:offset=1"),
             ["start", "wipe"]),
    "fade": (lambda p: encode(p, shot("testsrc2", 2) + shot("smptebars", 2),
                              "[0]fade=t=out:st=1:d=1[a];[1]fade=t=in:d=1[b];[a][b]concat=n=2"),
             ["start", "fade"]),
    # a last shot shorter than the frames a scene's picture is chosen among
    "short_tail": (lambda p: encode(p, shot("testsrc2", 2) + shot("smptebars", 0.32),
                                    "[0][1]concat=n=2"), ["start", "cut"]),
    # a few frames brightened, then the same shot again: no boundary
    "flash": (lambda p: encode(p, shot("testsrc2", 3),
                               "[0]eq=brightness=0.6:enable='between(n,30,32)'"), ["start"]),
    # a camera move over one picture: no boundary
    "pan": (lambda p: encode(p, shot("pal100bars", 3, "400x64"), "[0]crop=96:64:'t*120':0"),
            ["start"]),
}


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    d = tmp_path_factory.mktemp("scenes")
    return {name: make(d / f"{name}.mp4") for name, (make, _) in CLIPS.items()}


def check_partition(r):
    """Scenes partition the frames in order, times follow the frames, and the
    keyframes list is the scenes' keyframes."""
    scenes = r.scenes
    assert scenes and scenes[0].start_frame == 0 and scenes[-1].end_frame == r.frame_count - 1
    for a, b in zip(scenes, scenes[1:]):
        assert b.start_frame == a.end_frame + 1
        assert a.end_time == b.start_time == r.times[b.start_frame]
    assert scenes[-1].end_time == pytest.approx(max(r.duration, r.times[-1]), abs=0.05)
    assert [s.keyframe for s in scenes] == r.keyframes
    assert all(s.keyframe is k for s, k in zip(scenes, r.keyframes))
    assert scenes[0].transition == "start" and scenes[0].transition_frames == (0, 0)
    for s in scenes:
        first, last = s.transition_frames
        assert first <= s.start_frame <= last or s.transition == "start"
        k = s.keyframe.frame_number
        assert s.start_frame <= k <= s.end_frame
        assert k >= last + SETTLE or s.end_frame - s.start_frame < 2 * SETTLE
    assert all(0.0 <= x <= 255.0 for x in r.scores)


@pytest.mark.parametrize("name", CLIPS)
def test_scene_detection_finds_the_transitions(clips, name):
    r = scan_video(clips[name])
    assert r.threshold is None
    assert [s.transition for s in r.scenes] == CLIPS[name][1]
    check_partition(r)


def test_gradual_transition_is_one_boundary_in_its_middle(clips):
    r = scan_video(clips["dissolve"])
    first, last = r.scenes[1].transition_frames
    # the dissolve runs from frame 25 to 50
    assert 20 <= first < r.scenes[1].start_frame < last <= 55
    assert r.scenes[1].transition == "dissolve"
    for s in r.scenes:
        assert not first <= s.keyframe.frame_number <= last


def test_min_scene_len_applies_between_boundaries(clips):
    assert len(scan_video(clips["cuts"], min_scene_len=30).scenes) == 2  # cut at 25 too close to 0
    assert len(scan_video(clips["cuts"], min_scene_len=10).scenes) == 3


def test_threshold_modes_give_the_scenes_between_their_cuts(clips):
    r = scan_video(clips["cuts"], threshold=20.0, min_scene_len=5)
    assert [s.start_frame for s in r.scenes] == [0] + [k.frame_number for k in r.keyframes]
    assert [s.transition for s in r.scenes] == ["start"] + ["cut"] * len(r.keyframes)
    assert r.scenes[1].transition_frames == (r.scenes[1].start_frame,) * 2
    assert r.scenes[-1].end_frame == r.frame_count - 1
    both = scan_video(clips["cuts"], 1, threshold=20.0, min_scene_len=5)
    assert [s.start_frame for s in both.scenes] == [s.start_frame for s in r.scenes]
    assert len(both.keyframes) == 1 and both.keyframes[0] in [s.keyframe for s in both.scenes]
    assert scan_video(clips["cuts"], 3).scenes == []


def test_each_scene_image_is_written_and_max_save_counts_scenes(clips, tmp_path):
    r = scan_video(clips["cuts"], output_dir=tmp_path / "all")
    names = sorted(os.listdir(tmp_path / "all"))
    assert names == [f"keyframe_{s.keyframe.frame_number:06d}.jpg" for s in r.scenes]
    assert r.images_written == 3 and r.image_errors == []
    r = scan_video(clips["cuts"], output_dir=tmp_path / "two", max_save=2)
    assert [s.keyframe.path is not None for s in r.scenes] == [True, True, False]


def test_a_short_last_scene_has_a_picture_of_its_own(clips, tmp_path):
    r = scan_video(clips["short_tail"], output_dir=tmp_path)
    last = r.scenes[-1]
    assert last.end_frame - last.start_frame < 10
    assert last.start_frame <= last.keyframe.frame_number <= last.end_frame
    assert all(s.keyframe.path for s in r.scenes) and r.image_errors == []


# --- holds of black: a fade through them, or a blank scene -----------------------------------


@pytest.mark.parametrize("rate, fade", [(25, 0.5), (60, 0.5), (25, 0)])
def test_fade_through_a_short_hold_of_black_is_one_boundary(tmp_path, rate, fade):
    # 1.5 s of black: 37 frames at 25 fps and 90 at 60, both past a count
    # of frames that would suit one of the rates only.
    first, last = fade_through_black(tmp_path / "v.mp4", rate, 1.5, fade)
    r = scan_video(tmp_path / "v.mp4", output_dir=tmp_path / "out")
    assert [s.transition for s in r.scenes] == ["start", "fade"]
    span = r.scenes[1].transition_frames
    assert span[0] <= first + 2 and span[1] >= last - 2
    assert not any(s.blank for s in r.scenes)
    # No picture of black: each is on its own side of the whole fade.
    assert [k.frame_number < span[0] or k.frame_number > span[1] for k in r.keyframes] == [True] * 2
    assert r.images_written == 2


def test_a_long_hold_of_black_is_a_blank_scene_without_a_picture(tmp_path):
    fade_through_black(tmp_path / "v.mp4", 25, 3)
    r = scan_video(tmp_path / "v.mp4", output_dir=tmp_path / "out", images_per_scene=2)
    assert [s.blank for s in r.scenes] == [False, True, False]
    hold = r.scenes[1]
    assert hold.keyframe is None and hold.pictures == ()
    assert "blank=True, keyframe=None" in repr(hold)
    assert r.keyframes == [r.scenes[0].keyframe, r.scenes[2].keyframe]
    assert len(os.listdir(tmp_path / "out")) == r.images_written == 4


def test_a_video_of_black_alone_keeps_its_picture(tmp_path):
    ffmpeg("-f", "lavfi", "-i", f"color=c=black:s={SIZE}:r={RATE}:d=2", "-c:v", "libx264",
           "-pix_fmt", "yuv420p", tmp_path / "v.mp4")
    [scene] = scan_video(tmp_path / "v.mp4", output_dir=tmp_path / "out").scenes
    assert scene.blank and scene.keyframe is not None and scene.keyframe.path
    assert scene.pictures == (scene.keyframe,)


# --- faults a real file brings -------------------------------------------------------------


def gray(path, size):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-vframes", "1", "-f",
                           "rawvideo", "-pix_fmt", "gray", "-s", size, "-"],
                          check=True, capture_output=True).stdout


@pytest.mark.parametrize("rotate", [90, 180, 270])
@pytest.mark.parametrize("image_format", ["jpg", "png"])
def test_rotated_video_gives_upright_images(tmp_path, rotate, image_format):
    plain = tmp_path / "plain.mp4"
    ffmpeg("-f", "lavfi", "-i", "color=c=white:s=64x32:r=10:d=1,"
           "drawbox=x=0:y=0:w=16:h=8:c=black:t=fill", "-c:v", "libx264", "-pix_fmt", "yuv420p", plain)
    phone = tmp_path / "phone.mp4"
    ffmpeg("-i", plain, "-c", "copy", "-metadata:s:v:0", f"rotate={rotate}", phone)
    r = scan_video(phone, output_dir=tmp_path / "out", image_format=image_format)
    [keyframe] = r.keyframes
    upright = "32x64" if rotate != 180 else "64x32"
    # the ffmpeg program turns the picture the same way
    ours, theirs = gray(keyframe.path, upright), gray(phone, upright)
    assert sum(abs(a - b) for a, b in zip(ours, theirs)) / len(ours) < 4


def test_scene_pictures_are_exactly_decoded_frames(tmp_path):
    """Scene detection decodes B pictures without their deblocking filter, so
    a scene's picture must be an I or P picture, decoded as ffmpeg does."""
    clip = tmp_path / "b.mp4"
    ffmpeg(*shot("testsrc2", 3, "160x96"), *shot("mandelbrot", 3, "160x96"), "-filter_complex",
           "[0][1]concat=n=2,format=yuv420p", "-c:v", "libx264", "-preset", "medium", "-bf", "3",
           "-crf", "35", clip)
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "frame=pict_type", "-of",
                            "json", str(clip)], check=True, capture_output=True, text=True)
    types = [frame["pict_type"] for frame in json.loads(probe.stdout)["frames"]]
    assert types.count("B") > len(types) / 3
    r = scan_video(clip, output_dir=tmp_path / "out")
    assert len(r.scenes) == 2
    for kf in r.keyframes:
        assert types[kf.frame_number] != "B"
        exact = subprocess.run(["ffmpeg", "-v", "error", "-i", str(clip), "-vf",
                                f"select=eq(n\\,{kf.frame_number})", "-vframes", "1", "-f",
                                "rawvideo", "-pix_fmt", "gray", "-"],
                               check=True, capture_output=True).stdout
        ours = gray(kf.path, "160x96")
        assert sum(abs(a - b) for a, b in zip(ours, exact)) / len(ours) < 2


def test_path_that_is_not_utf8(tmp_path, clips):
    name = os.fsdecode(b"caf\xe9.mp4")  # str with a surrogate escape
    shutil.copy(clips["cuts"], tmp_path / name)
    out = tmp_path / os.fsdecode(b"images-\xff")
    r = scan_video(str(tmp_path / name), output_dir=str(out))
    assert r.images_written == 3
    for s in r.scenes:
        assert os.path.isfile(s.keyframe.path) and Path(s.keyframe.path).parent == out
    again = scan_video(os.fsencode(tmp_path / name))  # bytes work too
    assert [s.start_frame for s in again.scenes] == [s.start_frame for s in r.scenes]
    with pytest.raises(ValueError, match="video_path"):
        scan_video(str(tmp_path) + "/a\0b.mp4")


@pytest.fixture(scope="module")
def size_change(tmp_path_factory):
    """One MPEG-TS stream whose picture size changes at frame 25."""
    d = tmp_path_factory.mktemp("size")
    parts = []
    # the same still picture at two sizes
    for i, size in enumerate(["96x64", "192x128"]):
        part = d / f"{i}.ts"
        ffmpeg("-f", "lavfi", "-i", f"smptebars=s=96x64:r={RATE}:d=1", "-vf", f"scale={size}",
               "-c:v", "libx264", "-pix_fmt", "yuv420p", "-bsf:v", "h264_mp4toannexb", part)
        parts.append(part.read_bytes())
    path = d / "sizes.ts"
    path.write_bytes(b"".join(parts))
    return str(path)


@pytest.mark.parametrize("kwargs", [{}, {"threshold": 30.0}, {"max_keyframes": 1}])
def test_size_change_is_scored_at_the_first_size_and_is_a_boundary(size_change, kwargs):
    r = scan_video(size_change, **kwargs)
    assert (r.width, r.height, r.frame_count) == (96, 64, 50)
    assert all(0.0 <= x <= 255.0 for x in r.scores)
    # the same picture at another size scores like a still frame pair
    assert r.scores[25] < 10.0
    if "max_keyframes" not in kwargs:
        assert 25 in [s.start_frame for s in r.scenes]


def peak_rss_kb(code):
    out = subprocess.run([sys.executable, "-c", code + "\nprint(next(l.split()[1] for l in "
                          "open('/proc/self/status') if l.startswith('VmHWM:')))"],
                         check=True, capture_output=True, text=True).stdout
    return int(out.split()[-1])


@not_sanitized
def test_threshold_mode_holds_no_frame_past_its_cut(tmp_path):
    # every other frame negated: a cut at every frame, 720p
    clip = tmp_path / "flicker.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=s=1280x720:r=25:d=8", "-vf", "negate=enable='mod(n,2)'",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", clip)
    run = f"import velmar; r = velmar.scan_video({str(clip)!r}, threshold=10.0, min_scene_len=1"
    with_images = peak_rss_kb(run + f", output_dir={str(tmp_path / 'out')!r}, max_save=1000)\n"
                              "assert r.images_written == 199, r.images_written")
    without = peak_rss_kb(run + ")")
    # 199 colour frames of 720p held until the end would be 270 MB
    assert with_images - without < 60 * 1024


def test_scene_records(clips):
    r = scan_video(clips["cuts"])
    s = r.scenes[1]
    assert isinstance(s, Scene) and Scene is velmar.Scene
    assert repr(s).startswith("Scene(start_frame=25, end_frame=49, ")
    with pytest.raises(AttributeError):
        s.start_frame = 3
    with pytest.raises(TypeError):
        Scene()
