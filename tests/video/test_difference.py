# Covers: src/python/video/py_frame.cpp (difference); src/video/difference.cpp, sad_sse2.cpp, sad_avx2.cpp.
import math
import os
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmar import PyVideoFrame

MISMATCH = 1.7976931348623157e308
U64_MAX = 2**64 - 1


def frame(width, height, data, number=0):
    return PyVideoFrame(number, width, height, data)


def both(a, b, block_size=None):
    """The plain and the block-parallel difference of the same pair."""
    return a.calculate_difference(b), a.calculate_difference_simd(b, block_size)


def mean_abs_diff(x, y):
    return sum(abs(p - q) for p, q in zip(x, y)) / len(x)


def panic_of(call):
    """Runs `call`, which must raise PanicException; returns the exception.

    PanicException derives from BaseException and is exported nowhere, so it
    is recognised by its name and bases.
    """
    with pytest.raises(BaseException) as info:
        try:
            call()
        except Exception:
            pytest.fail("a panic must not be catchable as Exception")
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    return exc


@pytest.mark.parametrize(
    "a,b,expected",
    [
        (frame(3, 1, [10, 20, 30]), frame(3, 1, [13, 16, 30]), 7 / 3),
        (frame(1, 1, [0]), frame(1, 1, [255]), 255.0),
        (frame(1, 1, [255]), frame(1, 1, [0]), 255.0),
        (frame(4, 4, bytes(range(16))), frame(4, 4, bytes(range(16))), 0.0),
        # Missing pixels of a short buffer read as black padding.
        (frame(4, 4, [9] * 10), frame(4, 4, [9] * 16), 6 * 9 / 16),
    ],
)
def test_known_values(a, b, expected):
    assert both(a, b) == (expected, expected)
    assert a.calculate_difference_simd(b, 1) == expected


@pytest.mark.parametrize(
    "a,b",
    [
        (frame(3, 1, [1, 2, 3]), frame(1, 3, [1, 2, 3])),  # same area, other shape
        (frame(2, 2, bytes(4)), frame(3, 2, bytes(6))),  # width only
        (frame(2, 2, bytes(4)), frame(2, 3, bytes(6))),  # height only
        (frame(0, 2, b""), frame(2, 0, b"")),
        (frame(100, 100, b""), frame(100, 99, b"")),  # short buffers are not even looked at
    ],
)
@pytest.mark.parametrize("block_size", [None, 0, 1, U64_MAX])
def test_size_mismatch_scores_the_largest_double(a, b, block_size):
    assert both(a, b, block_size) == (MISMATCH, MISMATCH)
    assert b.calculate_difference_simd(a, block_size) == MISMATCH


@pytest.mark.parametrize("width,height", [(0, 0), (0, 5), (5, 0)])
def test_zero_area_is_nan(width, height):
    a, b = frame(width, height, b""), frame(width, height, b"\x07")
    plain, simd = both(a, b)
    assert math.isnan(plain) and math.isnan(simd)
    assert math.isnan(a.calculate_difference_simd(b, U64_MAX))
    exc = panic_of(lambda: a.calculate_difference_simd(b, 0))
    assert "division by zero" in str(exc)


@pytest.mark.parametrize("pixels", [1, 15, 16, 17, 31, 32, 33, 47, 64, 100, 8191, 8193, 40_000])
def test_block_sizes_agree_with_the_plain_method(pixels):
    rng = random.Random(pixels)
    x = bytes(rng.randrange(256) for _ in range(pixels))
    y = bytes(rng.randrange(256) for _ in range(pixels))
    a, b = frame(pixels, 1, x), frame(pixels, 1, y)
    expected = mean_abs_diff(x, y)
    assert a.calculate_difference(b) == expected
    for block_size in [None, 1, 7, 16, 31, 32, 33, pixels - 1 or 1, pixels, pixels + 1,
                       2**63, U64_MAX - 1, U64_MAX]:
        assert a.calculate_difference_simd(b, block_size) == expected, block_size


def test_full_hd_frame():
    x, y = os.urandom(1920 * 1080), os.urandom(1920 * 1080)
    a, b = frame(1920, 1080, x), frame(1920, 1080, y)
    expected = a.calculate_difference(b)
    assert expected == sum(abs(p - q) for p, q in zip(x, y)) / len(x)
    for block_size in [None, 8192, 1000, 4096 * 4096, U64_MAX]:
        assert a.calculate_difference_simd(b, block_size) == expected


@settings(max_examples=200, deadline=None)
@given(
    data=st.binary(min_size=0, max_size=600).flatmap(
        lambda x: st.tuples(st.just(x), st.binary(min_size=len(x), max_size=len(x)))
    ),
    block_size=st.one_of(st.integers(1, 700), st.integers(1, U64_MAX), st.none()),
)
def test_simd_equals_plain_for_any_bytes(data, block_size):
    x, y = data
    a, b = frame(len(x), 1, x), frame(len(y), 1, y)
    plain, simd = both(a, b, block_size)
    if not x:
        assert math.isnan(plain) and math.isnan(simd)
    else:
        assert plain == simd == mean_abs_diff(x, y)


@pytest.mark.parametrize(
    "method,args",
    [
        ("calculate_difference", ()),
        ("calculate_difference_simd", ()),
        ("calculate_difference_simd", (8192,)),
        ("calculate_difference_simd", (1,)),
    ],
)
@pytest.mark.parametrize("short_first", [True, False])
def test_short_buffer_panics_with_both_lengths(method, args, short_first):
    short, full = frame(10, 10, bytes(90)), frame(10, 10, bytes(100))
    a, b = (short, full) if short_first else (full, short)
    exc = panic_of(lambda: getattr(a, method)(b, *args))
    assert "100" in str(exc) and "96" in str(exc)


def test_block_size_zero_panics_before_the_length_check():
    short = frame(10, 10, bytes(90))
    exc = panic_of(lambda: short.calculate_difference_simd(short, 0))
    assert "division by zero" in str(exc)


def test_overflowing_area_panics():
    a = frame(2**32, 2**32, b"")
    panic_of(lambda: a.calculate_difference(a))
    panic_of(lambda: a.calculate_difference_simd(a))


@pytest.mark.parametrize("other", [None, 5, b"\x00", "frame", [frame(1, 1, b"\x00")], PyVideoFrame])
@pytest.mark.parametrize("method", ["calculate_difference", "calculate_difference_simd"])
def test_other_must_be_a_frame(method, other):
    with pytest.raises(TypeError, match="argument 'other'"):
        getattr(frame(1, 1, b"\x00"), method)(other)


@pytest.mark.parametrize(
    "block_size,exc",
    [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("8", TypeError),
     (b"8", TypeError)],
)
def test_block_size_conversion(block_size, exc):
    f = frame(1, 1, b"\x00")
    with pytest.raises(exc, match="block_size"):
        f.calculate_difference_simd(f, block_size)


def test_arguments_by_keyword_and_bad_calls():
    a, b = frame(3, 1, [10, 20, 30]), frame(3, 1, [13, 16, 30])
    assert a.calculate_difference(other=b) == 7 / 3
    assert a.calculate_difference_simd(other=b, block_size=2) == 7 / 3
    assert a.calculate_difference_simd(b, block_size=None) == 7 / 3
    with pytest.raises(TypeError):
        a.calculate_difference()
    with pytest.raises(TypeError):
        a.calculate_difference(b, 8192)
    with pytest.raises(TypeError):
        a.calculate_difference_simd(b, 1, 2)
    with pytest.raises(TypeError):
        a.calculate_difference_simd(b, size=1)


def test_subclasses_compare_like_frames():
    class Tagged(PyVideoFrame):
        pass

    a, b = Tagged(0, 3, 1, [10, 20, 30]), frame(3, 1, [13, 16, 30])
    assert both(a, b) == (7 / 3, 7 / 3)
    assert both(b, a) == (7 / 3, 7 / 3)


def test_text_signatures():
    assert PyVideoFrame.calculate_difference.__text_signature__ == "($self, other)"
    assert (PyVideoFrame.calculate_difference_simd.__text_signature__
            == "($self, other, block_size=None)")


POOL_CHILD = """
    import os, random
    os.sched_setaffinity(0, {cpus})
    from velmar import PyVideoFrame
    rng = random.Random(5)
    n = 1920 * 1080
    a = PyVideoFrame(0, 1920, 1080, rng.randbytes(n))
    b = PyVideoFrame(1, 1920, 1080, rng.randbytes(n))
    values = [a.calculate_difference_simd(b, s) for s in (None, 1, 7, 4096, 2**64 - 1)]
    print(len(os.listdir("/proc/self/task")))
    print(repr(values))
"""


def test_results_do_not_depend_on_the_pool_size(fresh_python):
    cpus = sorted(os.sched_getaffinity(0))
    # Pool size follows the affinity mask of a fresh process: one processor
    # gives a pool of one, which starts no worker thread at all.
    single = fresh_python(POOL_CHILD.format(cpus={cpus[0]})).stdout.split("\n")
    assert single[0] == "1"
    everything = fresh_python(POOL_CHILD.format(cpus=set(cpus))).stdout.split("\n")
    assert int(everything[0]) <= len(cpus)
    assert single[1] == everything[1]
    values = eval(single[1])
    assert len(set(values)) == 1 and 80 < values[0] < 90  # uniform noise: (256**2 - 1) / 768


@pytest.mark.parametrize("block_size", [None, 2**64 - 1, 3])
def test_one_block_difference_is_a_pool_user(fresh_python, block_size):
    # The first user fixes the pool's size; a later request for another size
    # is dropped. A difference of one block uses the pool like any other.
    cpus = len(os.sched_getaffinity(0))
    out = fresh_python(f"""
        from velmar import PyVideoFrame, VideoKeyframeExtractor
        a, b = PyVideoFrame(0, 3, 1, [10, 20, 30]), PyVideoFrame(1, 3, 1, [13, 16, 30])
        assert a.calculate_difference_simd(b, {block_size}) == 7 / 3
        print(VideoKeyframeExtractor(threads={cpus + 1}).get_actual_thread_count())
    """).stdout.split()
    assert out == [str(cpus)]
