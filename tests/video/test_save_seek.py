# Covers: src/video/ffmpeg_program/save.cpp, probe.cpp.
"""Saving with real ffmpeg: the seek before the input must pick exactly the
frame that the seek after it picks (byte-identical JPEGs) in every container
where it is used, an image counts only if it was written, and saving reads
the same stream that decoding does."""

import os
import shutil
import subprocess

import pytest

from velmar import VideoKeyframeExtractor

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg not installed")

SIZE = "64x48"


def ffmpeg(*args):
    return subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *map(str, args)],
                          capture_output=True, check=True).stdout


def x264(rate, seconds, *extra):
    return ["-f", "lavfi", "-i", f"testsrc2=size={SIZE}:rate={rate}:duration={seconds}",
            "-c:v", "libx264", "-pix_fmt", "yuv420p", "-bf", "3", *extra]


# Frames of 25 fps from 2 s on are spaced 1/10 s apart: a variable frame rate.
VFR = ["-vf", "setpts='if(lt(N,50),N/25,2+(N-50)/10)/TB'", "-fps_mode", "vfr"]

# name: (ffmpeg arguments, frame numbers to save). The first and last frame,
# frames on and next to a keyframe, and frames deep inside a long GOP.
CLIPS = {
    "gop.mp4": (x264(25, 12, "-g", "250"), [0, 299, 250, 249, 37, 123, 271]),
    "gop.mkv": (x264(25, 12, "-g", "250"), [0, 299, 250, 37, 271]),
    "ntsc.mp4": (x264("30000/1001", 2), [0, 59, 1, 31]),
    "fps60.mp4": (x264(60, 2), [0, 119, 37]),
    "offset.mp4": (x264(25, 4, "-output_ts_offset", "5"), [0, 99, 37]),
    # MPEG-TS starts at 1.4 s and has no keyframe index: its seek must stay
    # after the input (before it, frame 37 came out as frame 60, and the
    # last frame as nothing).
    "start.ts": (x264(25, 4, "-g", "30"), [0, 99, 37, 60, 61]),
    "vfr.mp4": (x264(25, 6, *VFR), [0, 37, 49, 50, 55, 100, 140]),
    "vfr.mkv": (x264(25, 6, *VFR), [0, 37, 50, 55, 100, 140]),
}


@pytest.fixture(scope="module")
def clip_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("seek")


def make_clip(clip_dir, name):
    path = clip_dir / name
    if not path.exists():
        ffmpeg(*CLIPS[name][0], path)
    return path


def seek_after_input(argv, output):
    """The same save with the seek moved behind the input, writing `output`."""
    i = argv.index("-ss")
    seek = argv[i:i + 2]
    rest = argv[:i] + argv[i + 2:]
    at = rest.index("-vframes")
    return rest[:at] + seek + rest[at:-1] + [str(output)]


@pytest.mark.parametrize("name", list(CLIPS))
def test_seek_before_input_picks_the_same_frame(clip_dir, recorded_ffmpeg, tmp_path, name):
    clip = make_clip(clip_dir, name)
    program, argvs = recorded_ffmpeg
    frames = CLIPS[name][1]
    out = tmp_path / "out"
    assert VideoKeyframeExtractor(ffmpeg_path=program).save_keyframes(str(clip), frames,
                                                                      str(out)) == len(frames)
    argvs = [argv for argv in argvs() if "-vframes" in argv]
    before_input = [argv.index("-ss") < argv.index("-i") for argv in argvs]
    assert before_input == [not name.endswith(".ts")] * len(frames)
    for position, argv in enumerate(argvs, 1):
        reference = tmp_path / f"reference_{position}.jpg"
        ffmpeg(*seek_after_input(argv, reference))
        image = out / f"keyframe_{position:03}.jpg"
        assert image.read_bytes() == reference.read_bytes(), (name, frames[position - 1])


def test_only_written_images_count(clip_dir, tmp_path, capfd):
    clip = make_clip(clip_dir, "gop.mp4")
    out = tmp_path / "out"
    out.mkdir()
    stale = out / "keyframe_002.jpg"
    stale.write_bytes(b"from an earlier run")
    # frame 5000 lies past the end: ffmpeg exits with 0 and writes nothing
    e = VideoKeyframeExtractor(verbose=True)
    assert e.save_keyframes(str(clip), [10, 5000, 20], str(out)) == 2
    assert sorted(os.listdir(out)) == ["keyframe_001.jpg", "keyframe_003.jpg"]
    captured = capfd.readouterr()
    assert captured.err == "Save keyframe failed at frame 5000\n"
    assert captured.out.splitlines()[-1] == "Saved 2/3 keyframes"


def test_output_dir_starting_with_a_dash(clip_dir, tmp_path, monkeypatch):
    clip = make_clip(clip_dir, "gop.mp4")
    monkeypatch.chdir(tmp_path)
    assert VideoKeyframeExtractor().save_keyframes(str(clip), [3, 7], "-keys") == 2
    assert sorted(os.listdir(tmp_path / "-keys")) == ["keyframe_001.jpg", "keyframe_002.jpg"]


def size_of(image):
    err = subprocess.run(["ffmpeg", "-hide_banner", "-i", str(image)], capture_output=True,
                         text=True).stderr
    return next(word.rstrip(",") for line in err.splitlines() if "Video:" in line
                for word in line.split() if "x" in word and word.split("x")[0].isdigit())


@pytest.fixture(scope="module")
def two_tracks(clip_dir):
    """MKV whose default (and larger) video track is track 1, not track 0."""
    path = clip_dir / "two.mkv"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={SIZE}:rate=25:duration=1",
           "-f", "lavfi", "-i", "smptebars=size=96x72:rate=25:duration=1", "-map", "0", "-map", "1",
           "-c:v", "ffv1", "-pix_fmt", "yuv420p", "-disposition:v:0", "0",
           "-disposition:v:1", "default", path)
    return path


@pytest.fixture(scope="module")
def cover_art(clip_dir):
    """MP4 with a cover image larger than its video."""
    video, cover, path = clip_dir / "plain.mp4", clip_dir / "cover.png", clip_dir / "art.mp4"
    ffmpeg(*x264(25, 1), video)
    ffmpeg("-f", "lavfi", "-i", "color=c=red:size=200x150", "-frames:v", "1", cover)
    ffmpeg("-i", video, "-i", cover, "-map", "0", "-map", "1", "-c", "copy",
           "-disposition:v:1", "attached_pic", path)
    return path


@pytest.mark.parametrize("clip", ["two_tracks", "cover_art"])
def test_one_stream_end_to_end(request, tmp_path, clip):
    path = request.getfixturevalue(clip)
    e = VideoKeyframeExtractor()
    frames, width, height = e.extract_frames(str(path))
    assert (width, height, len(frames)) == (64, 48, 25)
    track0 = ffmpeg("-i", path, "-map", "0:0", "-f", "rawvideo", "-pix_fmt", "gray", "-")
    assert b"".join(f.get_data() for f in frames) == track0
    assert e.benchmark(str(path), 3, "t").total_frames == 25
    assert e.save_keyframes(str(path), [0, 24], str(tmp_path)) == 2
    assert [size_of(tmp_path / f"keyframe_00{i}.jpg") for i in (1, 2)] == ["64x48"] * 2
