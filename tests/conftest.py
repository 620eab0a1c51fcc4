import json
import shutil
import subprocess
import sys
import textwrap

import pytest


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
