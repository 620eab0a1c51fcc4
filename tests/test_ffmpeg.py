"""Probing, decoding and saving through ffmpeg: scripted runs of tests/fake_ffmpeg
for exact command lines and hostile outputs, real ffmpeg on tiny generated clips."""

import os
import random
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from velmar import VideoKeyframeExtractor

from conftest import FAKE
VIDEO = "in.mp4"  # the fake never opens it


def dims_of(fake, text):
    fake.probe(text)
    _, width, height = fake.extractor().extract_frames(VIDEO)
    return width, height


# --- probe parsing ---------------------------------------------------------

AVC = "  Stream #0:0(und): Video: h264 (avc1 / 0x31), yuv420p, {} [SAR 1:1 DAR 16:9], 25 fps\n"


@pytest.mark.parametrize(
    "text,expected",
    [
        (AVC.format("1920x1080"), (1920, 1080)),
        (AVC.format("1280x720,"), (1280, 720)),
        ("Video: +640x+480\n", (640, 480)),
        ("Video: 640x480,25\n", (640, 480)),
        ("Video: 640x480,\n", (640, 480)),
        # a "Video:" line without an "x" is skipped; the search goes on
        ("Stream #0:0: Video: mpeg4\nStream #0:1: Video: 320x240\n", (320, 240)),
        # the first video stream described wins
        ("Stream #0:0: Video: 320x240\nStream #0:1: Video: 640x480\n", (320, 240)),
        # only lines holding "Video:" count
        ("Input #0, 800x600\n  Stream #0:0: Video: 320x240\n", (320, 240)),
        ("video: 800x600\nVideo: 320x240\n", (320, 240)),
        # a rejected word does not end the line
        ("Video: -640x480 640x480p 320x240\n", (320, 240)),
        ("Video: x240 320x 320xx240 ++320x240 32 0x240 320x240\n", (320, 240)),
        # words split at any Unicode whitespace, not only ASCII
        ("Video:\u00a0320x240\n", (320, 240)),
        ("Video: gray,\u3000320x240\u2009[SAR]\n", (320, 240)),
        ("Video: 320x240\r\n", (320, 240)),
        ("Video: 320x240", (320, 240)),  # last line without a newline
        # broken UTF-8 becomes a replacement character, never a digit or space
        ("Video: \udcff 320x240\n", (320, 240)),
        ("Video: \udce2\udc80 320x240\n", (320, 240)),
        # zero or overflowing sizes do not count: the next word is taken
        ("Video: h264 (avc1 / 0x31, yuv420p, 64x48\n", (64, 48)),
        ("Video: 320x0 640x480\n", (640, 480)),
        ("Video: 4294967296x4294967296 640x480\n", (640, 480)),
        ("Video: 18446744073709551616x1 640x480\n", (640, 480)),
    ],
)
def test_probe_dimensions(fake, text, expected):
    assert dims_of(fake, text) == expected


@pytest.mark.parametrize(
    "text",
    [
        "",
        "in.mp4: No such file or directory\n",
        AVC.format("none"),  # its only word with an x is "0x31),"
        "Video: 640x480p\n",
        "Video: -640x480\n",
        "Video: 640 x 480\n",
        "Video: 320x240\udcff\n",  # the height holds a replacement character
        "Video: \u200b320x240\n",  # zero-width space is not whitespace
        "Video: \uff13\uff12\uff10x240\n",  # full-width digits are not ASCII
        "Video: 0x0\n",
        "Video: 18446744073709551615x18446744073709551615\n",
        "Stream #0:0: Audio: aac, 44100 Hz, 1280x720\n",
    ],
)
def test_probe_without_dimensions(fake, text):
    fake.probe(text)
    with pytest.raises(RuntimeError) as info:
        fake.extractor().extract_frames(VIDEO)
    assert str(info.value) == "Frame extraction failed: Cannot parse video dimensions"
    assert [c["mode"] for c in fake.calls()] == ["probe"]  # no decoder started


# --- decoding -----------------------------------------------------------------


def test_command_lines_and_stdin(fake):
    fake.raw_video(4, 2, bytes(16))
    fake.extractor().extract_frames("dir/my video.mkv")
    probe, decode = fake.calls()
    assert probe["argv"] == ["-i", "dir/my video.mkv", "-hide_banner"]
    assert decode["argv"] == [
        "-i", "dir/my video.mkv", "-f", "rawvideo", "-pix_fmt", "gray", "-an",
        "-threads", "0", "-preset", "ultrafast", "-",
    ]
    # ffmpeg reads stdin for interactive commands: it must not get ours
    assert probe["stdin_null"] and decode["stdin_null"]


@pytest.mark.parametrize(
    "width,height,frames,extra,chunk",
    [
        (100, 75, 3, 0, 0),  # 7500 bytes: not a multiple of 32
        (3, 5, 40, 7, 11),  # a short last frame is dropped
        (1024, 1024, 2, 0, 0),  # exactly one read buffer
        (1025, 1024, 3, 1000, 65537),  # more than one read buffer, odd writes
    ],
)
def test_decode_frames(fake, width, height, frames, extra, chunk):
    size = width * height
    data = random.Random(size).randbytes(size * frames + extra)
    fake.raw_video(width, height, data)
    if chunk:
        fake.set("CHUNK", chunk)
    result, w, h = fake.extractor().extract_frames(VIDEO, max_frames=1)
    assert (w, h) == (width, height)
    assert len(result) == frames  # max_frames is not a limit
    for i, frame in enumerate(result):
        assert (frame.frame_number, frame.width, frame.height) == (i, width, height)
        assert frame.get_data() == data[i * size:(i + 1) * size]


@pytest.mark.parametrize("status", [0, 1, 255])
def test_decoder_status_is_not_an_error(fake, status):
    fake.raw_video(2, 2, bytes(range(10)))
    fake.set("EXIT", status)
    frames, w, h = fake.extractor().extract_frames(VIDEO)
    assert [f.get_data() for f in frames] == [bytes([0, 1, 2, 3]), bytes([4, 5, 6, 7])]


def test_decoder_with_no_output(fake):
    fake.raw_video(8, 8, b"")
    fake.set("EXIT", 1)
    assert fake.extractor().extract_frames(VIDEO) == ([], 8, 8)


def test_progress_lines(fake, capfd):
    fake.raw_video(2, 2, bytes(4 * 2500))
    frames, _, _ = fake.extractor(verbose=True).extract_frames("v.mp4")
    assert len(frames) == 2500
    out, err = capfd.readouterr()
    lines = out.splitlines()
    assert lines[:5] == [
        "Extracting frames (full video): v.mp4",
        "Dimensions: 2x2",
        "Frame size: 4 bytes",
        "Processed 1000 frames",
        "Processed 2000 frames",
    ]
    assert re.fullmatch(r"Done: 2500 frames in \d+\.\d\ds", lines[5])
    assert len(lines) == 6 and err == ""


def test_quiet_by_default(fake, capfd):
    fake.raw_video(2, 2, bytes(8))
    fake.extractor().extract_frames(VIDEO)
    assert capfd.readouterr() == ("", "")


def test_missing_program():
    extractor = VideoKeyframeExtractor(ffmpeg_path="/nonexistent/ffmpeg")
    with pytest.raises(RuntimeError) as info:
        extractor.extract_frames(VIDEO)
    assert str(info.value) == "Frame extraction failed: Failed to probe video with FFmpeg"


# --- saving ---------------------------------------------------------------------


def save_calls(fake):
    return [c["argv"] for c in fake.calls() if c["mode"] == "save"]


def test_save_command_lines(fake, tmp_path):
    fake.raw_video(4, 4, b"", fps="30 fps, 30 tbr")
    out = tmp_path / "out"
    saved = fake.extractor().save_keyframes(VIDEO, [120, 30], str(out))
    assert saved == 2
    calls = fake.calls()
    assert [c["mode"] for c in calls] == ["probe", "save", "save"]
    assert calls[0]["argv"] == ["-i", VIDEO, "-hide_banner"]
    assert save_calls(fake) == [
        ["-i", VIDEO, "-ss", "4", "-vframes", "1", "-q:v", "2", "-y", f"{out}/keyframe_001.jpg"],
        ["-i", VIDEO, "-ss", "1", "-vframes", "1", "-q:v", "2", "-y", f"{out}/keyframe_002.jpg"],
    ]
    assert all(c["stdin_null"] for c in calls)
    assert sorted(os.listdir(out)) == ["keyframe_001.jpg", "keyframe_002.jpg"]


@pytest.mark.parametrize(
    "stream,frames,expected",
    [
        ("30 fps, 30 tbr", [0, 1, 45, 60], ["0", "0.03333333333333333", "1.5", "2"]),
        ("25 fps, 25 tbr", [1, 50, 37], ["0.04", "2", "1.48"]),
        ("29.97 fps, 29.97 tbr", [1, 30, 107892], [repr(n * 1001 / 30000) for n in (1, 30, 107892)]),
        ("23.98 fps, 23.98 tbr", [24, 86400], ["1.001", "3603.6"]),
        ("59.94 fps, 59.94 tbr", [60], ["1.001"]),
        ("24 tbr, 1k tbn", [12], ["0.5"]),  # no fps: the tbr is used
        ("1k fps", [500], ["0.5"]),
        ("", [45, 1], ["1.5", "0.03333333333333333"]),  # no rate: 30
        ("abc fps, 0 tbr", [45], ["1.5"]),  # unusable numbers: 30
    ],
)
def test_seek_follows_frame_rate(fake, tmp_path, stream, frames, expected):
    fake.probe(f"  Stream #0:0: Video: h264, yuv420p, 64x48, {stream}\n")
    fake.extractor().save_keyframes(VIDEO, frames, str(tmp_path / "o"))
    assert [argv[3] for argv in save_calls(fake)] == expected


@pytest.mark.parametrize(
    "output_dir,expected_prefix",
    [("", ""), ("nested/dir", "nested/dir/"), ("trailing/", "trailing/")],
)
def test_output_path_join(fake, tmp_path, monkeypatch, output_dir, expected_prefix):
    monkeypatch.chdir(tmp_path)
    before = set(os.listdir(tmp_path))
    fake.extractor().save_keyframes(VIDEO, [3], output_dir)
    assert save_calls(fake)[0][-1] == expected_prefix + "keyframe_001.jpg"
    assert (tmp_path / expected_prefix / "keyframe_001.jpg").exists()
    if not output_dir:
        assert set(os.listdir(tmp_path)) - before - {"calls.log"} == {"keyframe_001.jpg"}


def test_max_save_limits_and_zero(fake, tmp_path, capfd):
    out = tmp_path / "ten"
    assert fake.extractor(verbose=True).save_keyframes(VIDEO, list(range(10)), str(out), 3) == 3
    assert sorted(os.listdir(out)) == [f"keyframe_00{i}.jpg" for i in (1, 2, 3)]
    assert capfd.readouterr().out.splitlines() == ["Saving keyframes (max 3)...", "Saved 3/3 keyframes"]

    fake.log.unlink()
    zero = tmp_path / "zero" / "deep"
    assert fake.extractor(verbose=True).save_keyframes(VIDEO, [1, 2], str(zero), max_save=0) == 0
    assert zero.is_dir() and os.listdir(zero) == []
    assert fake.calls() == []  # not even a probe
    assert capfd.readouterr().out.splitlines() == ["Saving keyframes (max 0)...", "Saved 0/0 keyframes"]


def test_empty_list(fake, tmp_path, capfd):
    out = tmp_path / "never"
    assert fake.extractor(verbose=True).save_keyframes(VIDEO, [], str(out)) == 0
    assert not out.exists() and fake.calls() == []
    assert capfd.readouterr() == ("No keyframes to save\n", "")


def test_failed_image_is_counted_out(fake, tmp_path, capfd):
    fake.set("SAVE_FAIL", "keyframe_002.jpg")
    out = tmp_path / "o"
    assert fake.extractor(verbose=True).save_keyframes(VIDEO, [5, 77, 9], str(out)) == 2
    assert len(save_calls(fake)) == 3  # the next position is still tried
    captured = capfd.readouterr()
    assert captured.err == "Save keyframe failed at frame 77\n"
    assert captured.out.splitlines()[-1] == "Saved 2/3 keyframes"


def test_failed_image_is_quiet_without_verbose(fake, tmp_path, capfd):
    fake.set("EXIT", 1)
    assert fake.extractor().save_keyframes(VIDEO, [5, 6], str(tmp_path / "o")) == 0
    assert capfd.readouterr() == ("", "")


def test_output_dir_is_a_file(fake, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    for target in (blocker, blocker / "below"):
        with pytest.raises(RuntimeError) as info:
            fake.extractor().save_keyframes(VIDEO, [1], str(target))
        assert str(info.value) == "Save keyframes failed: Failed to create output directory"
    assert fake.calls() == []


def test_save_with_missing_program(tmp_path):
    extractor = VideoKeyframeExtractor(ffmpeg_path=str(tmp_path / "missing"))
    with pytest.raises(RuntimeError) as info:
        extractor.save_keyframes(VIDEO, [1], str(tmp_path / "o"))
    assert str(info.value) == "Save keyframes failed: Failed to extract keyframe with FFmpeg"


# --- Ctrl-C -----------------------------------------------------------------------

INTERRUPTED_CHILD = """
import json, os, sys
from velmar import VideoKeyframeExtractor
e = VideoKeyframeExtractor(ffmpeg_path={fake!r})
try:
    if {mode!r} == "decode":
        e.extract_frames("in.mp4")
    else:
        e.save_keyframes("in.mp4", [1, 2, 3], {out!r})
except KeyboardInterrupt:
    pids = [json.loads(line)["pid"] for line in open({log!r})]
    for pid in pids:
        try:
            os.kill(pid, 0)  # a zombie child would still be found
        except ProcessLookupError:
            continue
        print("still there:", pid)
        sys.exit(2)
    try:
        os.waitpid(-1, os.WNOHANG)
        print("a child is left")
        sys.exit(3)
    except ChildProcessError:
        pass
    print("interrupted", len(pids))
    sys.exit(0)
print("not interrupted")
sys.exit(1)
"""


@pytest.mark.parametrize("mode", ["decode", "save"])
def test_ctrl_c_kills_and_reaps_ffmpeg(tmp_path, mode):
    log = tmp_path / "calls.log"
    env = dict(os.environ)
    env.update(
        FAKE_FFMPEG_LOG=str(log),
        FAKE_FFMPEG_PROBE="Video: gray, 4x4, 25 fps\n",
        FAKE_FFMPEG_RAW=str(tmp_path / "raw.bin"),
        FAKE_FFMPEG_HANG=mode,
    )
    (tmp_path / "raw.bin").write_bytes(bytes(16 * 3 + 5))
    code = INTERRUPTED_CHILD.format(fake=FAKE, mode=mode, out=str(tmp_path / "o"), log=str(log))
    child = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not (log.exists() and f'"mode": "{mode}"' in log.read_text()):
            assert time.monotonic() < deadline, "the hanging ffmpeg never started"
            time.sleep(0.05)
        time.sleep(0.3)  # let the parent block in its read or wait
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, out
    assert out.startswith("interrupted")


# --- real ffmpeg ------------------------------------------------------------------

needs_ffmpeg = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg not installed")


def run_ffmpeg(*args, input=None):
    return subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *map(str, args)],
        input=input, capture_output=True, check=True,
    ).stdout


def gray_of(path):
    return run_ffmpeg("-i", path, "-f", "rawvideo", "-pix_fmt", "gray", "-")


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    d = tmp_path_factory.mktemp("clips")
    testsrc = d / "testsrc.mp4"
    run_ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x48:rate=10", "-t", "1", "-pix_fmt", "yuv420p", testsrc)
    # Lossless gray 100x75 at 25 fps: blocks of ten frames, alternately black
    # and white, with a frame-specific ramp so every frame differs.
    width, height, count = 100, 75, 60
    frames = []
    for n in range(count):
        base = 0 if (n // 10) % 2 == 0 else 200
        frames.append(bytes((base + (n + i) % 50) for i in range(width * height)))
    lossless = d / "blocks.mkv"
    run_ffmpeg("-f", "rawvideo", "-pix_fmt", "gray", "-s", f"{width}x{height}", "-framerate", "25",
               "-i", "-", "-c:v", "ffv1", "-pix_fmt", "gray", lossless, input=b"".join(frames))
    return {"testsrc": testsrc, "lossless": lossless, "frames": frames}


@needs_ffmpeg
def test_real_decode_matches_ffmpeg(clips):
    frames, width, height = VideoKeyframeExtractor().extract_frames(str(clips["testsrc"]))
    assert (width, height, len(frames)) == (64, 48, 10)
    assert b"".join(f.get_data() for f in frames) == gray_of(clips["testsrc"])


@needs_ffmpeg
def test_real_decode_exact_pixels(clips):
    frames, width, height = VideoKeyframeExtractor().extract_frames(str(clips["lossless"]))
    assert (width, height) == (100, 75)
    assert [f.get_data() for f in frames] == clips["frames"]
    assert [f.frame_number for f in frames] == list(range(60))


@needs_ffmpeg
def test_real_save_writes_jpegs_at_the_right_time(clips, tmp_path):
    out = tmp_path / "keys"
    # 25 fps: frame 45 is in the black block 40-49. Seeking by 30 fps would
    # land on frame 37.5, in the white block 30-39.
    saved = VideoKeyframeExtractor().save_keyframes(str(clips["lossless"]), [45, 35], str(out))
    assert saved == 2
    first, second = out / "keyframe_001.jpg", out / "keyframe_002.jpg"
    assert first.read_bytes()[:3] == second.read_bytes()[:3] == b"\xff\xd8\xff"
    mean = lambda p: sum(gray_of(p)) / (100 * 75)  # noqa: E731
    assert mean(first) < 100 < mean(second)


@needs_ffmpeg
def test_real_missing_file(tmp_path):
    with pytest.raises(RuntimeError) as info:
        VideoKeyframeExtractor().extract_frames(str(tmp_path / "missing.mp4"))
    assert str(info.value) == "Frame extraction failed: Cannot parse video dimensions"


@needs_ffmpeg
def test_real_missing_program(clips):
    with pytest.raises(RuntimeError) as info:
        VideoKeyframeExtractor(ffmpeg_path="velmar-no-such-ffmpeg").extract_frames(str(clips["testsrc"]))
    assert str(info.value) == "Frame extraction failed: Failed to probe video with FFmpeg"
