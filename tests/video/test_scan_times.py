"""scan_video's times follow the decoded frames, whatever the container
claims, and pictures too large to hold are refused before they are decoded."""

import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

from clips import make_clips
from conftest import not_sanitized
from velmar import scan_video

RATE = 25


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)


def ends_with_last_frame(r):
    assert r.duration == pytest.approx(r.times[-1] + 1 / RATE)
    assert r.scenes[-1].end_time == r.duration


def truncated_mkv(d):
    path = d / "cut.mkv"
    make_clips(d / "whole.mkv", clips=2, frames_per_clip=125)  # 10 s declared
    data = (d / "whole.mkv").read_bytes()
    path.write_bytes(data[:len(data) * 2 // 5])  # a download cut short
    return path


def lying_mkv(d):
    path = d / "lying.mkv"
    make_clips(path, clips=2, frames_per_clip=25)
    data = bytearray(path.read_bytes())
    # The segment's Duration element (ID 0x4489, an 8-byte float in ms).
    at = data.index(b"\x44\x89\x88") + 3
    data[at:at + 8] = struct.pack(">d", 1e12)
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize("make", [truncated_mkv, lying_mkv])
def test_last_scene_ends_after_the_last_frame_not_at_the_header(tmp_path, make, cli):
    path = make(tmp_path)
    r = scan_video(path)
    ends_with_last_frame(r)
    assert len(r.warnings) == 1 and r.warnings[0].startswith("the header declares a duration")
    proc = cli("keyframes", path, "-o", tmp_path / "out")
    assert proc.returncode == 0, proc.stderr
    assert f"; warning: {r.warnings[0]}" in proc.stdout


def test_timestamps_that_jump_back_are_carried_on(tmp_path):
    # Two MPEG-TS segments joined with cat, the second starting 10 s
    # earlier than the first: 3 scenes of 20 frames each.
    make_clips(tmp_path / "a.ts", clips=2, frames_per_clip=20)
    ffmpeg("-i", tmp_path / "a.ts", "-c", "copy", "-output_ts_offset", "10", tmp_path / "late.ts")
    make_clips(tmp_path / "b.ts", clips=1, frames_per_clip=20, offset=2)
    joined = tmp_path / "joined.ts"
    joined.write_bytes((tmp_path / "late.ts").read_bytes() + (tmp_path / "b.ts").read_bytes())

    r = scan_video(joined, min_scene_len=5)
    assert r.frame_count == 60
    steps = [b - a for a, b in zip(r.times, r.times[1:])]
    assert steps == pytest.approx([1 / RATE] * 59)
    assert [s.start_frame for s in r.scenes] == [0, 20, 40]
    assert [s.end_time - s.start_time for s in r.scenes] == pytest.approx([20 / RATE] * 3)
    ends_with_last_frame(r)
    assert len(r.warnings) == 1 and r.warnings[0].startswith("timestamps jump back at frame 40")


def png(path, width, height):
    """A flat gray PNG of any size, written row block by row block: a huge
    picture compresses to a few hundred KB."""
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body)))
    packer = zlib.compressobj(9)
    rows = bytes(1 + width) * min(height, 1024)  # filter byte 0, then gray 0
    pixels = b"".join(packer.compress(rows[:(1 + width) * min(1024, height - y)])
                      for y in range(0, height, 1024)) + packer.flush()
    Path(path).write_bytes(b"\x89PNG\r\n\x1a\n"
                           + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
                           + chunk(b"IDAT", pixels) + chunk(b"IEND", b""))
    return str(path)


@not_sanitized
def test_huge_picture_is_refused_before_it_is_decoded(tmp_path):
    path = png(tmp_path / "huge.png", 16000, 16000)
    code = f"""
import velmar
try:
    velmar.scan_video({path!r})
except RuntimeError as e:
    print(e)
print(next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")))
"""
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True).stdout.splitlines()
    assert out[0] == ("Scan failed: frames of 16000x16000 pixels are more than the 134217728 "
                      "a scan takes (max_pixels)")
    assert int(out[1]) < 200 * 1024  # kB: a decoded frame alone would take 768 MB


@pytest.mark.parametrize("max_pixels, error", [
    (64 * 48 - 1, "Scan failed: frames of 64x48 pixels are more than the 3071 a scan takes"),
    (64 * 48, None),
    (0, "argument 'max_pixels': must be at least 1"),
])
def test_max_pixels_is_the_callers_to_raise(tmp_path, max_pixels, error):
    path = png(tmp_path / "small.png", 64, 48)
    if error is None:
        assert scan_video(path, max_pixels=max_pixels).frame_count == 1
    else:
        with pytest.raises(RuntimeError if error.startswith("Scan") else ValueError,
                           match=error.replace("(", r"\(")):
            scan_video(path, max_pixels=max_pixels)
