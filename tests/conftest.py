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
