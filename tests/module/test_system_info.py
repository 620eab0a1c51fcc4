# Covers: src/python/video/py_system_info.cpp, src/video/cpu_features.cpp.
"""get_system_info() and VideoKeyframeExtractor.get_cpu_features()."""

import re
from pathlib import Path

import pytest

import velmar
from velmar import VideoKeyframeExtractor, get_system_info


def project_version():
    """The version pyproject.toml gives, which the build compiles in."""
    pyproject = Path(__file__).parents[2] / "pyproject.toml"
    if not pyproject.exists():
        pytest.skip("no pyproject.toml beside the tests")
    return re.search(r'^version *= *"([^"]+)"', pyproject.read_text(), re.M).group(1)


def test_system_info_keys_and_values():
    info = get_system_info()
    assert list(info) == ["threads", "avx2_supported", "sse2_supported", "version"]
    assert info["sse2_supported"] is True
    assert info["version"] == project_version()
    assert type(info["threads"]) is int and info["threads"] >= 1
    assert info["threads"] == VideoKeyframeExtractor().get_actual_thread_count()
    assert type(info["avx2_supported"]) is bool
    assert info["avx2_supported"] == VideoKeyframeExtractor().get_cpu_features()["avx2"]
    assert get_system_info() is not get_system_info()  # a new dict each time


def test_system_info_function():
    fn = get_system_info
    assert fn is velmar.video.get_system_info
    assert fn.__module__ == "velmar"
    assert fn.__text_signature__ == "()"
    with pytest.raises(TypeError):
        fn(1)


def test_cpu_features():
    features = VideoKeyframeExtractor().get_cpu_features()
    assert sorted(features) == ["avx2", "fma", "sse2", "sse4_1", "sse4_2"]
    assert all(type(v) is bool for v in features.values())
    assert features["sse2"] is True
    with pytest.raises(TypeError):
        VideoKeyframeExtractor().get_cpu_features(1)


def test_threads_after_first_extractor(fresh_python):
    out = fresh_python(
        """
        import velmar
        velmar.VideoKeyframeExtractor(threads=2)
        print(velmar.get_system_info()["threads"])
        """
    ).stdout.split()
    assert out == ["2"]
