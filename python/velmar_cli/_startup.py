"""Ctrl-C while the command starts: imported by the package before anything
else, so that an interrupt during the imports (most of the start) ends the
command quietly with status 130, rather than with a traceback."""

from __future__ import annotations

import os
import signal
import sys


def _exit_interrupted(signum: int, frame: object) -> None:
    # Nothing has been done yet: end at once, as any Ctrl-C ends the command.
    os._exit(128 + signum)


def _is_the_command() -> bool:
    # Run as `velmar`, or being found by `python -m velmar_cli` (argv[0] is
    # "-m" until the module is found); a program that merely imports the
    # package keeps its own handling.
    argv0 = sys.argv[0] if sys.argv else ""
    return argv0 == "-m" or os.path.basename(argv0) == "velmar"


# Only over Python's own handler: a command started with SIGINT ignored (a
# background job, nohup) keeps ignoring it.
_held = _is_the_command() and signal.getsignal(signal.SIGINT) is signal.default_int_handler
if _held:
    signal.signal(signal.SIGINT, _exit_interrupted)


def done() -> None:
    """Puts Python's handler back (KeyboardInterrupt); called where the
    command catches that."""
    global _held
    if _held:
        signal.signal(signal.SIGINT, signal.default_int_handler)
        _held = False
