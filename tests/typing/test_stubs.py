# Covers: python/velmar-stubs/ (checked with mypy and mypy.stubtest).
"""The type stubs as a user's type checker sees them."""

import os
import sys
import textwrap

import pytest

mypy_api = pytest.importorskip("mypy.api")


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    if not any(os.path.isdir(os.path.join(p, "velmar-stubs")) for p in sys.path):
        pytest.skip("velmar-stubs is not installed")
    return tmp_path_factory.mktemp("mypy-cache")


def check(tmp_path, cache_dir, code):
    source = tmp_path / "user.py"
    source.write_text("import velmar\nfrom velmar.memory import PyMetadataIndex\n"
                      + textwrap.dedent(code))
    stdout, _, status = mypy_api.run(["--strict", "--cache-dir", str(cache_dir), str(source)])
    return status, stdout


def test_correct_use_type_checks(tmp_path, cache_dir):
    status, out = check(tmp_path, cache_dir, """
        index = PyMetadataIndex(None)
        index.batch_add([{"memory_id": "m1", "subjects": ["work"], "importance": 3}])
        ids: list[str] = index.search_strict({"subjects": ("work",), "limit": 5})
        ids = index.search_flexible({"memory_types": ["note"], "created_after": 0})
        total: int = index.stats()["total"]
        ex = velmar.VideoKeyframeExtractor(threads=2)
        frames, width, height = ex.extract_frames("v.mp4")
        keys: list[int] = ex.extract_keyframes(frames, 3)
        fps: float = ex.benchmark("v.mp4", 3, "t").to_dict()["processing_fps"]
        avx2: bool = velmar.get_system_info()["avx2_supported"]
        diff: float = velmar.PyVideoFrame(0, 1, 1, b"x").calculate_difference_simd(frames[0])
    """)
    assert status == 0, out


@pytest.mark.parametrize("code, message", [
    ('PyMetadataIndex().search_strict({"subjets": ["work"]})', '"subjets"'),
    ('PyMetadataIndex().search_flexible({"tags": ["x"]})', '"tags"'),
    ('PyMetadataIndex().search_strict({"limit": "5"})', '"limit"'),
    ('PyMetadataIndex().batch_add([{"user_id": "u"}])', '"memory_id"'),
    ('PyMetadataIndex().stats()["totl"]', '"totl"'),
    ('velmar.get_system_info()["threds"]', '"threds"'),
    ('velmar.VideoKeyframeExtractor(thread=2)', '"thread"'),
])
def test_mistakes_are_rejected(tmp_path, cache_dir, code, message):
    status, out = check(tmp_path, cache_dir, code + "\n")
    assert status == 1
    assert message in out
