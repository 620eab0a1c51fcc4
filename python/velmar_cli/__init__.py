"""The ``velmar`` command: keyframes of many videos, the memory index, system info.

Exit status: 0 when everything succeeded, 1 when some input failed (the
others are still processed), 2 for a usage error, 130 after Ctrl-C and 143
after SIGTERM (what finished is still written). Errors go to standard error
and name the file they concern.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import inspect
import json
import math
import os
import signal
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from velmar_cli.files import write_atomically
from velmar_cli.index import index_add, index_search, index_stats
from velmar_cli.keyframes import (MANIFEST_FIELDS, Job, clear_images, failed, input_problem,
                                  run_job)
from velmar_cli.pool import WorkerPool
from velmar_cli.report import Report, drop_stdout, say

__all__ = ["main"]

DEFAULT_KEYFRAMES = 10


class _Interrupted(Exception):
    """Raised by the SIGINT and SIGTERM handlers of a keyframes run."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class _StopSignals:
    """While active, SIGINT and SIGTERM raise _Interrupted, so that either
    one stops the run the same orderly way; inside `deferred()` a signal is
    held until the block has run. On the way out they are ignored until the
    previous handlers return: the run is stopping anyway."""

    _SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self) -> None:
        self._deferring = False
        self._pending: int | None = None
        self._previous: dict[int, Any] = {}

    def _handle(self, signum: int, frame: object) -> None:
        if not self._deferring:
            raise _Interrupted(signum)
        self._pending = self._pending or signum

    def __enter__(self) -> _StopSignals:
        self._previous = {s: signal.signal(s, self._handle) for s in self._SIGNALS}
        return self

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def ignore(self) -> None:
        for signum in self._SIGNALS:
            signal.signal(signum, signal.SIG_IGN)

    @contextlib.contextmanager
    def deferred(self) -> Iterator[None]:
        self._deferring = True
        try:
            yield
        finally:
            self._deferring = False
        if self._pending is not None:
            raise _Interrupted(self._pending)


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _non_negative_int(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return value


def _threshold(text: str) -> float:
    value = float(text)
    if not 0 < value <= 255:  # also false for NaN
        raise argparse.ArgumentTypeError(f"must be above 0 and at most 255, not {text}")
    return value


def _importance(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 255:
        raise argparse.ArgumentTypeError(f"must be from 0 to 255, not {value}")
    return value


def _time(text: str) -> float:
    value = float(text)
    if math.isnan(value):
        raise argparse.ArgumentTypeError("must be a number of seconds, not NaN")
    return value


def _scanner_default(name: str) -> Any:
    """The default scan_video gives its argument `name`, for help texts."""
    import velmar

    try:
        return inspect.signature(velmar.scan_video).parameters[name].default
    except (AttributeError, KeyError, TypeError, ValueError):
        return None


def _build_parser() -> argparse.ArgumentParser:
    from velmar import get_system_info

    parser = argparse.ArgumentParser(
        prog="velmar", description="Keyframe extraction and the memory metadata index.")
    parser.add_argument("--version", action="version",
                        version=f"velmar {get_system_info()['version']}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    kf = commands.add_parser("keyframes", help="extract keyframe images from videos",
                             description="Extract keyframe images from videos. The images of "
                             "each video go to DIR/<video name>/keyframe_<frame>.jpg; images an "
                             "earlier run left there are removed first.")
    kf.add_argument("videos", nargs="+", metavar="VIDEO")
    kf.add_argument("-o", "--output", required=True, metavar="DIR", help="output directory")
    pick = kf.add_mutually_exclusive_group()
    pick.add_argument("-k", "--keyframes", type=_positive_int, metavar="N",
                      help=f"keep the N frames that differ most (default {DEFAULT_KEYFRAMES})")
    pick.add_argument("--threshold", type=_threshold, metavar="T",
                      help="keep every frame whose mean absolute difference from the frame "
                      "before is at least T (above 0, at most 255)")
    kf.add_argument("--min-scene-len", type=_positive_int, metavar="FRAMES",
                    help="with --threshold, frames between two cuts "
                    f"(default {_scanner_default('min_scene_len')})")
    kf.add_argument("--max-images", type=_positive_int, default=100, metavar="N",
                    help="with --threshold, write the images of the first N cuts of a video "
                    "(default 100); every cut is still listed")
    kf.add_argument("-j", "--jobs", type=_positive_int, default=1, metavar="N",
                    help="videos processed at once, in separate processes (default 1)")
    kf.add_argument("--manifest", metavar="FILE",
                    help="write one row per keyframe to FILE (.json or .csv)")
    kf.add_argument("--dask", metavar="ADDRESS",
                    help="run one task per video on the Dask scheduler at ADDRESS "
                    "(e.g. tcp://host:8786); needs the 'dask' extra")
    kf.add_argument("--no-progress", action="store_true", help="no progress bar")

    index = commands.add_parser("index", help="inspect and fill a memory index file")
    index_commands = index.add_subparsers(dest="index_command", required=True, metavar="ACTION")
    stats = index_commands.add_parser("stats", help="counts of an index file")
    stats.add_argument("file", metavar="FILE")
    stats.add_argument("--json", action="store_true", help="print JSON")

    search = index_commands.add_parser("search", help="search an index file")
    search.add_argument("file", metavar="FILE")
    search.add_argument("--user", metavar="U")
    search.add_argument("--type", dest="types", action="append", metavar="T",
                        help="memory type (repeatable)")
    search.add_argument("--subject", dest="subjects", action="append", metavar="S",
                        help="subject (repeatable)")
    search.add_argument("--keyword", dest="keywords", action="append", metavar="K",
                        help="keyword (repeatable; strict search only)")
    search.add_argument("--tag", dest="tags", action="append", metavar="TAG",
                        help="tag (repeatable; strict search only)")
    search.add_argument("--importance-min", type=_importance, metavar="N",
                        help="0-255; strict search only")
    search.add_argument("--importance-max", type=_importance, metavar="N",
                        help="0-255; strict search only")
    search.add_argument("--after", type=_time, metavar="TIME",
                        help="created at or after TIME (seconds since the epoch)")
    search.add_argument("--before", type=_time, metavar="TIME",
                        help="created at or before TIME (seconds since the epoch)")
    search.add_argument("--limit", type=_non_negative_int, metavar="N", help="default 100")
    search.add_argument("--flexible", action="store_true",
                        help="scored search instead of the strict filter")
    search.add_argument("--json", action="store_true", help="print a JSON list")

    add = index_commands.add_parser("add", help="add entries from a JSON Lines file")
    add.add_argument("file", metavar="FILE")
    add.add_argument("entries", metavar="ENTRIES.jsonl")

    info = commands.add_parser("info", help="system information and processor features")
    info.add_argument("--json", action="store_true", help="print JSON")
    # Each command reports its own usage errors, with its own usage line.
    for sub in (kf, stats, search, add, info):
        sub.set_defaults(parser=sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the ``velmar`` command with `argv` (default: ``sys.argv[1:]``); returns the exit status."""
    parser = _build_parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        # Told by the command they were given to, with its usage line.
        getattr(args, "parser", parser).error(f"unrecognized arguments: {' '.join(unknown)}")
    try:
        if args.command == "keyframes":
            return _keyframes(args.parser, args)
        if args.command == "info":
            return _info(args)
        return {"stats": index_stats, "search": index_search, "add": index_add}[
            args.index_command](args.parser, args)
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except BrokenPipeError:
        drop_stdout()
        return 0


# --- keyframes ---------------------------------------------------------------


def _jobs(args: argparse.Namespace) -> list[Job]:
    """One job per video, each with a directory of its own under the output
    directory, named after the video (numbered when two videos share a name)."""
    jobs = []
    names: set[str] = set()
    for video in args.videos:
        stem = os.path.splitext(os.path.basename(video.rstrip("/")))[0] or "video"
        name, n = stem, 1
        while name in names:
            n += 1
            name = f"{stem}-{n}"
        names.add(name)
        max_keyframes = None if args.threshold is not None else (
            args.keyframes if args.keyframes is not None else DEFAULT_KEYFRAMES)
        jobs.append(Job(video=video, output_dir=os.path.join(args.output, name),
                        max_keyframes=max_keyframes, threshold=args.threshold,
                        min_scene_len=args.min_scene_len, max_images=args.max_images))
    return jobs


def _run_local(jobs: list[Job], workers: int) -> Iterator[tuple[int, dict[str, Any]]]:
    if workers == 1 or len(jobs) == 1:
        for i, job in enumerate(jobs):
            yield i, run_job(job.as_dict())
        return
    with WorkerPool(min(workers, len(jobs)), run_job,
                    lambda i, how: failed(jobs[i], f"its process died ({how})")) as pool:
        yield from pool.run([job.as_dict() for job in jobs])


def _keyframes(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if args.manifest and os.path.splitext(args.manifest)[1].lower() not in (".json", ".csv"):
        parser.error("--manifest must name a .json or .csv file")
    if args.dask and args.jobs != 1:
        parser.error("--jobs and --dask exclude each other: the cluster decides the parallelism")
    jobs = _jobs(args)
    runner: Callable[[], Iterator[tuple[int, dict[str, Any]]]]
    if args.dask:
        try:
            from velmar_cli.dask_fanout import run_on_cluster
        except ImportError:
            parser.error("--dask needs Dask: pip install 'velmar[dask]'")
        runner = lambda: run_on_cluster(args.dask, jobs)  # noqa: E731
    else:
        runner = lambda: _run_local(jobs, args.jobs)  # noqa: E731

    report = Report()
    for job in jobs:
        if input_problem(job.video) is None:
            clear_images(job.output_dir)  # what an earlier run left
    outcomes: list[dict[str, Any] | None] = [None] * len(jobs)
    signum = _run_jobs(runner, jobs, outcomes, report, args)
    # Only the images the manifest lists stay: a video that failed or was
    # cancelled half-way leaves none.
    for job, outcome in zip(jobs, outcomes):
        keep = frozenset(row["path"] for row in outcome["rows"]) if outcome else frozenset()
        clear_images(job.output_dir, keep)
    if args.manifest:
        rows = [row for outcome in outcomes if outcome for row in outcome["rows"]]
        try:
            write_atomically(args.manifest, lambda f: _write_manifest(f, args.manifest, rows))
        except OSError as exc:
            report.error(args.manifest, exc.strerror or str(exc))
    if signum is not None:
        finished = sum(outcome is not None for outcome in outcomes)
        report.error("keyframes", f"stopped by {signal.Signals(signum).name}: "
                     f"{finished} of {len(jobs)} videos finished")
        return 128 + signum
    return report.status


def _run_jobs(runner: Callable[[], Iterator[tuple[int, dict[str, Any]]]], jobs: list[Job],
              outcomes: list[dict[str, Any] | None], report: Report,
              args: argparse.Namespace) -> int | None:
    """Runs the jobs, filling `outcomes` as they finish. Returns the signal
    that stopped the run early, or None."""
    with _progress_bar(len(jobs), disable=args.no_progress) as bar, _StopSignals() as signals:
        results = runner()
        try:
            for i, outcome in results:
                # A video counts as finished once it is both recorded and
                # reported; a signal waits until both are done.
                with signals.deferred():
                    outcomes[i] = outcome
                    bar.set_postfix_str(os.path.basename(jobs[i].video), refresh=False)
                    bar.update(1)
                    bar.clear()
                    if outcome["error"]:
                        report.error(jobs[i].video, outcome["error"])
                    else:
                        say(f"{jobs[i].video}: {_count(len(outcome['rows']), 'keyframe')} "
                            f"in {jobs[i].output_dir}")
        except _Interrupted as exc:
            return exc.signum
        except OSError as exc:  # the cluster could not be reached
            report.error(args.dask or "keyframes", str(exc))
        finally:
            # Stops the workers (and cancels what is queued) however the
            # loop ended; a second signal meanwhile changes nothing.
            signals.ignore()
            results.close()
    return None


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" + ("" if n == 1 else "s")


class _NoBar:
    """Stands in for tqdm when it is not installed."""

    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        pass

    def __getattr__(self, name: str) -> Callable[..., None]:
        return lambda *args, **kwargs: None


def _progress_bar(total: int, *, disable: bool) -> Any:
    """One bar for the whole run, counting videos, on stderr (off when stderr is not a terminal)."""
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, unit="video", desc="keyframes", file=sys.stderr,
                disable=True if disable else None)


def _write_manifest(f: Any, path: str, rows: list[dict[str, Any]]) -> None:
    """Writes the keyframe rows as a JSON list of objects or as CSV with a header."""
    if os.path.splitext(path)[1].lower() == ".csv":
        writer = csv.DictWriter(f, fieldnames=MANIFEST_FIELDS)
        writer.writeheader()
        writer.writerows(rows)
    else:
        json.dump(rows, f, indent=1)
        f.write("\n")


# --- info --------------------------------------------------------------------


def _info(args: argparse.Namespace) -> int:
    import velmar

    info: dict[str, Any] = dict(velmar.get_system_info())
    info["cpu_features"] = velmar.VideoKeyframeExtractor().get_cpu_features()
    info["scanner"] = hasattr(velmar, "scan_video")
    info["python"] = sys.version.split()[0]
    if args.json:
        say(json.dumps(info, indent=2))
        return 0
    say(f"velmar {info['version']} (Python {info['python']})")
    say(f"worker threads: {info['threads']}")
    say(f"AVX2: {'yes' if info['avx2_supported'] else 'no'}, "
        f"SSE2: {'yes' if info['sse2_supported'] else 'no'}")
    features = info["cpu_features"]
    say("processor features: " + (" ".join(sorted(k for k, v in features.items() if v)) or "none"))
    say(f"single-pass scanner: {'yes' if info['scanner'] else 'no'}")
    return 0
