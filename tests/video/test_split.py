# Covers: src/video/libav/splitter.cpp, split_index.cpp, split_writer.cpp,
# split_encoder.cpp, src/python/video/py_split.cpp.
"""split_video: each part holds exactly its scene's frames (the source's own
bytes where it is copied, PSNR >= 45 dB where it is re-encoded), in
scan_video's frame numbers, with its audio; copy mode moves starts to key
frames and says so; a bad scene list writes nothing, and a failed part
leaves no file."""

import os
import re
import subprocess
import warnings

import pytest

from velmar.video import scan_video, split_video

# Parts re-encoded whole are announced once per call; tests that do not
# look for that warning leave it.
pytestmark = pytest.mark.filterwarnings("ignore:.*re-encoded whole:UserWarning")

RATE = 25
KEYINT = 25  # key frames (closed GOPs) at 0, 25, 50, 75
# Scene 1 runs from a key frame to the frame before the next one (copied);
# scenes 2 and 3 start or end between key frames (re-encoded); a gap between
# scenes 1 and 2 is allowed.
SCENES = [(0, 24), (30, 62), (63, 99)]


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *map(str, args)],
                   check=True)


def probe(path, entries, stream="v"):
    select = ["-select_streams", stream] if stream else []
    out = subprocess.run(["ffprobe", "-v", "error", *select, "-show_entries", entries,
                          "-of", "csv=p=0", str(path)],
                         capture_output=True, text=True, check=True).stdout
    return [line.rstrip(",") for line in out.split()]


def frame_hashes(path):
    """The MD5 of every decoded video frame, in the order they are shown."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-map", "0:v:0", "-vsync", "0",
                          "-f", "framemd5", "-"], capture_output=True, text=True, check=True).stdout
    return [line.rsplit(",", 1)[1].strip() for line in out.splitlines() if not line.startswith("#")]


def psnr(part, source, first, last):
    """The lowest per-frame PSNR of `part` against frames first..last of `source`."""
    graph = (f"[1:v]select='between(n,{first},{last})',setpts=N/{RATE}/TB[ref];"
             f"[0:v]setpts=N/{RATE}/TB[got];[got][ref]psnr")
    out = subprocess.run(["ffmpeg", "-hide_banner", "-i", str(part), "-i", str(source),
                          "-lavfi", graph, "-f", "null", "-"],
                         capture_output=True, text=True, check=True).stderr
    return float(re.search(r"min:([\d.]+|inf)", out).group(1))


@pytest.fixture(scope="module")
def videos(tmp_path_factory):
    d = tmp_path_factory.mktemp("split")
    mp4 = d / "clip.mp4"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=s=160x120:r={RATE}:d=4", "-f", "lavfi", "-i",
           "sine=f=440:d=4", "-c:v", "libx264", "-preset", "ultrafast", "-bf", "3",
           "-x264-params", f"keyint={KEYINT}:min-keyint={KEYINT}:scenecut=0", "-pix_fmt",
           "yuv420p", "-c:a", "aac", "-shortest", mp4)
    mkv = d / "clip.mkv"
    ffmpeg("-i", mp4, "-c", "copy", mkv)
    webm = d / "clip.webm"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=s=160x120:r={RATE}:d=4", "-f", "lavfi", "-i",
           "sine=f=440:d=4", "-c:v", "libvpx-vp9", "-g", str(KEYINT), "-deadline", "realtime",
           "-cpu-used", "8", "-c:a", "libopus", "-shortest", webm)
    # Copied from 0.3 s on: an edit list hides the frames before it, which
    # the file still holds (decoding starts at the key frame at 0).
    edited = d / "edited.mp4"
    ffmpeg("-ss", "0.3", "-i", mp4, "-c", "copy", edited)
    return {"mp4": mp4, "mkv": mkv, "webm": webm, "edited": edited}


@pytest.mark.parametrize("kind", ["mp4", "mkv", "webm", "edited"])
def test_parts_hold_exactly_their_scenes_frames(videos, kind, tmp_path):
    source = videos[kind]
    count = scan_video(source).frame_count
    hashes = frame_hashes(source)
    assert len(hashes) == count  # scan_video's frames are the decoder's
    scenes = SCENES if kind != "edited" else [(0, 16), (17, 41), (42, count - 1)]
    parts = split_video(source, scenes, tmp_path)
    ext = ".mkv" if kind == "mkv" else os.path.splitext(source)[1]
    assert parts == [str(tmp_path / f"{source.stem}-scene-{i:03d}{ext}") for i in (1, 2, 3)]
    for part, (first, last) in zip(parts, scenes):
        got = frame_hashes(part)
        assert len(got) == last - first + 1
        # a part on clean key frames is the source's own bytes
        if got != hashes[first:last + 1]:
            assert psnr(part, source, first, last) >= 45
        assert probe(part, "packet=pts_time")[0] == "0.000000"
    if kind in ("mp4", "mkv"):
        assert frame_hashes(parts[0]) == hashes[0:25]


def test_audio_goes_with_each_part(videos, tmp_path):
    with pytest.warns(UserWarning, match="^2 of 3 parts re-encoded whole") as caught:
        parts = split_video(videos["mp4"], SCENES, tmp_path)
    assert len(caught) == 1
    one_frame = 1024 / 44100
    for part, (first, last) in zip(parts, SCENES):
        audio = probe(part, "stream=duration", "a")
        assert audio, f"{part} has no audio"
        assert float(audio[0]) == pytest.approx((last - first + 1) / RATE, abs=one_frame)


def test_scan_result_scenes_split_the_whole_video(videos, tmp_path):
    result = scan_video(videos["mp4"], threshold=1.0, min_scene_len=30)
    assert len(result.scenes) > 1
    parts = split_video(videos["mp4"], result.scenes, tmp_path, name_template="{scene}-{video}")
    assert [os.path.basename(p) for p in parts] == [f"{i}-clip.mp4"
                                                    for i in range(1, len(parts) + 1)]
    assert sum(len(frame_hashes(p)) for p in parts) == result.frame_count


def test_copy_moves_starts_to_key_frames_and_says_so(videos, tmp_path):
    hashes = frame_hashes(videos["mp4"])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        parts = split_video(videos["mp4"], [(0, 24), (30, 60), (75, 99)], tmp_path, copy=True)
    moved = [(w.message.scene, w.message.requested_start, w.message.actual_start, w.message.path)
             for w in caught]
    assert moved == [(2, 30, 25, parts[1])]
    got = frame_hashes(parts[1])
    assert got[:36] == hashes[25:61]  # from the key frame, every frame of the scene
    assert frame_hashes(parts[2]) == hashes[75:100]


@pytest.mark.parametrize("scenes, message", [
    ([], "the scene list is empty"),
    ([(0, 10), (20, 15)], r"scene 2 \(frames 20-15\) ends before it starts"),
    ([(0, 10), (10, 20)], r"scene 2 \(frames 10-20\) overlaps the scene before it"),
    ([(20, 30), (0, 10)], r"scene 2 \(frames 0-10\) starts before the scene before it"),
    ([(0, 10), (11, 100)], r"scene 2 \(frames 11-100\) goes beyond the video's last frame, 99"),
])
def test_a_bad_scene_list_writes_nothing(videos, tmp_path, scenes, message):
    with pytest.raises(ValueError, match=message):
        split_video(videos["mp4"], scenes, tmp_path / "out")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("kwargs, error", [
    ({"scenes": [(0, "9")]}, TypeError),
    ({"scenes": ["ab"]}, TypeError),
    ({"name_template": "{video}"}, ValueError),  # names every part alike
    ({"name_template": "a/{scene}"}, ValueError),
    ({"copy": 1}, TypeError),
])
def test_bad_arguments_name_themselves(videos, tmp_path, kwargs, error):
    arguments = {"scenes": [(0, 9)], **kwargs}
    with pytest.raises(error, match="argument '(scenes|name_template|copy)'"):
        split_video(videos["mp4"], output_dir=tmp_path, **arguments)


def test_a_failed_part_leaves_no_file_and_the_others_are_written(videos, tmp_path):
    (tmp_path / "clip-scene-002.mp4").mkdir()  # the rename onto it fails
    with pytest.raises(RuntimeError, match=r"Split failed: 1 of 3 parts could not be written "
                                           r"\(scene 2\)") as raised:
        split_video(videos["mp4"], SCENES, tmp_path)
    assert isinstance(raised.value, OSError)
    assert sorted(os.listdir(tmp_path)) == ["clip-scene-001.mp4", "clip-scene-002.mp4",
                                            "clip-scene-003.mp4"]
    assert (tmp_path / "clip-scene-002.mp4").is_dir()
    assert len(frame_hashes(tmp_path / "clip-scene-003.mp4")) == 37


def test_streams_the_container_cannot_hold_make_matroska_parts(tmp_path):
    # A Matroska file named .mp4 holding what MP4 cannot: PCM sound and SubRip
    # subtitles, a cue in each half.
    (tmp_path / "cues.srt").write_text("1\n00:00:00,500 --> 00:00:01,500\nfirst\n\n"
                                       "2\n00:00:02,500 --> 00:00:03,500\nsecond\n")
    source = tmp_path / "odd.mp4"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=s=160x120:r={RATE}:d=4", "-f", "lavfi", "-i",
           "sine=d=4", "-i", tmp_path / "cues.srt", "-map", "0", "-map", "1", "-map", "2",
           "-c:v", "libx264", "-preset", "ultrafast", "-g", "50", "-c:a", "pcm_s16le", "-c:s",
           "srt", "-f", "matroska", source)
    with pytest.warns(UserWarning, match=r"the parts are Matroska \(\.mkv\)"):
        parts = split_video(source, [(0, 49), (50, 99)], tmp_path / "out")
    assert [os.path.basename(p) for p in parts] == ["odd-scene-001.mkv", "odd-scene-002.mkv"]
    for part in parts:
        assert probe(part, "stream=codec_name", None) == ["h264", "pcm_s16le", "subrip"]
        cue = float(probe(part, "packet=pts_time", "s")[0])
        assert cue == pytest.approx(0.5, abs=0.01)  # its time counts from the part's start
