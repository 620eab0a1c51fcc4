"""How the command reports: errors on stderr, output lines on stdout."""

from __future__ import annotations

import os
import sys


class Report:
    """Collects failures: each goes to stderr at once, and any one makes the exit status 1."""

    def __init__(self) -> None:
        self.failed = False

    def error(self, where: str, message: str) -> None:
        self.failed = True
        print(f"velmar: {where}: {message}", file=sys.stderr)

    def warn(self, where: str, message: str) -> None:
        """Reports something done differently from what was asked, without failing."""
        print(f"velmar: {where}: warning: {message}", file=sys.stderr)

    @property
    def status(self) -> int:
        return 1 if self.failed else 0


def say(line: str) -> None:
    """Prints a line of the command's output on stdout. A reader that went
    away (``| head``) ends the output quietly; the work goes on."""
    try:
        print(line, flush=True)
    except BrokenPipeError:
        drop_stdout()


def drop_stdout() -> None:
    # Later writes, and the flush at exit, go nowhere instead of failing again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
