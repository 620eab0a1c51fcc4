# Covers: src/python/video/py_frame.cpp, src/video/frame.cpp.
import pytest

import velmar
from velmar import PyVideoFrame


def panic_type():
    """PanicException is reachable only as the type of a raised instance."""
    try:
        PyVideoFrame(0, 10, 10, bytes(90)).get_data()
    except BaseException as exc:  # noqa: B036
        return type(exc)
    raise AssertionError("no panic raised")


def test_round_trip_and_properties():
    frame = PyVideoFrame(7, 2, 2, b"\x01\x02\x03\x04")
    assert frame.get_data() == b"\x01\x02\x03\x04"
    assert (frame.frame_number, frame.width, frame.height) == (7, 2, 2)
    assert frame == frame and frame != PyVideoFrame(7, 2, 2, b"\x01\x02\x03\x04")


@pytest.mark.parametrize(
    "width,height,data,expected",
    [
        (4, 4, bytes(range(1, 11)), bytes(range(1, 11)) + bytes(6)),  # padding reads as black
        (0, 5, b"abc", b""),
        (5, 0, b"", b""),
        (8, 8, bytes(range(64)), bytes(range(64))),  # a multiple of 32 gets no padding
        (2, 2, [1, 2, 3, 4], b"\x01\x02\x03\x04"),
        (2, 2, (1, 2, 3, 4), b"\x01\x02\x03\x04"),
        (2, 2, bytearray(b"\x01\x02\x03\x04"), b"\x01\x02\x03\x04"),
    ],
)
def test_get_data(width, height, data, expected):
    assert PyVideoFrame(0, width, height, data).get_data() == expected


def test_padding_boundary():
    # 64 bytes stay 64: width*height 64 fits, 65 does not.
    assert len(PyVideoFrame(0, 64, 1, bytes(64)).get_data()) == 64
    with pytest.raises(BaseException) as info:
        PyVideoFrame(0, 65, 1, bytes(64)).get_data()
    assert type(info.value) is panic_type()


def test_short_buffer_panics_past_except_exception():
    kind = panic_type()
    assert kind.__name__ == "PanicException"
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    assert kind.__bases__ == (BaseException,)
    with pytest.raises(BaseException) as info:
        try:
            PyVideoFrame(0, 10, 10, bytes(90)).get_data()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as Exception")
    assert "100" in str(info.value) and "96" in str(info.value)
    assert panic_type() is kind  # created once per process


def test_overflowing_area_panics():
    with pytest.raises(BaseException) as info:
        PyVideoFrame(0, 2**63, 4, b"").get_data()
    assert type(info.value) is panic_type()


@pytest.mark.parametrize(
    "args,exc,fragment",
    [
        ((-1, 2, 2, b""), OverflowError, "frame_number"),
        ((0, 2**64, 2, b""), OverflowError, "width"),
        ((0, 2, "2", b""), TypeError, "height"),
        ((0, 2, 2.0, b""), TypeError, "height"),
        ((0, 2, 2, "abcd"), TypeError, "argument 'data'"),
        ((0, 2, 2, 5), TypeError, "argument 'data'"),
        ((0, 2, 2, [1, 256]), OverflowError, "data"),
        ((0, 2, 2, [1, -1]), OverflowError, "data"),
        ((0, 2, 2, [1, "x"]), TypeError, "data"),
        ((0, 2, 2, iter(b"ab")), TypeError, "data"),
    ],
)
def test_conversion_errors_name_the_argument(args, exc, fragment):
    with pytest.raises(exc, match=fragment):
        PyVideoFrame(*args)


def test_keywords_and_arity():
    frame = PyVideoFrame(data=b"\x05", height=1, width=1, frame_number=3)
    assert frame.get_data() == b"\x05" and frame.frame_number == 3
    with pytest.raises(TypeError):
        PyVideoFrame(0, 1, 1)
    with pytest.raises(TypeError):
        PyVideoFrame(0, 1, 1, b"", 5)
    with pytest.raises(TypeError):
        PyVideoFrame(0, 1, 1, b"", colour=1)
    with pytest.raises(TypeError):
        PyVideoFrame(0, 1, 1, b"", frame_number=1)


def test_large_values_round_trip():
    frame = PyVideoFrame(2**64 - 1, 2**40, 0, b"")
    assert frame.frame_number == 2**64 - 1 and frame.width == 2**40
    assert frame.get_data() == b""


def test_read_only_and_presentation():
    frame = PyVideoFrame(0, 1, 1, b"\x00")
    with pytest.raises(AttributeError):
        frame.width = 3
    assert PyVideoFrame.__text_signature__ == "(frame_number, width, height, data)"
    assert PyVideoFrame.get_data.__text_signature__ == "($self)"
    assert [n for n in ("frame_number", "width", "height") if n in vars(PyVideoFrame)] == [
        "frame_number", "width", "height"]


def test_subclass_instances_work():
    class Sub(PyVideoFrame):
        pass

    frame = Sub(1, 1, 1, b"\x09")
    assert frame.get_data() == b"\x09" and isinstance(frame, velmar.video.PyVideoFrame)
