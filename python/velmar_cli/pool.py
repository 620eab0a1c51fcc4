"""Worker processes for ``velmar keyframes --jobs N``.

Each worker is a process of its own, started fresh (``spawn``: nothing of
the command's threads or state is copied into it), that runs one video at a
time. The command keeps every worker in hand so that:

- a worker that dies (the OOM killer, a crash in a decoder) fails only the
  video it held; a new worker takes its place and the other videos go on;
- Ctrl-C or SIGTERM stops the workers at once: queued videos never start;
- no worker outlives the command, even one killed with SIGKILL: the kernel
  kills each worker when the command dies (``PR_SET_PDEATHSIG``), and a
  watchdog thread does the same where that is not available.
"""

from __future__ import annotations

import ctypes
import multiprocessing
import os
import signal
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator
from multiprocessing.connection import Connection, wait
from typing import Any

_PR_SET_PDEATHSIG = 1
# How long stopped workers get to exit before they are killed.
_STOP_GRACE = 0.5


def _die_with(parent: int) -> None:
    """Ends this process when `parent` is gone."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        armed = libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) == 0
    except (OSError, AttributeError):
        armed = False
    # The parent may have died before the signal was armed; then nothing
    # would ever come, and the worker has been handed to another process.
    if os.getppid() != parent:
        os._exit(1)
    if armed:
        return

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(0.2)
        os._exit(1)

    threading.Thread(target=watch, daemon=True, name="parent-watchdog").start()


def _serve(conn: Connection, parent: int, run: Callable[..., Any]) -> None:
    """A worker's life: jobs in, progress and outcomes out, until None or
    the end of the pipe. Messages are ("progress", done, expected) while a
    job runs and ("done", outcome) when it ends."""
    _die_with(parent)
    # Ctrl-C at a terminal reaches the whole process group; the command
    # decides what it stops, and stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    while True:
        try:
            job = conn.recv()
        except (EOFError, OSError):
            return
        if job is None:
            return
        conn.send(("done", run(job, lambda done, expected: conn.send(("progress", done, expected)))))


def describe_exit(exitcode: int | None) -> str:
    """How a worker process ended, in words: "killed by SIGKILL", "exit status 3"."""
    if exitcode is None:
        return "still running"
    if exitcode < 0:
        try:
            return f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"killed by signal {-exitcode}"
    return f"exit status {exitcode}"


class _Worker:
    def __init__(self, context: Any, run: Callable[..., Any]) -> None:
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child, os.getpid(), run),
                                       daemon=True, name="velmar-worker")
        self.process.start()
        child.close()
        self.job: int | None = None  # the position of the job it holds


class WorkerPool:
    """At most `size` worker processes, each running `run(job, progress)` one
    job at a time.

    `run` must be a module-level function (it is pickled by reference), and
    jobs and outcomes must pickle. `on_death(position, description)` gives
    the outcome of a job whose worker died; `on_progress(position, done,
    expected)` hears each progress call a job makes.
    """

    def __init__(self, size: int, run: Callable[..., Any],
                 on_death: Callable[[int, str], Any],
                 on_progress: Callable[[int, int, int], None] | None = None) -> None:
        self._size = size
        self._run = run
        self._on_death = on_death
        self._on_progress = on_progress
        self._context = multiprocessing.get_context("spawn")
        self._workers: list[_Worker] = []

    def run(self, jobs: list[Any]) -> Iterator[tuple[int, Any]]:
        """Yields (job position, outcome) as each job ends, in the order they end."""
        queue = deque(range(len(jobs)))
        while queue or any(w.job is not None for w in self._workers):
            self._hand_out(jobs, queue)
            busy = [w for w in self._workers if w.job is not None]
            ready = wait([w.conn for w in busy] + [w.process.sentinel for w in busy])
            for worker in busy:
                if worker.conn not in ready and worker.process.sentinel not in ready:
                    continue
                position = worker.job
                assert position is not None
                try:
                    message = worker.conn.recv()
                except (EOFError, OSError):
                    worker.process.join()
                    self._workers.remove(worker)
                    worker.conn.close()
                    yield position, self._on_death(position, describe_exit(worker.process.exitcode))
                    continue
                if message[0] == "progress":
                    if self._on_progress is not None:
                        self._on_progress(position, message[1], message[2])
                    continue
                worker.job = None
                yield position, message[1]

    def _hand_out(self, jobs: list[Any], queue: deque[int]) -> None:
        for worker in self._workers:
            if queue and worker.job is None:
                worker.job = queue.popleft()
                worker.conn.send(jobs[worker.job])
        while queue and len(self._workers) < self._size:
            worker = _Worker(self._context, self._run)
            self._workers.append(worker)
            worker.job = queue.popleft()
            worker.conn.send(jobs[worker.job])

    def close(self) -> None:
        """Lets idle workers end on their own; stops any still busy."""
        for worker in self._workers:
            if worker.job is None:
                try:
                    worker.conn.send(None)
                except OSError:
                    pass
        self.stop()

    def stop(self) -> None:
        """Stops every worker now (SIGTERM, then SIGKILL) and waits for them all."""
        workers, self._workers = self._workers, []
        for worker in workers:
            if worker.job is not None and worker.process.is_alive():
                worker.process.terminate()
        deadline = time.monotonic() + _STOP_GRACE
        for worker in workers:
            worker.process.join(max(0.0, deadline - time.monotonic()))
        for worker in workers:
            if worker.process.is_alive():
                worker.process.kill()
            worker.process.join()
            worker.conn.close()

    def __enter__(self) -> WorkerPool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
