import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from velmar import VideoKeyframeExtractor

FAKE = str(Path(__file__).with_name("fake_ffmpeg"))

# AddressSanitizer keeps freed memory in quarantine and maps shadow memory
# that an address-space limit cannot take, so peaks mean nothing under it.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
not_sanitized = pytest.mark.skipif(SANITIZED,
                                   reason="memory figures are meaningless under AddressSanitizer")


def default_sigint():
    """`preexec_fn` of a child a test interrupts: SIGINT at its default, so
    that Python in the child turns it into KeyboardInterrupt even when the
    tests run with SIGINT ignored (a background job, nohup), which the child
    would otherwise inherit and keep."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run_python(code, *, env=None, timeout=120, check=True):
    """Runs `code` in a fresh interpreter and returns the completed process.

    Process-wide state (the worker pool, the interpreter slot, sys.modules)
    can only be observed from a process that has not touched it yet.
    """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child failed with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
    return proc


@pytest.fixture
def fresh_python():
    return run_python


def run_cli(*argv, timeout=300, **options):
    """The velmar command in a process of its own, as a user runs it; the
    completed process, its output as text."""
    return subprocess.run([sys.executable, "-m", "velmar_cli", *map(str, argv)],
                          capture_output=True, text=True, timeout=timeout, **options)


@pytest.fixture
def cli():
    return run_cli


@pytest.fixture
def recorded_ffmpeg(tmp_path):
    """The real ffmpeg behind a wrapper that records every argument vector.

    Returns the wrapper's path and a function listing the vectors so far."""
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    log = tmp_path / "argv.log"
    program = tmp_path / "ffmpeg-recorded"
    program.write_text(
        f"#!{sys.executable}\nimport json, os, sys\n"
        f"with open({str(log)!r}, 'a') as f:\n    f.write(json.dumps(sys.argv[1:]) + '\\n')\n"
        f"os.execv({shutil.which('ffmpeg')!r}, ['ffmpeg'] + sys.argv[1:])\n")
    program.chmod(0o755)

    def argvs():
        if not log.exists():
            return []
        return [json.loads(line) for line in log.read_text().splitlines()]

    return str(program), argvs


class FakeFFmpeg:
    """Scripts tests/fake_ffmpeg through its environment variables: what its
    probe prints, the raw gray bytes it decodes, how it fails. Every run is
    logged, so the tests can read back the argument vectors."""

    def __init__(self, tmp_path, monkeypatch):
        self.tmp = tmp_path
        self.mp = monkeypatch
        self.log = tmp_path / "calls.log"
        monkeypatch.setenv("FAKE_FFMPEG_LOG", str(self.log))
        for name in ("PROBE", "RAW", "CHUNK", "EXIT", "SAVE_FAIL", "SAVE_NOTHING", "SAVE_EMPTY",
                     "FLOOD", "HANG"):
            monkeypatch.delenv(f"FAKE_FFMPEG_{name}", raising=False)

    def probe(self, text):
        # Lone surrogates stand for raw bytes: os.environ encodes them back.
        self.mp.setenv("FAKE_FFMPEG_PROBE", text)

    def raw_video(self, width, height, data, fps="30 fps"):
        """A gray video of `width` x `height` whose decoded bytes are `data`."""
        self.probe(f"  Stream #0:0: Video: rawvideo (Y800), gray, {width}x{height}, {fps}\n")
        raw = self.tmp / "raw.bin"
        raw.write_bytes(data)
        self.mp.setenv("FAKE_FFMPEG_RAW", str(raw))

    def video(self, values, width=8, height=4, extra=b""):
        """Flat frames, one per value: a frame filled with v differs from one
        filled with w by exactly |v - w|, so the pair scores are known."""
        self.raw_video(width, height, b"".join(bytes([v]) * (width * height) for v in values) + extra)

    def set(self, name, value):
        self.mp.setenv(f"FAKE_FFMPEG_{name}", str(value))

    def calls(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]

    def modes(self):
        return [c["mode"] for c in self.calls()]

    def extractor(self, verbose=False, program=FAKE):
        return VideoKeyframeExtractor(ffmpeg_path=program, verbose=verbose)


@pytest.fixture
def fake(tmp_path, monkeypatch):
    return FakeFFmpeg(tmp_path, monkeypatch)
