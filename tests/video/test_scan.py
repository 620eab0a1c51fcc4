# Covers: src/python/video/py_scan.cpp, py_scan_result.cpp; src/video/libav/scanner.cpp, decoder.cpp, gray_converter.cpp, scan_modes.cpp, scan_images.cpp, image_writer.cpp, box_downscale.cpp.
"""scan_video: the in-process single-pass scanner. Agreement with
extract_frames + extract_keyframes, variable frame rate timestamps, the
modes, the images, errors, Ctrl-C, threads and the progress callback."""

import errno
import json
import math
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import velmar
from velmar.video import Keyframe, ScanResult, VideoKeyframeExtractor, scan_video

from conftest import default_sigint

RATE = 25
SHOT = 10  # frames per shot of the cut clip: cuts at 10, 20, 30, 40, 50


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)


def concat_clip(path, sources, size="96x64", codec=("-c:v", "libx264", "-pix_fmt", "yuv420p")):
    """One lavfi source per shot of SHOT frames each: a hard cut at each join."""
    inputs, graph = [], ""
    for i, source in enumerate(sources):
        inputs += ["-f", "lavfi", "-t", str(SHOT / RATE), "-i", f"{source}{':' if '=' in source else '='}s={size}:r={RATE}"]
        graph += f"[{i}:v]setsar=1[v{i}];"
    graph += "".join(f"[v{i}]" for i in range(len(sources))) + f"concat=n={len(sources)}[out]"
    ffmpeg(*inputs, "-filter_complex", graph, "-map", "[out]", *codec, str(path))
    return str(path)


SOURCES = ["testsrc2", "mandelbrot", "smptebars", "rgbtestsrc", "testsrc", "yuvtestsrc"]
COLOURS = [f"color=c={c}" for c in ("red", "navy", "white", "black", "olive", "gray")]
CUTS = [10, 20, 30, 40, 50]


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    d = tmp_path_factory.mktemp("scan")
    return {
        "h264": concat_clip(d / "h264.mp4", SOURCES),
        "yuvj420p": concat_clip(d / "full.mp4", SOURCES,
                                codec=("-c:v", "libx264", "-pix_fmt", "yuvj420p")),
        "10bit": concat_clip(d / "ten.mkv", SOURCES,
                             codec=("-c:v", "libx264", "-pix_fmt", "yuv420p10le")),
        "colours": concat_clip(d / "colours.mp4", COLOURS),
        "dir": d,
    }


def frames_of(result):
    return [kf.frame_number for kf in result.keyframes]


# --- agreement with the specified API ---------------------------------------------------


@pytest.mark.parametrize("kind", ["h264", "yuvj420p", "10bit"])
def test_same_frames_scores_and_keyframes_as_extract_frames(clips, kind):
    e = VideoKeyframeExtractor()
    frames, width, height = e.extract_frames(clips[kind])
    expected_scores = [0.0] + [frames[i].calculate_difference_simd(frames[i - 1])
                               for i in range(1, len(frames))]
    for k in (1, 3, 5, 12, len(frames)):
        r = scan_video(clips[kind], k)
        assert frames_of(r) == e.extract_keyframes(frames, k)
    assert r.scores == expected_scores
    assert scan_video(clips[kind], threshold=10.0).scores == expected_scores
    assert (r.width, r.height, r.frame_count) == (width, height, len(frames))
    assert r.fps == RATE and r.threshold is None
    assert [kf.score for kf in r.keyframes] == expected_scores[1:]
    assert r.times == pytest.approx([n / RATE for n in range(len(frames))])


def test_variable_frame_rate_uses_the_streams_own_frames(clips):
    path = str(clips["dir"] / "vfr.mkv")
    # Irregular gaps: frames are dropped but keep their timestamps.
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=s=96x64:r={RATE}:d=3", "-vf",
           "select='not(eq(mod(n,3),1))*not(between(n,20,40))'", "-fps_mode", "vfr",
           "-c:v", "libx264", path)
    probe = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_frames", "-show_streams",
         "-show_entries", "frame=best_effort_timestamp_time:stream=start_time", "-of", "json",
         path], check=True, capture_output=True, text=True).stdout)
    start = float(probe["streams"][0]["start_time"])
    times = [float(f["best_effort_timestamp_time"]) - start for f in probe["frames"]]

    r = scan_video(path, 10**6)
    assert r.frame_count == len(times) < len(VideoKeyframeExtractor().extract_frames(path)[0])
    assert r.times == pytest.approx(times, abs=1e-6)
    assert [kf.time for kf in r.keyframes] == pytest.approx(times[1:], abs=1e-6)


# --- modes --------------------------------------------------------------------------------


@pytest.mark.parametrize("kwargs, expected", [
    ({"threshold": 10.0}, [20, 40]),                            # 15 frames from the last cut
    ({"threshold": 10.0, "min_scene_len": 10}, CUTS),
    ({"threshold": 10.0, "min_scene_len": 21}, [30]),           # counted from the start too
    ({"threshold": 10.0, "min_scene_len": 0}, CUTS),
    ({"threshold": 25.0, "min_scene_len": 5}, CUTS[:4]),        # olive to gray is no cut
    ({"threshold": 10.0, "min_scene_len": 5, "downscale": 4}, CUTS),
    ({"threshold": 200.0, "min_scene_len": 5}, [20, 30]),   # navy-white, white-black
])
def test_threshold_mode(clips, kwargs, expected):
    r = scan_video(clips["colours"], **kwargs)
    assert frames_of(r) == expected
    assert r.threshold == kwargs["threshold"]
    assert all(r.scores[kf.frame_number] == kf.score >= r.threshold for kf in r.keyframes)


def test_both_picks_the_highest_cuts(clips):
    cuts = scan_video(clips["colours"], threshold=10.0, min_scene_len=1)
    assert frames_of(cuts) == CUTS
    ranked = sorted(cuts.keyframes, key=lambda kf: -kf.score)
    for k in (1, 2, 4):
        r = scan_video(clips["colours"], k, threshold=10.0, min_scene_len=1)
        assert frames_of(r) == sorted(kf.frame_number for kf in ranked[:k])
    assert frames_of(scan_video(clips["colours"], 0, threshold=10.0)) == []
    assert frames_of(scan_video(clips["colours"], 0)) == []


def test_downscale_scores_smaller_pictures(clips):
    full = scan_video(clips["h264"], 5)
    small = scan_video(clips["h264"], 5, downscale=2)
    assert (small.width, small.height) == (full.width, full.height)
    assert small.scores != full.scores
    assert frames_of(small) == frames_of(full) == CUTS


# --- images -------------------------------------------------------------------------------


def gray_of_image(path, width, height):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo",
                           "-pix_fmt", "gray", "-s", f"{width}x{height}", "-"],
                          check=True, capture_output=True).stdout


def mad(a, b):
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


@pytest.mark.parametrize("kind", ["h264", "10bit"])
@pytest.mark.parametrize("image_format", ["jpg", "png"])
def test_images_show_the_right_frame(clips, tmp_path, kind, image_format):
    frames, w, h = VideoKeyframeExtractor().extract_frames(clips[kind])
    r = scan_video(clips[kind], 5, output_dir=tmp_path / "a" / "b", image_format=image_format)
    assert r.images_written == 5 and r.image_errors == []
    names = sorted(os.listdir(tmp_path / "a" / "b"))
    assert names == sorted(f"keyframe_{n:06d}.{image_format}" for n in CUTS)
    for kf in r.keyframes:
        assert kf.path == str(tmp_path / "a" / "b" / f"keyframe_{kf.frame_number:06d}.{image_format}")
        image = gray_of_image(kf.path, w, h)
        distances = [mad(image, bytes(f.get_data()[:w * h])) for f in frames]
        assert distances.index(min(distances)) == kf.frame_number
        assert min(distances) < 3.0


@pytest.mark.parametrize("kwargs, written", [
    ({"max_keyframes": 5, "max_save": 2}, [20, 30]),      # the two highest scores
    ({"threshold": 10.0, "min_scene_len": 1, "max_save": 3}, [10, 20, 30]),  # the first cuts
    ({"max_keyframes": 5, "max_save": 0}, []),
])
def test_max_save(clips, tmp_path, kwargs, written):
    r = scan_video(clips["colours"], output_dir=tmp_path, **kwargs)
    assert [kf.frame_number for kf in r.keyframes if kf.path] == written
    assert r.images_written == len(written)
    assert sorted(os.listdir(tmp_path)) == sorted(f"keyframe_{n:06d}.jpg" for n in written)


def test_failed_image_is_reported_not_counted(clips, tmp_path):
    (tmp_path / "keyframe_000030.jpg").mkdir()  # a directory where the image should go
    (tmp_path / "keyframe_000020.jpg").write_bytes(b"old")
    r = scan_video(clips["colours"], 5, output_dir=str(tmp_path) + "/")
    assert r.images_written == 4
    assert [kf.path for kf in r.keyframes] == [
        None if n == 30 else str(tmp_path / f"keyframe_{n:06d}.jpg") for n in CUTS]
    assert len(r.image_errors) == 1 and r.image_errors[0].startswith("keyframe_000030.jpg: ")
    assert (tmp_path / "keyframe_000020.jpg").read_bytes()[:2] == b"\xff\xd8"  # replaced whole
    assert sorted(os.listdir(tmp_path)) == [f"keyframe_{n:06d}.jpg" for n in CUTS]  # no temp files


# --- errors ---------------------------------------------------------------------------------


def y4m(path, frames, width=8, height=8, broken_at=None):
    data = bytearray(f"YUV4MPEG2 W{width} H{height} F25:1 Ip A1:1 C420jpeg\n".encode())
    for i in range(frames):
        data += b"FRAMX\n" if i == broken_at else b"FRAME\n"
        data += bytes([(i * 40) % 256]) * (width * height * 3 // 2)
    Path(path).write_bytes(bytes(data))
    return str(path)


# Each is a RuntimeError as the API fixes, and also the built-in of its kind.
@pytest.mark.parametrize("make, reason, kind", [
    (lambda d: str(d / "missing.mp4"), "no such file: ", FileNotFoundError),
    (lambda d: (d / "f").write_text("") or str(d / "f" / "a.mp4"), "no such file: ",
     FileNotFoundError),
    (lambda d: str(d), "not a video FFmpeg can open: ", ValueError),
    (lambda d: (d / "notes.mp4").write_text("just words\n" * 100) and str(d / "notes.mp4"),
     "not a video FFmpeg can open: ", ValueError),
    (lambda d: ffmpeg("-f", "lavfi", "-i", "sine=d=0.2", str(d / "tone.wav"))
     or str(d / "tone.wav"), "no video stream in ", ValueError),
    (lambda d: y4m(d / "broken.y4m", 6, broken_at=4), "corrupt video stream after 4 frames",
     ValueError),
])
def test_errors_name_the_reason(tmp_path, make, reason, kind):
    with pytest.raises(RuntimeError) as info:
        scan_video(make(tmp_path), 3)
    assert str(info.value).startswith("Scan failed: " + reason)
    assert isinstance(info.value, kind)
    assert type(info.value).__module__ == "velmar"
    # Its class has no name to be found by, so a pickle (to a worker
    # process) carries the RuntimeError it is.
    copied = pickle.loads(pickle.dumps(info.value))
    assert type(copied) is RuntimeError and str(copied) == str(info.value)


def test_error_naming_a_path_that_is_not_utf8(tmp_path):
    path = os.fsencode(tmp_path) + b"/nope\xff.mp4"
    with pytest.raises(FileNotFoundError) as info:
        scan_video(path, 3)
    assert str(info.value) == "Scan failed: no such file: " + os.fsdecode(path)
    assert info.value.errno == errno.ENOENT


def test_output_directory_not_writable(clips, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(RuntimeError, match=r"^Scan failed: output directory not writable: ") as info:
        scan_video(clips["colours"], 3, output_dir=blocker / "images")
    # A file where a directory is expected: what the system said, as OSError does.
    assert isinstance(info.value, OSError) and info.value.errno == errno.ENOTDIR


def test_huge_header_fails_cleanly_without_allocating(tmp_path):
    path = tmp_path / "huge.y4m"
    path.write_bytes(b"YUV4MPEG2 W100000 H100000 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + bytes(4096))
    # VmHWM is this process's own peak; ru_maxrss would include the peak of
    # the pytest process it was forked from.
    code = f"""
import velmar
try:
    velmar.scan_video({str(path)!r}, 3)
except RuntimeError as e:
    print(e)
print(next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")))
"""
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True).stdout.splitlines()
    assert out[0] == (f"Scan failed: not a video FFmpeg can open: {path} "
                      "(Picture size 100000x100000 is invalid)")
    assert int(out[1]) < 200 * 1024  # kB: nothing near the 15 GB the header claims


@pytest.mark.parametrize("args, kwargs, error, text", [
    ((), {}, TypeError, "video_path"),
    ((5,), {}, TypeError, "video_path"),
    (("v.mp4", -1), {}, OverflowError, "max_keyframes"),
    (("v.mp4", "3"), {}, TypeError, "max_keyframes"),
    (("v.mp4", 3, 10.0), {}, TypeError, "positional"),
    (("v.mp4",), {"threshold": 0}, ValueError, "threshold"),
    (("v.mp4",), {"threshold": -2.5}, ValueError, "threshold"),
    (("v.mp4",), {"threshold": math.nan}, ValueError, "threshold"),
    (("v.mp4",), {"threshold": math.inf}, ValueError, "threshold"),
    (("v.mp4",), {"threshold": "10"}, TypeError, "threshold"),
    (("v.mp4",), {"min_scene_len": -1}, OverflowError, "min_scene_len"),
    (("v.mp4",), {"output_dir": ""}, ValueError, "output_dir"),
    (("v.mp4",), {"output_dir": 3}, TypeError, "output_dir"),
    (("v.mp4",), {"image_format": "gif"}, ValueError, "image_format"),
    (("v.mp4",), {"max_save": 2**64}, OverflowError, "max_save"),
    (("v.mp4",), {"downscale": 0}, ValueError, "downscale"),
    (("v.mp4",), {"progress": 3}, TypeError, "progress"),
    (("v.mp4",), {"colour": 3}, TypeError, "colour"),
])
def test_bad_arguments(args, kwargs, error, text):
    with pytest.raises(error, match=text):
        scan_video(*args, **kwargs)


def test_module_wiring_and_records(clips):
    assert velmar.scan_video is velmar.video.scan_video
    assert "scan_video" in velmar.__all__ and "scan_video" in velmar.video.__all__
    r = scan_video(Path(clips["colours"]), 1)  # a path-like works too
    assert isinstance(r, ScanResult) and isinstance(r.keyframes[0], Keyframe)
    assert repr(r.keyframes[0]) == "Keyframe(frame_number=30, time=1.2, score=255.0, path=None)"
    with pytest.raises(AttributeError):
        r.frame_count = 3
    with pytest.raises(TypeError):
        ScanResult()


# --- a good citizen in a Python program --------------------------------------------------


@pytest.fixture(scope="module")
def long_clip(clips):
    path = clips["dir"] / "long.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=s=640x360:r=30:d=20", "-c:v", "libx264",
           "-preset", "ultrafast", str(path))
    return str(path)


def test_progress_calls(long_clip):
    calls = []
    start = time.monotonic()
    r = scan_video(long_clip, 3, progress=lambda done, expected: calls.append(
        (time.monotonic(), done, expected)))
    elapsed = time.monotonic() - start
    assert calls[-1][1:] == (r.frame_count, r.frame_count) == (600, 600)
    assert all(expected == 600 for _, _, expected in calls)
    done = [d for _, d, _ in calls]
    assert done == sorted(done)
    gaps = [b[0] - a[0] for a, b in zip(calls[:-2], calls[1:-1])]
    assert all(g >= 0.099 for g in gaps)  # at most ten a second, the final call aside
    assert len(calls) <= elapsed * 10 + 2


def test_progress_exception_ends_the_scan(long_clip):
    seen = []

    def progress(done, expected):
        seen.append(done)
        raise LookupError("stop here")

    # A fast machine decodes the clip before the first progress call is
    # due. A thread keeping the interpreter busy, handing its lock over only
    # every 20 ms, makes each of the scan's checks between frames wait that
    # long, so the scan lasts past the first call however fast the decoding.
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            pass

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.02)
    spinner = threading.Thread(target=busy)
    spinner.start()
    try:
        with pytest.raises(LookupError, match="stop here"):
            scan_video(long_clip, 3, progress=progress)
    finally:
        stop.set()
        spinner.join()
        sys.setswitchinterval(interval)
    assert len(seen) == 1 and seen[0] < 600


def test_two_threads_at_once_and_the_lock_is_released(clips, long_clip):
    alone = [frames_of(scan_video(c, 4)) for c in (clips["h264"], long_clip)]
    results = {}

    def run(i, clip):
        results[i] = frames_of(scan_video(clip, 4))

    threads = [threading.Thread(target=run, args=(i, c))
               for i, c in enumerate((clips["h264"], long_clip))]
    ticks = 0
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        ticks += 1  # runs only while no scan holds the interpreter lock
    for t in threads:
        t.join()
    assert [results[0], results[1]] == alone
    assert ticks > 1000


def test_ctrl_c_raises_keyboard_interrupt(long_clip):
    code = f"""
import sys, velmar
in_scan = False
def started(done, expected):
    print("started", flush=True)
try:
    while True:
        in_scan = True
        velmar.scan_video({long_clip!r}, 3, progress=started)
        in_scan = False
except KeyboardInterrupt:
    print("interrupted in scan" if in_scan else "interrupted between scans", flush=True)
"""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                             preexec_fn=default_sigint)
    assert child.stdout.readline().strip() == "started"
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=10)
    assert child.returncode == 0
    assert out.strip().splitlines()[-1] == "interrupted in scan"
