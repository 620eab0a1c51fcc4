# Covers: src/python/video/py_pipeline.cpp, src/video/ffmpeg_program/pipeline.cpp.
"""process_video and extract_keyframes_from_video: step order, error prefixes,
defaults, the worker-pool rule, and agreement with extract_frames +
extract_keyframes on scripted frames and on a real video with known cuts."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import velmar
from velmar import VideoKeyframeExtractor, extract_keyframes_from_video
from conftest import FAKE
from test_benchmark import VALUES, panic_of

SIGNATURE = ("(video_path, output_dir, max_keyframes, max_save=None, ffmpeg_path=None, "
             "use_simd=None, threads=None, verbose=None, block_size=None)")


def seek_of(argv):
    return float(argv[argv.index("-ss") + 1])


def saved_frames(fake, rate=30):
    """Frame numbers of the images ffmpeg was asked to write, in order."""
    return [round(seek_of(c["argv"]) * rate) for c in fake.calls() if c["mode"] == "save"]


def run_method(program, *args, **kwargs):
    return VideoKeyframeExtractor(ffmpeg_path=program).process_video(*args, **kwargs)


def run_function(program, *args, **kwargs):
    return extract_keyframes_from_video(*args, ffmpeg_path=program, **kwargs)


ENTRY_POINTS = pytest.mark.parametrize("run", [run_method, run_function], ids=["method", "function"])


# --- what gets saved ----------------------------------------------------------------


@pytest.mark.parametrize("k", [1, 2, 4, 6, 50])
@pytest.mark.parametrize("use_simd", [True, False])
@ENTRY_POINTS
def test_saves_what_extract_keyframes_selects(fake, tmp_path, run, k, use_simd):
    fake.video(VALUES)
    e = fake.extractor()
    frames, _, _ = e.extract_frames("v.mp4")
    expected = e.extract_keyframes(frames, k, use_simd, 3)
    fake.log.unlink()

    out = tmp_path / "out"
    r = run(FAKE, "dir/v.mp4", str(out), k, use_simd=use_simd, block_size=3)
    assert saved_frames(fake) == expected
    assert sorted(os.listdir(out)) == [f"keyframe_{i:03}.jpg" for i in range(1, len(expected) + 1)]
    # the record is the measured run's
    assert (r.test_name, r.video_file, r.total_frames, r.keyframes_extracted,
            r.max_keyframes_requested) == ("Python Processing", "v.mp4", 7, len(expected), k)
    assert r.optimization_type == ("SIMD+Parallel(block:3)" if use_simd else "Standard Parallel")
    assert fake.modes()[:4] == ["probe", "decode", "probe", "decode"]


@pytest.mark.parametrize(
    "run",
    [lambda *a: VideoKeyframeExtractor(FAKE, verbose=True).process_video(*a),
     lambda *a: extract_keyframes_from_video(*a, ffmpeg_path=FAKE, verbose=True)],
    ids=["method", "function"],
)
def test_defaults(fake, tmp_path, capfd, run):
    fake.video(VALUES)
    r = run("v.mp4", str(tmp_path / "o"), 2)
    assert (r.optimization_type, r.simd_enabled) == ("SIMD+Parallel(block:8192)", True)
    assert "Saving keyframes (max 50)..." in capfd.readouterr().out


def test_max_save_default_limits_to_50(fake, tmp_path):
    fake.video(list(range(0, 120, 2)))  # 60 frames, 59 pairs all scoring 2
    r = run_method(FAKE, "v.mp4", str(tmp_path / "o"), 55)
    assert r.keyframes_extracted == 59  # every pair ties with the pivot
    # the first 50 in ascending order
    assert saved_frames(fake) == list(range(1, 51))
    assert len(os.listdir(tmp_path / "o")) == 50


@pytest.mark.parametrize("max_save,saved", [(0, []), (3, [1, 3, 6]), (None, [1, 3, 6])])
def test_max_save(fake, tmp_path, max_save, saved):
    fake.video(VALUES)
    out = tmp_path / "o"
    r = run_method(FAKE, "v.mp4", str(out), 2, max_save)
    assert r.keyframes_extracted == 3
    assert saved_frames(fake) == saved
    assert out.is_dir() and len(os.listdir(out)) == len(saved)


@pytest.mark.parametrize("values,k", [(VALUES, 0), ([5], 3), ([], 3)])
def test_nothing_to_save(fake, tmp_path, capfd, values, k):
    fake.video(values)
    out = tmp_path / "o"
    r = VideoKeyframeExtractor(ffmpeg_path=FAKE, verbose=True).process_video("v.mp4", str(out), k)
    assert r.keyframes_extracted == 0 and r.total_frames == len(values)
    assert not out.exists()
    assert capfd.readouterr().out.splitlines()[-1] == "No keyframes to save"


# --- progress lines ---------------------------------------------------------------------


def test_progress_lines_in_order(fake, tmp_path, capfd):
    fake.video(VALUES)
    out = tmp_path / "o"
    extract_keyframes_from_video("v.mp4", str(out), 1, ffmpeg_path=FAKE, verbose=True)
    decode = [
        r"Extracting frames \(full video\): v\.mp4",
        r"Dimensions: 8x4",
        r"Frame size: 32 bytes",
        r"Done: 7 frames in \d+\.\d\ds",
        r"Keyframe analysis target: 1 \(SIMD\+Parallel\)",
        r"Keyframes selected: 1 \(requested 1, pivot_diff=16\.000\) in \d+\.\d\ds",
    ]
    patterns = [
        r"Run test: Python Processing \(max_keyframes=1\)",
        *decode,
        r"Result: frames=7 keyframes=1 requested=1 time_ms=\d+\.\d\d fps=\d+\.\d",
        *decode,
        r"Saving keyframes \(max 50\)\.\.\.",
        r"Saved 1/1 keyframes",
    ]
    captured = capfd.readouterr()
    lines = captured.out.splitlines()
    assert len(lines) == len(patterns), lines
    for line, pattern in zip(lines, patterns):
        assert re.fullmatch(pattern, line), line
    assert captured.err == ""


@ENTRY_POINTS
def test_quiet_by_default(fake, tmp_path, capfd, run):
    fake.video(VALUES)
    run(FAKE, "v.mp4", str(tmp_path / "o"), 2)
    assert capfd.readouterr() == ("", "")


# --- failures ---------------------------------------------------------------------------

# Stands in for ffmpeg and hands every call on to the fake, but can make one
# step fail: "probe2" makes the second probe describe nothing, "decode2"
# deletes this program during the second decode so it cannot be run again.
WRAPPER = """#!{python}
import os, sys
mode = "decode" if "rawvideo" in sys.argv else "save" if "-vframes" in sys.argv else "probe"
with open({state!r}, "a") as f:
    f.write(mode + "\\n")
count = open({state!r}).read().split().count(mode)
if {fail!r} == mode + str(count):
    if mode == "probe":
        os.environ["FAKE_FFMPEG_PROBE"] = ""
    else:
        os.unlink(sys.argv[0])
os.execv({fake!r}, [{fake!r}] + sys.argv[1:])
"""


def failing_program(tmp_path, fail):
    program = tmp_path / "ffmpeg-wrapper"
    program.write_text(WRAPPER.format(python=sys.executable, state=str(tmp_path / "state"),
                                      fail=fail, fake=FAKE))
    program.chmod(0o755)
    return str(program)


@pytest.mark.parametrize(
    "fail,probe,message,modes",
    [
        ("missing file", "v.mp4: No such file or directory\n",
         "Processing failed: Cannot parse video dimensions", ["probe"]),
        ("missing program", None, "Processing failed: Failed to probe video with FFmpeg", []),
        ("probe2", None, "Frame extraction failed: Cannot parse video dimensions",
         ["probe", "decode", "probe"]),
        ("output is a file", None, "Save keyframes failed: Failed to create output directory",
         ["probe", "decode", "probe", "decode"]),
        ("decode2", None, "Save keyframes failed: Failed to extract keyframe with FFmpeg",
         ["probe", "decode", "probe", "decode"]),
    ],
)
@ENTRY_POINTS
def test_error_prefixes(fake, tmp_path, run, fail, probe, message, modes):
    fake.video(VALUES)
    if probe is not None:
        fake.probe(probe)
    program = {"missing program": str(tmp_path / "none"), "probe2": failing_program(tmp_path, fail),
               "decode2": failing_program(tmp_path, fail)}.get(fail, FAKE)
    out = tmp_path / "o"
    if fail == "output is a file":
        out.write_text("x")
    with pytest.raises(RuntimeError) as info:
        run(program, "v.mp4", str(out), 2)
    assert str(info.value) == message
    assert fake.modes() == modes  # later steps never ran


@ENTRY_POINTS
def test_kernel_failure_is_a_panic(fake, tmp_path, run):
    fake.video(VALUES)
    panic_of(lambda: run(FAKE, "v.mp4", str(tmp_path / "o"), 2, block_size=0))
    assert fake.modes() == ["probe", "decode"]  # reaped, and nothing saved
    assert not (tmp_path / "o").exists()


def test_real_ffmpeg_missing_file(tmp_path):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    with pytest.raises(RuntimeError) as info:
        extract_keyframes_from_video(str(tmp_path / "missing.mp4"), str(tmp_path / "o"), 3)
    assert str(info.value) == "Processing failed: Cannot parse video dimensions"
    assert not (tmp_path / "o").exists()


# --- the module function ------------------------------------------------------------------


def test_function_presentation():
    assert velmar.video.extract_keyframes_from_video is extract_keyframes_from_video
    assert extract_keyframes_from_video.__text_signature__ == SIGNATURE
    assert extract_keyframes_from_video.__doc__ is None
    assert VideoKeyframeExtractor.process_video.__text_signature__ == (
        "($self, video_path, output_dir, max_keyframes, max_save=None, use_simd=None, "
        "block_size=None)")


@pytest.mark.parametrize(
    "kwargs,exc,name",
    [
        ({"video_path": None}, TypeError, "video_path"),
        ({"output_dir": 3}, TypeError, "output_dir"),
        ({"max_keyframes": -1}, OverflowError, "max_keyframes"),
        ({"max_keyframes": None}, TypeError, "max_keyframes"),
        ({"max_save": -1}, OverflowError, "max_save"),
        ({"ffmpeg_path": b"ffmpeg"}, TypeError, "ffmpeg_path"),
        ({"use_simd": 0}, TypeError, "use_simd"),
        ({"threads": -2}, OverflowError, "threads"),
        ({"threads": 2.0}, TypeError, "threads"),
        ({"verbose": "yes"}, TypeError, "verbose"),
        ({"block_size": 2**64}, OverflowError, "block_size"),
        ({"extra": 1}, TypeError, "extra"),
        # cut at the NUL, a path would name another file
        ({"video_path": "v\0.mp4"}, ValueError, "video_path"),
        ({"output_dir": "o\0x"}, ValueError, "output_dir"),
        ({"ffmpeg_path": FAKE + "\0x"}, ValueError, "ffmpeg_path"),
    ],
)
def test_function_argument_errors(fake, tmp_path, kwargs, exc, name):
    fake.video(VALUES)
    args = {"video_path": "v.mp4", "output_dir": str(tmp_path / "o"), "max_keyframes": 2,
            "ffmpeg_path": FAKE, **kwargs}
    with pytest.raises(exc, match=name):
        extract_keyframes_from_video(**args)
    assert fake.calls() == []


@pytest.mark.parametrize(
    "call,exc,name",
    [
        (lambda e: e.process_video("v", "o"), TypeError, "max_keyframes"),
        (lambda e: e.process_video("v", None, 1), TypeError, "output_dir"),
        (lambda e: e.process_video("v", "o", 1, -1), OverflowError, "max_save"),
        (lambda e: e.process_video("v", "o", 1, use_simd="no"), TypeError, "use_simd"),
        (lambda e: e.process_video("v", "o", 1, block_size=-5), OverflowError, "block_size"),
        (lambda e: e.process_video("v", "o", 1, verbose=True), TypeError, "verbose"),
        (lambda e: e.process_video("v\0", "o", 1), ValueError, "video_path"),
        (lambda e: e.process_video("v", "o\0", 1), ValueError, "output_dir"),
    ],
)
def test_method_argument_errors(fake, call, exc, name):
    with pytest.raises(exc, match=name):
        call(fake.extractor())
    assert fake.calls() == []


def test_none_means_default(fake, tmp_path, monkeypatch, capfd):
    # ffmpeg_path=None is "ffmpeg" on PATH; verbose=None is quiet
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "ffmpeg").symlink_to(FAKE)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    fake.video(VALUES)
    r = extract_keyframes_from_video("v.mp4", str(tmp_path / "o"), 1, None, None, None, None, None,
                                     None)
    assert r.optimization_type == "SIMD+Parallel(block:8192)"
    assert saved_frames(fake) == [6]
    assert capfd.readouterr() == ("", "")


def test_threads_rule_in_a_fresh_process(fresh_python, tmp_path):
    env = dict(os.environ, FAKE_FFMPEG_PROBE="Video: gray, 2x2, 30 fps\n")
    env.pop("FAKE_FFMPEG_RAW", None)
    out = fresh_python(
        f"""
        from velmar import VideoKeyframeExtractor, extract_keyframes_from_video as run
        a = run("v.mp4", {str(tmp_path / "a")!r}, 1, ffmpeg_path={FAKE!r}, threads=3)
        b = run("v.mp4", {str(tmp_path / "b")!r}, 1, ffmpeg_path={FAKE!r}, threads=5)
        print(a.threads_used, b.threads_used, VideoKeyframeExtractor().get_actual_thread_count())
        """,
        env=env,
    ).stdout.split()
    assert out == ["3", "3", "3"]


# --- a real video with known cuts ------------------------------------------------------------

RATE = 25
# (lavfi source, frames): hard cuts where each clip starts
CLIPS = [
    ("testsrc2=size=64x48", 12),
    ("color=c=red:size=64x48", 9),
    ("smptebars=size=64x48", 11),
    ("color=c=0x60d0f0:size=64x48", 10),
    ("testsrc2=size=64x48", 8),
]
CUTS = [sum(n for _, n in CLIPS[:i]) for i in range(1, len(CLIPS))]  # 12, 21, 32, 42


@pytest.fixture(scope="module")
def cut_video(tmp_path_factory):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    path = tmp_path_factory.mktemp("cuts") / "cuts.mkv"
    inputs, graph = [], ""
    for i, (source, frames) in enumerate(CLIPS):
        inputs += ["-f", "lavfi", "-i", f"{source}:rate={RATE}:duration={frames / RATE}"]
        graph += f"[{i}:v]format=yuv420p,setsar=1[v{i}];"
    graph += "".join(f"[v{i}]" for i in range(len(CLIPS))) + f"concat=n={len(CLIPS)}:v=1:a=0[out]"
    # Lossless, so decoded frames are exactly what the sources drew.
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *inputs,
                    "-filter_complex", graph, "-map", "[out]", "-c:v", "ffv1", str(path)],
                   check=True)
    return path


@pytest.fixture
def logged_ffmpeg(recorded_ffmpeg):
    """The real ffmpeg, and the frames it was asked to save, in order."""
    program, argvs = recorded_ffmpeg

    def saved():
        return [round(seek_of(a) * RATE) for a in argvs() if "-vframes" in a]

    return program, saved


def gray_mean(data):
    return sum(data) / len(data)


@pytest.mark.parametrize("k", [len(CUTS), 1, len(CUTS) + 3, 0])
@pytest.mark.parametrize("use_simd", [True, False])
def test_real_video_matches_collect_then_select(cut_video, logged_ffmpeg, tmp_path, k, use_simd):
    program, saved = logged_ffmpeg
    e = VideoKeyframeExtractor(ffmpeg_path=program)
    frames, width, height = e.extract_frames(str(cut_video))
    assert (len(frames), width, height) == (sum(n for _, n in CLIPS), 64, 48)
    expected = e.extract_keyframes(frames, k, use_simd)
    if k == len(CUTS):
        assert expected == CUTS

    r = e.benchmark(str(cut_video), k, "real", use_simd)
    assert (r.total_frames, r.keyframes_extracted) == (len(frames), len(expected))

    out = tmp_path / "out"
    r = e.process_video(str(cut_video), str(out), k, use_simd=use_simd)
    assert (r.total_frames, r.keyframes_extracted) == (len(frames), len(expected))
    assert saved() == expected
    images = sorted(out.glob("keyframe_*.jpg")) if out.exists() else []
    assert len(images) == len(expected)
    if k != len(CUTS):
        return
    # Each image shows the first frame of its new scene, not the last of the old.
    for image, cut in zip(images, CUTS):
        gray = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(image), "-f", "rawvideo",
                               "-pix_fmt", "gray", "-"], capture_output=True, check=True).stdout
        mean = gray_mean(gray)
        after = gray_mean(frames[cut].get_data())
        before = gray_mean(frames[cut - 1].get_data())
        assert abs(mean - after) < 3 < abs(mean - before), (cut, mean, after, before)
