# Covers: src/python/video/py_extractor.cpp; src/common/worker_pool.cpp; src/video/selection.cpp.
"""VideoKeyframeExtractor: construction, argument conversion, the worker-pool
rule (in fresh interpreters) and extract_keyframes."""

import os

import pytest

import velmar
from velmar import PyVideoFrame, VideoKeyframeExtractor

from conftest import FAKE

METHODS = [
    ("extract_frames", "($self, video_path, max_frames=None)"),
    ("extract_keyframes", "($self, frames, max_keyframes, use_simd=None, block_size=None)"),
    ("save_keyframes", "($self, video_path, keyframe_indices, output_dir, max_save=None)"),
    ("get_cpu_features", "($self)"),
    ("get_thread_count", "($self)"),
    ("get_configured_threads", "($self)"),
    ("get_actual_thread_count", "($self)"),
]


def test_class_presentation():
    cls = VideoKeyframeExtractor
    assert cls is velmar.video.VideoKeyframeExtractor
    assert (cls.__name__, cls.__module__) == ("VideoKeyframeExtractor", "velmar.video")
    assert cls.__text_signature__ == "(ffmpeg_path=..., threads=0, verbose=False)"
    for name, signature in METHODS:
        method = getattr(cls, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None  # nothing after the signature
    # the table order (later methods may sit between, but not reorder these)
    names = [n for n in vars(cls) if n in dict(METHODS)]
    assert names == [n for n, _ in METHODS]


@pytest.mark.parametrize(
    "kwargs,exc,name",
    [
        ({"ffmpeg_path": None}, TypeError, "ffmpeg_path"),
        ({"ffmpeg_path": b"ffmpeg"}, TypeError, "ffmpeg_path"),
        ({"threads": None}, TypeError, "threads"),
        ({"threads": -1}, OverflowError, "threads"),
        ({"threads": 2**64}, OverflowError, "threads"),
        ({"threads": 1.0}, TypeError, "threads"),
        ({"verbose": None}, TypeError, "verbose"),
        ({"verbose": 1}, TypeError, "verbose"),
        ({"bogus": 1}, TypeError, "bogus"),
    ],
)
def test_constructor_refuses(kwargs, exc, name):
    with pytest.raises(exc, match=name):
        VideoKeyframeExtractor(**kwargs)


def test_constructor_positional_and_numpy_bool():
    e = VideoKeyframeExtractor("ffmpeg", 0, True)
    assert e.get_thread_count() == e.get_actual_thread_count()
    with pytest.raises(TypeError):
        VideoKeyframeExtractor("ffmpeg", 0, False, 1)
    np = pytest.importorskip("numpy")
    VideoKeyframeExtractor(verbose=np.bool_(True))


def test_default_program_is_ffmpeg_on_path(tmp_path, monkeypatch, fake):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "ffmpeg").symlink_to(FAKE)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    fake.probe("Video: gray, 2x2\n")
    assert VideoKeyframeExtractor().extract_frames("in.mp4") == ([], 2, 2)
    assert fake.calls()[0]["argv"] == ["-i", "in.mp4", "-hide_banner"]


@pytest.mark.parametrize(
    "call,exc,name",
    [
        (lambda e: e.extract_frames(5), TypeError, "video_path"),
        (lambda e: e.extract_frames("v", max_frames=-1), OverflowError, "max_frames"),
        (lambda e: e.extract_frames("v", "10"), TypeError, "max_frames"),
        (lambda e: e.save_keyframes("v", "123", "o"), TypeError, "keyframe_indices"),
        (lambda e: e.save_keyframes("v", iter([1]), "o"), TypeError, "keyframe_indices"),
        (lambda e: e.save_keyframes("v", [1, 2.0], "o"), TypeError, "keyframe_indices"),
        (lambda e: e.save_keyframes("v", [1, -2], "o"), OverflowError, "keyframe_indices"),
        (lambda e: e.save_keyframes("v", [1], None), TypeError, "output_dir"),
        (lambda e: e.save_keyframes("v", [1], "o", max_save=-1), OverflowError, "max_save"),
    ],
)
def test_method_argument_errors(tmp_path, call, exc, name):
    # The program does not exist: reaching it would raise RuntimeError instead.
    with pytest.raises(exc, match=name):
        call(VideoKeyframeExtractor(ffmpeg_path=str(tmp_path / "none")))


@pytest.mark.parametrize(
    "call,name",
    [
        (lambda tmp: VideoKeyframeExtractor(ffmpeg_path=FAKE + "\0x"), "ffmpeg_path"),
        (lambda tmp: VideoKeyframeExtractor(ffmpeg_path=FAKE).extract_frames("in\0.mp4"), "video_path"),
        (lambda tmp: VideoKeyframeExtractor(ffmpeg_path=FAKE).save_keyframes("v", [1], f"{tmp}/o\0x"),
         "output_dir"),
    ],
)
def test_paths_with_nul_are_refused(tmp_path, call, name):
    # Cut at the NUL, the name would silently point somewhere else.
    with pytest.raises(ValueError, match=f"{name}.*null"):
        call(tmp_path)
    assert not (tmp_path / "o").exists()


def test_save_accepts_tuple_and_empty(tmp_path):
    e = VideoKeyframeExtractor(ffmpeg_path=str(tmp_path / "none"))
    assert e.save_keyframes("v", (), str(tmp_path / "o"), None) == 0
    assert not (tmp_path / "o").exists()
    with pytest.raises(RuntimeError, match="Failed to extract keyframe"):
        e.save_keyframes("v", (1,), str(tmp_path / "o"))


# --- worker pool -------------------------------------------------------------


def test_pool_size_is_fixed_by_the_first_request(fresh_python):
    out = fresh_python(
        """
        from velmar import VideoKeyframeExtractor as X
        a = X(threads=2)
        b = X(threads=8)
        c = X()
        print(a.get_thread_count(), a.get_actual_thread_count(),
              b.get_thread_count(), b.get_configured_threads(), b.get_actual_thread_count(),
              c.get_thread_count())
        """
    ).stdout.split()
    assert out == ["2", "2", "8", "8", "2", "2"]


def test_default_pool_size(fresh_python):
    out = fresh_python(
        """
        import os
        from velmar import VideoKeyframeExtractor as X
        e = X()
        late = X(threads=3)
        print(len(os.sched_getaffinity(0)), e.get_thread_count(), e.get_actual_thread_count(),
              late.get_thread_count(), late.get_actual_thread_count())
        """
    ).stdout.split()
    cpus = out[0]
    assert out == [cpus, cpus, cpus, "3", cpus]


def test_pool_size_follows_affinity(fresh_python):
    out = fresh_python(
        """
        import os
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        from velmar import VideoKeyframeExtractor as X
        print(X().get_thread_count())
        """
    ).stdout.split()
    assert out == ["1"]


# --- extract_keyframes ---------------------------------------------------------------


def frames_with_scores(scores):
    """1x1 frames whose consecutive differences are the given scores."""
    values, v = [0], 0
    for s in scores:
        v = v + s if v + s <= 255 else v - s
        values.append(v)
    return [PyVideoFrame(100 + i, 1, 1, bytes([x])) for i, x in enumerate(values)]


@pytest.mark.parametrize(
    "k,expected", [(0, []), (1, [1, 3]), (2, [1, 3]), (3, [1, 2, 3]), (4, [1, 2, 3, 4]), (10, [1, 2, 3, 4])]
)
@pytest.mark.parametrize("use_simd", [None, True, False])
def test_extract_keyframes(k, expected, use_simd):
    frames = frames_with_scores([5, 3, 5, 1])
    e = VideoKeyframeExtractor()
    assert e.extract_keyframes(frames, k, use_simd) == expected
    assert e.extract_keyframes(tuple(frames), max_keyframes=k, use_simd=use_simd, block_size=1) == expected


def test_extract_keyframes_accepts_subclasses_and_numpy_bool():
    class Mine(PyVideoFrame):
        pass

    frames = [Mine(0, 1, 1, b"\x00"), Mine(1, 1, 1, b"\x09")]
    assert VideoKeyframeExtractor().extract_keyframes(frames, 1) == [1]
    np = pytest.importorskip("numpy")
    assert VideoKeyframeExtractor().extract_keyframes(frames, 1, np.bool_(False)) == [1]


@pytest.mark.parametrize(
    "args,exc,name",
    [
        (("abc", 1), TypeError, "frames"),
        ((iter([]), 1), TypeError, "frames"),
        ((None, 1), TypeError, "frames"),
        (([PyVideoFrame(0, 1, 1, b"a"), 5], 1), TypeError, "frames"),
        (([], -1), OverflowError, "max_keyframes"),
        (([], 1.5), TypeError, "max_keyframes"),
        (([], 1, 1), TypeError, "use_simd"),
        (([], 1, "yes"), TypeError, "use_simd"),
        (([], 1, None, -8), OverflowError, "block_size"),
    ],
)
def test_extract_keyframes_argument_errors(args, exc, name):
    with pytest.raises(exc, match=name):
        VideoKeyframeExtractor().extract_keyframes(*args)


def test_extract_keyframes_uses_the_extractor_verbose(capfd):
    frames = frames_with_scores([5, 3, 5, 1])
    VideoKeyframeExtractor().extract_keyframes(frames, 1)
    assert capfd.readouterr().out == ""
    VideoKeyframeExtractor(verbose=True).extract_keyframes(frames, 1)
    assert capfd.readouterr().out.startswith("Keyframe analysis target: 1 (SIMD+Parallel)\n")
