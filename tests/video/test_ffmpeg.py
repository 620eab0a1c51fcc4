# Covers: src/video/ffmpeg_program/probe.cpp, decode.cpp, save.cpp, subprocess.cpp.
"""Probing, decoding and saving through ffmpeg: scripted runs of tests/fake_ffmpeg
for exact command lines and hostile outputs, real ffmpeg on tiny generated clips."""

import json
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

from conftest import FAKE, default_sigint, not_sanitized
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
        "-i", "dir/my video.mkv", "-map", "0:0", "-f", "rawvideo", "-pix_fmt", "gray", "-an",
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
        ["-i", VIDEO, "-map", "0:0", "-ss", "4", "-vframes", "1", "-q:v", "2", "-y",
         f"{out}/keyframe_001.jpg"],
        ["-i", VIDEO, "-map", "0:0", "-ss", "1", "-vframes", "1", "-q:v", "2", "-y",
         f"{out}/keyframe_002.jpg"],
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
    assert [argv[argv.index("-ss") + 1] for argv in save_calls(fake)] == expected


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


@pytest.mark.parametrize("how", ["SAVE_NOTHING", "SAVE_EMPTY", "SAVE_FAIL"])
def test_only_written_images_count(fake, tmp_path, capfd, how):
    out = tmp_path / "o"
    out.mkdir()
    stale = out / "keyframe_002.jpg"
    stale.write_bytes(b"an image from an earlier run")
    fake.set(how, "keyframe_002.jpg")
    assert fake.extractor(verbose=True).save_keyframes(VIDEO, [5, 77, 9], str(out)) == 2
    captured = capfd.readouterr()
    assert captured.err == "Save keyframe failed at frame 77\n"
    assert captured.out.splitlines()[-1] == "Saved 2/3 keyframes"
    # the stale file was removed before the run, never passed off as new
    assert not stale.exists() or stale.stat().st_size == 0


STREAMS = [
    # (probe text, dimensions, mapping, seek of frame 50)
    ("  Stream #0:0[0x1](und): Video: h264 (avc1 / 0x31), yuv420p, 64x48, 25 fps\n",
     (64, 48), "0:0", "2"),
    # cover art first: it never qualifies, and the rate comes from the video's line
    ("  Stream #0:0: Video: mjpeg, yuvj420p, 600x600, 90k tbr, 90k tbn (attached pic)\n"
     "  Stream #0:1: Audio: aac, 44100 Hz\n"
     "  Stream #0:2(eng): Video: h264, yuv420p, 32x16, 50 fps\n", (32, 16), "0:2", "1"),
    ("  Stream #0:1[0x101]: Video: h264, 16x8, 10 fps\n", (16, 8), "0:1", "5"),
    ("Video: h264, 16x8, 10 fps\n", (16, 8), None, "5"),  # no label: no mapping
    ("  Stream #0:a: Video: h264, 16x8, 10 fps\n", (16, 8), None, "5"),
]


@pytest.mark.parametrize("text,dims,mapping,seek", STREAMS)
def test_one_stream_end_to_end(fake, tmp_path, text, dims, mapping, seek):
    fake.probe(text)
    e = fake.extractor()
    assert e.extract_frames(VIDEO)[1:] == dims
    e.save_keyframes(VIDEO, [50], str(tmp_path / "o"))
    decode, save = [c["argv"] for c in fake.calls() if c["mode"] != "probe"]
    map_args = ["-map", mapping] if mapping else []
    assert decode[:2 + len(map_args)] == ["-i", VIDEO, *map_args]
    assert decode.count("-map") == len(map_args) // 2
    # no container line: the exact, slow seek after the input
    assert save == ["-i", VIDEO, *map_args, "-ss", seek, "-vframes", "1", "-q:v", "2", "-y",
                    str(tmp_path / "o" / "keyframe_001.jpg")]


@pytest.mark.parametrize("text", [
    # an audio file with cover art: its "90k tbr" is no frame rate
    "  Stream #0:0: Audio: mp3, 44100 Hz\n"
    "  Stream #0:1: Video: png, rgb24, 500x500, 90k tbr, 90k tbn (attached pic)\n",
    # a video line that gives no size does not qualify either
    "  Stream #0:0: Video: h264, 12 fps\n",
])
def test_save_seeks_at_30_fps_when_no_stream_qualifies(fake, tmp_path, text):
    fake.probe(text)
    fake.extractor().save_keyframes(VIDEO, [30], str(tmp_path / "o"))
    [save] = [c["argv"] for c in fake.calls() if c["mode"] == "save"]
    assert save[save.index("-ss") + 1] == "1"


def test_cover_art_alone_is_no_video(fake):
    fake.probe("  Stream #0:0: Audio: mp3, 44100 Hz\n"
               "  Stream #0:1: Video: png, rgb24, 500x500, 90k tbn (attached pic)\n")
    with pytest.raises(RuntimeError, match="Cannot parse video dimensions"):
        fake.extractor().extract_frames(VIDEO)


@pytest.mark.parametrize(
    "container,before",
    [("mov,mp4,m4a,3gp,3g2,mj2", True), ("matroska,webm", True), ("mpegts", False),
     ("avi", False), (None, False)],
)
def test_seek_order_follows_the_container(fake, tmp_path, monkeypatch, container, before):
    header = f"Input #0, {container}, from 'in.mp4':\n" if container else ""
    fake.probe(header + "  Stream #0:0: Video: h264, 64x48, 25 fps\n")
    monkeypatch.chdir(tmp_path)
    fake.extractor().save_keyframes(VIDEO, [50], "-out")
    (save,) = save_calls(fake)
    seek = ["-ss", "2"]
    inputs = ["-i", VIDEO, "-map", "0:0"]
    # an output path starting with "-" would be read as an option
    tail = ["-vframes", "1", "-q:v", "2", "-y", "./-out/keyframe_001.jpg"]
    assert save == (seek + inputs if before else inputs + seek) + tail
    assert (tmp_path / "-out" / "keyframe_001.jpg").exists()


# --- Ctrl-C -----------------------------------------------------------------------

def run_child(code, env, log, interrupt_after=None):
    """Runs `code` in a fresh interpreter; with `interrupt_after`, sends it
    SIGINT once the fake ffmpeg has started in that mode (and had a moment to
    write and hang). Returns the exit status and the standard output."""
    child = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                             text=True, preexec_fn=default_sigint)
    try:
        if interrupt_after:
            deadline = time.monotonic() + 60
            while not (log.exists() and f'"mode": "{interrupt_after}"' in log.read_text()):
                assert time.monotonic() < deadline, "the hanging ffmpeg never started"
                time.sleep(0.05)
            time.sleep(0.4)  # let the parent block in its read or wait
            child.send_signal(signal.SIGINT)
        # An interrupted child ends at once; one that ignores the interrupt
        # fails the test in seconds.
        out, _ = child.communicate(timeout=10 if interrupt_after else 120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode, out


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
    returncode, out = run_child(code, env, log, interrupt_after=mode)
    assert returncode == 0, out
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


# --- memory follows the data ----------------------------------------------------------

MiB = 1 << 20


# Runs one call under a 4 GiB address-space limit and reports how far its
# peak resident set grew. A buffer sized from a probe's claim fails here
# (MemoryError) or shows in the peak; one that follows the bytes does not.
MEMORY_CHILD = """
import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
from velmar import VideoKeyframeExtractor


def peak():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))


e = VideoKeyframeExtractor(ffmpeg_path={fake!r})
before = peak()
try:
    result = {call}
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
except BaseException as exc:
    outcome = f"{{type(exc).__name__}}: {{exc}}"
print(json.dumps({{"outcome": outcome, "grew": peak() - before}}), flush=True)
"""

CALLS = {
    "extract_frames": "len(e.extract_frames('in.mp4')[0])",
    "benchmark": "e.benchmark('in.mp4', 3, 't').total_frames",
    "benchmark k=0": "e.benchmark('in.mp4', 0, 't').total_frames",
}


def run_memory_child(tmp_path, call, env_extra, interrupt_after=None):
    log = tmp_path / "calls.log"
    env = dict(os.environ, FAKE_FFMPEG_LOG=str(log), **env_extra)
    _, out = run_child(MEMORY_CHILD.format(fake=FAKE, call=CALLS[call]), env, log,
                       interrupt_after=interrupt_after)
    return json.loads(out.strip().splitlines()[-1])


@not_sanitized
@pytest.mark.parametrize("call", list(CALLS))
@pytest.mark.parametrize("sent,hang", [(0, True), (8 * MiB, True), (8 * MiB, False)],
                         ids=["nothing-hangs", "8MiB-hangs", "8MiB-ends"])
def test_memory_follows_the_bytes_not_the_claim(tmp_path, call, sent, hang):
    raw = tmp_path / "raw.bin"
    raw.write_bytes(bytes(range(256)) * (sent // 256))
    env = {"FAKE_FFMPEG_PROBE": "  Stream #0:0: Video: gray, 100000x100000, 25 fps\n",
           "FAKE_FFMPEG_RAW": str(raw)}
    if hang:
        env["FAKE_FFMPEG_HANG"] = "decode"
    r = run_memory_child(tmp_path, call, env, interrupt_after="decode" if hang else None)
    assert r["outcome"] == ("interrupted" if hang else "returned")
    # Growing by doubling may hold a copy of what arrived for a moment.
    assert r["grew"] < 2 * sent + 24 * MiB, r


@not_sanitized
@pytest.mark.parametrize("call", ["extract_frames", "benchmark"])
def test_probe_flood_is_capped(tmp_path, call):
    raw = tmp_path / "raw.bin"
    raw.write_bytes(bytes(range(16)) * 3)
    env = {"FAKE_FFMPEG_PROBE": "  Stream #0:0: Video: gray, 4x4, 25 fps\n",
           "FAKE_FFMPEG_RAW": str(raw), "FAKE_FFMPEG_FLOOD": "100"}
    r = run_memory_child(tmp_path, call, env)
    assert r["outcome"] == "returned"
    # 100 MiB were printed; at most 16 MiB of them are kept
    assert r["grew"] < 48 * MiB, r


def test_sigchld_ignored(fresh_python, tmp_path):
    raw = tmp_path / "raw.bin"
    raw.write_bytes(bytes([0] * 16 + [255] * 16 + [0] * 16))
    env = dict(os.environ, FAKE_FFMPEG_PROBE="  Stream #0:0: Video: gray, 4x4, 25 fps\n",
               FAKE_FFMPEG_RAW=str(raw), FAKE_FFMPEG_SAVE_NOTHING="keyframe_002.jpg")
    out = fresh_python(
        f"""
        import os, signal
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        from velmar import VideoKeyframeExtractor, extract_keyframes_from_video
        e = VideoKeyframeExtractor(ffmpeg_path={FAKE!r})
        frames, w, h = e.extract_frames("in.mp4")
        b = e.benchmark("in.mp4", 2, "t")
        saved = e.save_keyframes("in.mp4", [1, 2, 1], {str(tmp_path / "a")!r})
        r = extract_keyframes_from_video("in.mp4", {str(tmp_path / "b")!r}, 2, ffmpeg_path={FAKE!r})
        print(len(frames), w, h, b.total_frames, b.keyframes_extracted, saved,
              r.total_frames, sorted(os.listdir({str(tmp_path / "b")!r})))
        """,
        env=env,
    ).stdout.strip().split(maxsplit=7)
    # the file decides what counts when the exit status is lost
    assert out == ["3", "4", "4", "3", "2", "2", "3", "['keyframe_001.jpg']"]
