# Covers: src/python/video/py_extractor.cpp, py_performance.cpp; src/video/ffmpeg_program/measured_run.cpp, run_report.cpp.
"""VideoKeyframeExtractor.benchmark and the PyPerformanceResult record it returns,
driven by tests/fake_ffmpeg so that frame contents, and hence scores, are exact."""

import ast
import math
import re
import shutil
import types
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

import velmar
from velmar import PyPerformanceResult, VideoKeyframeExtractor

from conftest import FAKE

STUBS = Path(__file__).parents[2] / "python" / "velmar-stubs" / "video.pyi"

FIELDS = {
    "test_name": str, "video_file": str, "total_time_ms": float,
    "frame_extraction_time_ms": float, "keyframe_analysis_time_ms": float, "total_frames": int,
    "keyframes_extracted": int, "keyframe_ratio": float, "processing_fps": float,
    "max_keyframes_requested": int, "optimization_type": str, "simd_enabled": bool,
    "threads_used": int, "timestamp": str,
}


def test_stubs_list_the_records_fields_in_its_order():
    """The record's attributes come from one field list in the core; the stub's
    TypedDict and properties must name the same fields, types and order."""
    tree = ast.parse(STUBS.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    typed_dict = [(n.target.id, ast.unparse(n.annotation)) for n in classes["PerformanceDict"].body
                  if isinstance(n, ast.AnnAssign)]
    properties = [(n.name, ast.unparse(n.returns)) for n in classes["PyPerformanceResult"].body
                  if isinstance(n, ast.FunctionDef) and n.name != "to_dict"]
    attributes = [name for name, value in vars(PyPerformanceResult).items()
                  if isinstance(value, types.GetSetDescriptorType)]
    expected = [(name, kind.__name__) for name, kind in FIELDS.items()]
    assert [name for name, _ in expected] == attributes
    assert typed_dict == expected
    assert properties == expected


def panic_of(call):
    """Runs `call`, which must raise PanicException (reachable only as a type)."""
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - PanicException must not land here
        pytest.fail(f"expected PanicException, got {type(exc).__name__}: {exc}")
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException"
        return exc
    pytest.fail("nothing was raised")


# Pair scores 5, 3, 5, 1, 0, 16 (positions 1 to 6).
VALUES = [0, 5, 8, 13, 14, 14, 30]


# --- the record ---------------------------------------------------------------------


def test_record_fields_types_and_dict(fake):
    fake.video(VALUES)
    e = fake.extractor()
    r = e.benchmark("clips/v.mp4", 2, "fields")
    d = r.to_dict()
    assert set(d) == set(FIELDS)
    for name, kind in FIELDS.items():
        assert type(getattr(r, name)) is kind, name
        assert type(d[name]) is kind, name
        assert d[name] == getattr(r, name), name
    assert (r.test_name, r.video_file, r.total_frames, r.keyframes_extracted,
            r.max_keyframes_requested) == ("fields", "v.mp4", 7, 3, 2)
    assert r.keyframe_ratio == 3 / 7 * 100.0
    assert r.processing_fps == pytest.approx(7 / (r.total_time_ms / 1000.0), rel=1e-12)
    assert r.threads_used == e.get_actual_thread_count()
    assert r.simd_enabled is True
    # the run interval holds both phases
    assert min(r.frame_extraction_time_ms, r.keyframe_analysis_time_ms) >= 0.0
    assert r.total_time_ms >= (r.frame_extraction_time_ms + r.keyframe_analysis_time_ms) * (1 - 1e-12)

    again = r.to_dict()
    assert again == d and again is not d
    d["total_frames"] = -1
    assert r.total_frames == 7 and r.to_dict()["total_frames"] == 7


def test_record_has_no_constructor_and_is_read_only(fake):
    fake.video(VALUES[:2])
    r = fake.extractor().benchmark("v.mp4", 1, "ro")
    assert type(r) is PyPerformanceResult is velmar.video.PyPerformanceResult
    with pytest.raises(TypeError):
        PyPerformanceResult()
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(r, name, getattr(r, name))
    assert PyPerformanceResult.to_dict.__text_signature__ == "($self)"


def test_timestamp_is_local_time(fake, monkeypatch):
    fake.video(VALUES[:2])
    # A zone with no daylight saving and an offset far from the machine's.
    monkeypatch.setenv("TZ", "Etc/GMT-14")
    r = fake.extractor().benchmark("v.mp4", 1, "ts")
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", r.timestamp)
    stamp = datetime.strptime(r.timestamp, "%Y-%m-%d %H:%M:%S")
    now = datetime.now(timezone(timedelta(hours=14))).replace(tzinfo=None)
    assert abs(now - stamp) < timedelta(minutes=2)


# --- label, file name, counts -------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs,label,simd",
    [
        ({}, "SIMD+Parallel(block:8192)", True),
        ({"use_simd": None, "block_size": None}, "SIMD+Parallel(block:8192)", True),
        ({"use_simd": True, "block_size": 1}, "SIMD+Parallel(block:1)", True),
        ({"block_size": 2**64 - 1}, "SIMD+Parallel(block:18446744073709551615)", True),
        ({"use_simd": False}, "Standard Parallel", False),
        # the plain kernel ignores the block size, so 0 is harmless there
        ({"use_simd": False, "block_size": 0}, "Standard Parallel", False),
    ],
)
def test_optimization_label(fake, kwargs, label, simd):
    fake.video(VALUES)
    r = fake.extractor().benchmark("v.mp4", 2, "label", **kwargs)
    assert (r.optimization_type, r.simd_enabled) == (label, simd)
    assert r.keyframes_extracted == 3  # the kernel does not change the selection


@pytest.mark.parametrize(
    "path,name",
    [
        ("clips/a.mp4", "a.mp4"),
        ("/data/videos/b.mkv", "b.mkv"),
        ("c.avi", "c.avi"),
        ("clips/d.mp4/", "d.mp4"),
        ("clips/./d.mp4/.", "d.mp4"),
        ("//x//y.webm//", "y.webm"),
    ],
)
def test_video_file_is_the_file_name(fake, path, name):
    fake.video(VALUES[:3])
    assert fake.extractor().benchmark(path, 1, "name").video_file == name
    assert fake.calls()[0]["argv"][1] == path  # the path itself goes to ffmpeg unchanged


@pytest.mark.parametrize(
    "values,k,frames,keyframes",
    [
        ([], 5, 0, 0),
        ([9], 5, 1, 0),
        (VALUES, 0, 7, 0),
        (VALUES, 1, 7, 1),
        (VALUES, 2, 7, 3),  # pivot 5: both pairs scoring 5 are kept
        (VALUES, 3, 7, 3),
        (VALUES, 4, 7, 4),  # pivot 3
        (VALUES, 5, 7, 5),
        (VALUES, 6, 7, 6),  # every pair: the "(all)" case
        (VALUES, 100, 7, 6),
        ([1, 1, 1, 1], 2, 4, 3),  # all scores tie with the pivot
    ],
)
@pytest.mark.parametrize("use_simd", [True, False])
def test_counts_match_extract_keyframes(fake, values, k, frames, keyframes, use_simd):
    fake.video(values)
    e = fake.extractor()
    r = e.benchmark("v.mp4", k, "counts", use_simd=use_simd, block_size=7)
    decoded, _, _ = e.extract_frames("v.mp4")
    assert (r.total_frames, r.keyframes_extracted, r.max_keyframes_requested) == (frames, keyframes, k)
    assert len(e.extract_keyframes(decoded, k, use_simd, 7)) == keyframes
    if frames:
        assert r.keyframe_ratio == keyframes / frames * 100.0
        assert r.processing_fps > 0


@pytest.mark.parametrize("status", [0, 1])
def test_no_frames_gives_nan_ratio_and_zero_fps(fake, status):
    fake.video([], extra=b"\x01" * 31)  # less than one frame of 8x4
    fake.set("EXIT", status)
    r = fake.extractor().benchmark("v.mp4", 3, "empty")
    d = r.to_dict()
    assert (r.total_frames, r.keyframes_extracted) == (0, 0)
    assert math.isnan(r.keyframe_ratio) and math.isnan(d["keyframe_ratio"])
    assert r.processing_fps == 0.0 and d["processing_fps"] == 0.0
    assert len(d) == 14


# --- kernel failures --------------------------------------------------------------


def test_block_size_zero_panics_after_the_decoder_is_drained(fake, capfd):
    fake.video([i % 7 for i in range(1200)], width=2, height=2)
    e = fake.extractor(verbose=True)
    exc = panic_of(lambda: e.benchmark("v.mp4", 3, "zero", block_size=0))
    assert not isinstance(exc, Exception)
    lines = capfd.readouterr().out.splitlines()
    # Every frame was still read, the decoder ended normally, nothing is reported.
    assert "Processed 1000 frames" in lines
    assert re.fullmatch(r"Done: 1200 frames in \d+\.\d\ds", lines[-2])
    assert lines[-1] == "Keyframe analysis target: 3 (SIMD+Parallel)"
    assert not any(line.startswith(("Result", "Keyframes selected")) for line in lines)
    assert fake.modes() == ["probe", "decode"]


@pytest.mark.parametrize("values,k", [(VALUES, 0), ([4], 3), ([], 3)])
def test_block_size_zero_without_pairs_to_score(fake, values, k):
    fake.video(values)
    r = fake.extractor().benchmark("v.mp4", k, "zero", block_size=0)
    assert r.optimization_type == "SIMD+Parallel(block:0)"
    assert r.keyframes_extracted == 0 and r.total_frames == len(values)


# --- progress lines ---------------------------------------------------------------------


def test_progress_lines_in_order(fake, capfd):
    fake.video(VALUES)
    r = fake.extractor(verbose=True).benchmark("v.mp4", 2, "quick")
    lines = capfd.readouterr().out.splitlines()
    patterns = [
        r"Run test: quick \(max_keyframes=2\)",
        r"Extracting frames \(full video\): v\.mp4",
        r"Dimensions: 8x4",
        r"Frame size: 32 bytes",
        r"Done: 7 frames in \d+\.\d\ds",
        r"Keyframe analysis target: 2 \(SIMD\+Parallel\)",
        r"Keyframes selected: 3 \(requested 2, pivot_diff=5\.000\) in \d+\.\d\ds",
        r"Result: frames=7 keyframes=3 requested=2 time_ms=\d+\.\d\d fps=\d+\.\d",
    ]
    assert len(lines) == len(patterns), lines
    for line, pattern in zip(lines, patterns):
        assert re.fullmatch(pattern, line), line
    assert f"time_ms={r.total_time_ms:.2f} fps={r.processing_fps:.1f}" in lines[-1]


@pytest.mark.parametrize(
    "values,k,analysis",
    [
        (VALUES, 0, []),
        ([3], 4, []),
        (VALUES, 6, [r"Keyframe analysis target: 6 \(Parallel\)",
                     r"Keyframes selected: 6 \(all\) in \d+\.\d\ds"]),
    ],
)
def test_analysis_lines_only_when_pairs_are_scored(fake, capfd, values, k, analysis):
    fake.video(values)
    fake.extractor(verbose=True).benchmark("v.mp4", k, "t", use_simd=False)
    lines = capfd.readouterr().out.splitlines()
    done = next(i for i, line in enumerate(lines) if line.startswith("Done: "))
    middle = lines[done + 1:-1]
    assert len(middle) == len(analysis)
    for line, pattern in zip(middle, analysis):
        assert re.fullmatch(pattern, line), line
    assert lines[-1].startswith(f"Result: frames={len(values)} ")


def test_test_name_is_printed_whole(fake, capfd):
    fake.video(VALUES)
    r = fake.extractor(verbose=True).benchmark("v.mp4", 2, "a\0b \u00e9")
    assert r.test_name == "a\0b \u00e9"
    assert capfd.readouterr().out.startswith("Run test: a\0b \u00e9 (max_keyframes=2)\n")


def test_quiet_without_verbose(fake, capfd):
    fake.video(VALUES)
    fake.extractor().benchmark("v.mp4", 2, "quiet")
    assert capfd.readouterr() == ("", "")


# --- failures -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "probe,program,message",
    [
        ("v.mp4: No such file or directory\n", FAKE, "Cannot parse video dimensions"),
        ("", "/nonexistent/ffmpeg", "Failed to probe video with FFmpeg"),
    ],
)
def test_decoding_errors(fake, capfd, probe, program, message):
    fake.probe(probe)
    with pytest.raises(RuntimeError) as info:
        fake.extractor(verbose=True, program=program).benchmark("v.mp4", 3, "bad")
    assert str(info.value) == f"Benchmark failed: {message}"
    out = capfd.readouterr().out
    assert out.startswith("Run test: bad (max_keyframes=3)\n")
    assert "Result" not in out
    assert "decode" not in fake.modes()


def test_nonexistent_file_with_real_ffmpeg(tmp_path):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    with pytest.raises(RuntimeError) as info:
        VideoKeyframeExtractor().benchmark(str(tmp_path / "missing.mp4"), 3, "missing")
    assert str(info.value) == "Benchmark failed: Cannot parse video dimensions"


@pytest.mark.parametrize(
    "args,kwargs,exc,name",
    [
        ((5, 1, "t"), {}, TypeError, "video_path"),
        (("v", -1, "t"), {}, OverflowError, "max_keyframes"),
        (("v", 2**64, "t"), {}, OverflowError, "max_keyframes"),
        (("v", "3", "t"), {}, TypeError, "max_keyframes"),
        (("v", 1, None), {}, TypeError, "test_name"),
        (("v", 1, "t"), {"use_simd": 1}, TypeError, "use_simd"),
        (("v", 1, "t"), {"block_size": -1}, OverflowError, "block_size"),
        (("v", 1, "t"), {"block_size": 8.0}, TypeError, "block_size"),
        (("v", 1), {}, TypeError, "test_name"),
        (("v", 1, "t"), {"threads": 1}, TypeError, "threads"),
        (("v\0.mp4", 1, "t"), {}, ValueError, "video_path"),
    ],
)
def test_argument_errors_before_any_work(fake, args, kwargs, exc, name):
    fake.video(VALUES)
    with pytest.raises(exc, match=name):
        fake.extractor().benchmark(*args, **kwargs)
    assert fake.calls() == []


def test_methods_in_the_class():
    names = [n for n in vars(VideoKeyframeExtractor) if not n.startswith("__")]
    at = names.index("save_keyframes")
    assert names[at:at + 4] == ["save_keyframes", "benchmark", "process_video", "get_cpu_features"]
    assert VideoKeyframeExtractor.benchmark.__text_signature__ == (
        "($self, video_path, max_keyframes, test_name, use_simd=None, block_size=None)")
    assert VideoKeyframeExtractor.benchmark.__doc__ is None
