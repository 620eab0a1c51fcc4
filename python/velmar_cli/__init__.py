"""The ``velmar`` command: the scenes of many videos, the memory index, system info.

Exit status: 0 when everything succeeded, 1 when some input failed (the
others are still processed), 2 for a usage error, 130 after Ctrl-C and 143
after SIGTERM (what finished is still written). Errors go to standard error
and name the file they concern.
"""

from __future__ import annotations

# First of all: Ctrl-C during the imports below ends the command quietly.
from velmar_cli import _startup

import argparse
import base64
import contextlib
import csv
import errno
import inspect
import json
import math
import os
import re
import signal
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from velmar_cli.edl import earlier_lists, edl_files, write_edl
from velmar_cli.files import check_writable, readable, write_atomically
from velmar_cli.html_report import write_report
from velmar_cli.index import index_add, index_delete, index_get, index_search, index_stats
from velmar_cli.keyframes import (MANIFEST_FIELDS, Job, Outcome, clear_images, failed,
                                  input_problem, run_job)
from velmar_cli.pool import WorkerPool
from velmar_cli.report import Report, drop_stdout, say
from velmar_cli.split import PART_FIELDS, SplitJob, finished_line, read_scenes, run_split, scenes_of
from velmar_cli.tables import spreadsheet_safe, write_stats
from velmar_cli.timeline import write_timeline

__all__ = ["main"]


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
        # A run started with SIGINT ignored (a background job, nohup) must not
        # be stopped by a Ctrl-C meant for the terminal's foreground job.
        self._previous = {s: signal.signal(s, self._handle) for s in self._SIGNALS
                          if s != signal.SIGINT or signal.getsignal(s) is not signal.SIG_IGN}
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


_TIMECODE = re.compile(r"(?:(\d+):)?([0-5]?\d):([0-5]?\d(?:\.\d*)?)")


def _range_point(text: str) -> tuple[str, float | int]:
    """A point of --start/--end: ("start_frame", n) for ``250f``, else
    ("start", seconds) for ``12.5`` or a timecode ``[HH:]MM:SS[.mmm]``; the
    caller swaps "start" for "end"."""
    frames = re.fullmatch(r"(\d+)f", text.strip())
    if frames:
        return "start_frame", int(frames.group(1))
    timecode = _TIMECODE.fullmatch(text.strip())
    if timecode:
        hours, minutes, seconds = timecode.groups()
        return "start", int(hours or 0) * 3600 + int(minutes) * 60 + float(seconds)
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"must be seconds (12.5), a timecode (00:01:02.500) or frames (250f), not {text!r}")
    if not 0 <= seconds < math.inf:  # also false for NaN
        raise argparse.ArgumentTypeError(f"must be a finite time of 0 or more, not {text}")
    return "start", seconds


def _int_from(low: int, high: int) -> Callable[[str], int]:
    """An argparse type: a whole number from `low` to `high`."""
    def parse(text: str) -> int:
        value = int(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, not {value}")
        return value
    parse.__name__ = "int"  # argparse names the type in "invalid int value"
    return parse


_quality = _int_from(1, 100)
_importance = _int_from(0, 255)


def _sensitivity(text: str) -> float:
    value = float(text)
    if not 0 <= value <= 1:  # also false for NaN
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, not {text}")
    return value


def _scene_length(text: str) -> tuple[str, float | int]:
    """--min-scene-len: ("min_scene_len", frames) for ``15``, or
    ("min_scene_seconds", seconds) for ``0.6s``."""
    if text.strip().endswith("s"):
        seconds = float(text.strip()[:-1])
        if not 0 < seconds < math.inf:
            raise argparse.ArgumentTypeError(f"must be a time above 0, not {text}")
        return "min_scene_seconds", seconds
    return "min_scene_len", _positive_int(text)


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


def _add_detection_options(sub: argparse.ArgumentParser) -> None:
    """The options of scene detection that keyframes and split share, and --jobs."""
    sub.add_argument("--threshold", type=_threshold, metavar="T",
                    help="instead of scene detection, cut wherever the mean absolute "
                    "difference from the frame before is at least T (above 0, at most 255)")
    sub.add_argument("--min-scene-len", type=_scene_length, metavar="LEN",
                    help="shortest scene: frames (15) or seconds (0.6s), converted at each "
                    f"video's frame rate (default {_scanner_default('min_scene_len')} frames)")
    sub.add_argument("--start", type=_range_point, metavar="TIME",
                    help="scan from TIME: seconds (12.5), a timecode (00:01:02.500) or a frame "
                    "(250f); frame numbers and times stay those of the whole video")
    sub.add_argument("--end", type=_range_point, metavar="TIME",
                    help="scan up to TIME (not included), as --start")
    sub.add_argument("--sensitivity", type=_sensitivity, metavar="S",
                    help="scene detection from 0 to 1 (default 0.5): higher lowers the bars a "
                    "cut must clear (its size and its contrast with the frames around it) and "
                    "the change a dissolve, fade or wipe must make, so it finds more "
                    "boundaries; every one found at S is found at any higher S")
    sub.add_argument("-j", "--jobs", type=_positive_int, default=1, metavar="N",
                    help="videos processed at once, in separate processes (default 1)")


def _build_parser() -> argparse.ArgumentParser:
    from velmar import get_system_info

    parser = argparse.ArgumentParser(
        prog="velmar", description="Keyframe extraction and the memory metadata index.")
    parser.add_argument("--version", action="version",
                        version=f"velmar {get_system_info()['version']}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    kf = commands.add_parser(
        "keyframes", help="find the scenes of videos and a picture of each",
        description="Find the scenes of videos (cuts, dissolves, fades, wipes) and write one "
        "picture of each scene, the opening one included. The pictures of each video go to "
        "DIR/<video name>/keyframe_<frame>.jpg; pictures an earlier run left there are removed "
        "first, and only those the run lists stay.")
    kf.add_argument("videos", nargs="+", metavar="VIDEO")
    kf.add_argument("-o", "--output", required=True, metavar="DIR", help="output directory")
    kf.add_argument("-k", "--keyframes", type=_positive_int, metavar="N",
                    help="keep the pictures of the N longest scenes (default: of every scene)")
    _add_detection_options(kf)
    kf.add_argument("--max-images", type=_positive_int, metavar="N",
                    help="write the pictures of the first N scenes of a video at most "
                    "(default: no limit); every scene is still listed")
    kf.add_argument("--image-format", choices=("jpg", "png", "webp"), metavar="FMT",
                    help="picture format: jpg (default), png or webp")
    kf.add_argument("--image-quality", type=_quality, metavar="Q",
                    help="JPEG or WebP quality from 1 to 100 (default "
                    f"{_scanner_default('image_quality')})")
    kf.add_argument("--image-width", type=_positive_int, metavar="W",
                    help="scale pictures to W pixels wide (alone: keeping the aspect ratio)")
    kf.add_argument("--image-height", type=_positive_int, metavar="H",
                    help="scale pictures to H pixels high (alone: keeping the aspect ratio)")
    kf.add_argument("--images-per-scene", type=_positive_int, metavar="N",
                    help="N pictures of each scene (1 to 16, default 1), spread over its calm "
                    "frames; the manifest's row keeps the best, the JSON manifest lists all "
                    "under 'pictures'")
    kf.add_argument("--image-name", metavar="TEMPLATE",
                    help="picture names: {video}, {scene}, {frame} and {time} (HH-MM-SS.mmm), "
                    "e.g. '{video}-{scene:03d}-{frame}'; default 'keyframe_{frame:06d}'. An "
                    "earlier run's pictures of other names are not removed")
    kf.add_argument("--manifest", metavar="FILE",
                    help="write one row per scene to FILE (.json or .csv)")
    kf.add_argument("--edl", metavar="FILE", help="write the scenes as a CMX 3600 edit "
                    "decision list, one event per scene; videos of different frame rates get "
                    "a list each (FILE-<video>.edl), and over 999 scenes go on in FILE-2.edl")
    kf.add_argument("--otio", metavar="FILE.otio", help="write the scenes as an "
                    "OpenTimelineIO timeline: a track per video, a clip per scene")
    kf.add_argument("--stats", metavar="FILE.csv", help="write one CSV row per frame: "
                    "video, frame, time, score, and the boundary it starts (cut, dissolve, "
                    "fade, wipe) or nothing")
    kf.add_argument("--report", metavar="FILE", help="write an HTML page of the run: score "
                    "curves with the scene boundaries and contact sheets of the pictures")
    kf.add_argument("--dask", metavar="ADDRESS",
                    help="run one task per video on the Dask scheduler at ADDRESS "
                    "(e.g. tcp://host:8786); needs the 'dask' extra")
    kf.add_argument("--no-progress", action="store_true", help="no progress bar")

    sp = commands.add_parser(
        "split", help="cut videos into one file per scene",
        description="Find the scenes of videos as keyframes does (or read them from a "
        "keyframes manifest with --scenes) and write each scene to a file of its own, "
        "DIR/<video name>-scene-<NNN>.<ext>, in the video's container where it holds the "
        "streams, else Matroska. By default each part holds exactly its scene's frames: copied "
        "bit for bit where the scene starts and ends on clean key frames, re-encoded otherwise. "
        "--copy only copies, starting each part at the key frame at or before its scene.")
    sp.add_argument("videos", nargs="+", metavar="VIDEO")
    sp.add_argument("-o", "--output", required=True, metavar="DIR", help="output directory")
    _add_detection_options(sp)
    sp.add_argument("--copy", action="store_true",
                    help="stream copy only, nothing re-encoded: each part starts at the key frame "
                    "at or before its scene (a line says so for every start that moved)")
    sp.add_argument("--scenes", metavar="FILE", help="take the scenes from a manifest that "
                    "velmar keyframes --manifest wrote (.csv or .json) instead of finding them")
    sp.add_argument("--manifest", metavar="FILE", help="write one row per scene to FILE (.json "
                    "or .csv): the keyframes manifest's columns, the part written and, with "
                    "--copy, the frame it really starts at (actual_start_frame)")
    sp.add_argument("--no-progress", action="store_true", help="no progress bar")

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

    add = index_commands.add_parser(
        "add", help="add entries from a JSON Lines file",
        description="Add the entries of a JSON Lines file (one JSON object a line, UTF-8) to "
        "the index FILE, made when missing, and save it. The keys of an entry: memory_id "
        "(a non-empty string; required), user_id, memory_type (strings), subjects, objects, "
        "keywords, tags (lists of strings, or one string), importance, confidence (0-255, "
        "default 2), created_at (seconds since the epoch; default: now), access_count "
        "(default 0), chat_id, content_preview (strings; default: none). A value of the "
        "wrong type takes the default; any other key is ignored, with a warning. An entry "
        "whose memory_id the index holds replaces that entry. A line that cannot be stored "
        "is reported with its number and left out (exit status 1); the others are added.")
    add.add_argument("file", metavar="FILE")
    add.add_argument("entries", metavar="ENTRIES.jsonl")

    get = index_commands.add_parser("get", help="print entries by id, one JSON object a line")
    get.add_argument("file", metavar="FILE")
    get.add_argument("ids", nargs="+", metavar="ID")

    delete = index_commands.add_parser("delete", help="delete entries by id or by user")
    delete.add_argument("file", metavar="FILE")
    delete.add_argument("ids", nargs="*", metavar="ID")
    delete.add_argument("--user", metavar="U", help="delete every entry of user U")

    info = commands.add_parser("info", help="system information and processor features")
    info.add_argument("--json", action="store_true", help="print JSON")
    # Each command reports its own usage errors, with its own usage line.
    for sub in (kf, sp, stats, search, add, get, delete, info):
        sub.set_defaults(parser=sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the ``velmar`` command with `argv` (default: ``sys.argv[1:]``); returns the exit status."""
    try:
        _startup.done()  # from here a Ctrl-C is caught below
        parser = _build_parser()
        args, unknown = parser.parse_known_args(argv)
        if unknown:
            # Told by the command they were given to, with its usage line.
            getattr(args, "parser", parser).error(f"unrecognized arguments: {' '.join(unknown)}")
        if args.command == "keyframes":
            return _keyframes(args.parser, args)
        if args.command == "split":
            return _split(args.parser, args)
        if args.command == "info":
            return _info(args)
        return {"stats": index_stats, "search": index_search, "add": index_add,
                "get": index_get, "delete": index_delete}[args.index_command](args.parser, args)
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except BrokenPipeError:
        drop_stdout()
        return 0


# --- keyframes ---------------------------------------------------------------


def _jobs(args: argparse.Namespace) -> list[Job]:
    """One job per video, each with a directory of its own under the output
    directory, named after the video (numbered when two videos share a name)."""
    return [Job(video=video, output_dir=os.path.join(args.output, name),
                keep=args.keyframes, threshold=args.threshold, max_images=args.max_images,
                scan=_scan_options(args), stats=bool(args.stats))
            for video, name in zip(args.videos, _names(args.videos))]


def _names(videos: list[str]) -> list[str]:
    """A name per video: its file name without extension, numbered (clip-2,
    clip-3, ...) when two videos share one."""
    names: list[str] = []
    for video in videos:
        stem = os.path.splitext(os.path.basename(video.rstrip("/")))[0] or "video"
        name, n = stem, 1
        while name in names:
            n += 1
            name = f"{stem}-{n}"
        names.append(name)
    return names


def _scan_options(args: argparse.Namespace) -> tuple[tuple[str, Any], ...]:
    """The scan_video keywords of --start, --end, --min-scene-len, --sensitivity and
    the --image-* options."""
    options = []
    if args.start:
        options.append(args.start)
    if args.end:
        options.append((args.end[0].replace("start", "end"), args.end[1]))
    if args.min_scene_len:
        options.append(args.min_scene_len)
    if args.sensitivity is not None:
        options.append(("sensitivity", args.sensitivity))
    for name in ("image_format", "image_quality", "image_width", "image_height",
                 "images_per_scene", "image_name"):
        if getattr(args, name, None) is not None:
            options.append((name, getattr(args, name)))
    return tuple(options)


def _check_picture_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Refuses --image-* options that do not go together (a template that cannot
    name the pictures, a quality for PNG, WebP without libwebp) before any video
    runs: scan_video checks its arguments before it opens the file."""
    import velmar

    options = dict(_scan_options(args))
    if not any(name.startswith("image") for name in options):
        return
    try:
        velmar.scan_video(os.devnull, threshold=args.threshold, **options)
    except RuntimeError:
        pass  # the options passed; /dev/null is no video (a RuntimeError of its kind)
    except ValueError as exc:
        parser.error(str(exc))


def _run_local(jobs: list[Any], workers: int, bar: _FrameProgress,
               run: Callable[..., Outcome] = run_job) -> Iterator[tuple[int, Outcome]]:
    if workers == 1 or len(jobs) == 1:
        for i, job in enumerate(jobs):
            yield i, run(job.as_dict(), lambda done, expected, i=i: bar.advance(i, done, expected))
        return
    with WorkerPool(min(workers, len(jobs)), run,
                    lambda i, how: failed(jobs[i], f"its process died ({how})"),
                    bar.advance) as pool:
        yield from pool.run([job.as_dict() for job in jobs])


def _check_run(parser: argparse.ArgumentParser, args: argparse.Namespace,
               outputs: tuple[tuple[str, str | None], ...]) -> None:
    """Refuses, before any video runs, a --manifest that is neither .json nor
    .csv, a range that ends before it starts, an output file (option, path)
    that cannot be written, and an output directory that cannot be made."""
    if args.manifest and os.path.splitext(args.manifest)[1].lower() not in (".json", ".csv"):
        parser.error("--manifest must name a .json or .csv file")
    if args.start and args.end and args.start[0] == args.end[0] and args.start[1] >= args.end[1]:
        parser.error(f"--end must be after --start ({args.start[1]}), not {args.end[1]}")
    for option, path in outputs:
        if not path:
            continue
        try:
            check_writable(path)
        except OSError as exc:  # found now rather than after every video has run
            parser.error(f"{option} {path}: cannot be written: {exc.strerror or exc}")
    try:  # made now, so that a file in its way fails the run before any video
        os.makedirs(args.output, exist_ok=True)
        if not os.access(args.output, os.W_OK | os.X_OK):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), args.output)
    except OSError as exc:
        reason = os.strerror(errno.ENOTDIR) if isinstance(exc, FileExistsError) else exc.strerror
        parser.error(f"--output {args.output}: cannot be made: {reason or exc}")


def _keyframes(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if args.dask and args.jobs != 1:
        parser.error("--jobs and --dask exclude each other: the cluster decides the parallelism")
    _check_picture_options(parser, args)
    _check_run(parser, args, (("--manifest", args.manifest), ("--edl", args.edl),
                              ("--otio", args.otio), ("--stats", args.stats),
                              ("--report", args.report)))
    jobs = _jobs(args)
    runner: Callable[[_FrameProgress], Iterator[tuple[int, Outcome]]]
    if args.dask:
        try:
            from velmar_cli.dask_fanout import run_on_cluster
        except ImportError:
            parser.error("--dask needs Dask: pip install 'velmar[dask]'")
        runner = lambda bar: run_on_cluster(args.dask, jobs)  # noqa: E731
    else:
        runner = lambda bar: _run_local(jobs, args.jobs, bar)  # noqa: E731

    report = Report()
    for job in jobs:
        if input_problem(job.video) is None:
            clear_images(job.output_dir)  # what an earlier run left
    outcomes: list[Outcome | None] = [None] * len(jobs)
    signum = _run_jobs(runner, jobs, outcomes, report, args)
    # Only the pictures the manifest lists stay: a video that failed or was
    # cancelled half-way leaves none, -k N leaves those of N scenes.
    for job, outcome in zip(jobs, outcomes):
        keep = frozenset(path for row in outcome.rows
                         for path in [row["path"]] + row.get("pictures", []) if path) \
            if outcome else frozenset()
        clear_images(job.output_dir, keep, outcome.written if outcome else None)
    _write_outputs(args, [o for o in outcomes if o is not None], report)
    if signum is not None:
        finished = sum(outcome is not None for outcome in outcomes)
        report.error("keyframes", f"stopped by {signal.Signals(signum).name}: "
                     f"{finished} of {len(jobs)} videos finished")
        return 128 + signum
    return report.status


def _write_outputs(args: argparse.Namespace, outcomes: list[Outcome],
                   report: Report) -> None:
    """The manifest, edit decision lists, timeline, frame statistics and report of the
    videos that finished, each replacing its file only once it is whole."""
    edls, note = edl_files(args.edl, outcomes) if args.edl else ([], None)
    if note:
        report.warn(args.edl, note)
    writers: list[tuple[str | None, Callable[[Any, str], None]]] = [
        (args.manifest, lambda f, path: _write_manifest(
            f, path, [row for outcome in outcomes for row in outcome.rows])),
        *((edl, lambda f, path, part=part: write_edl(f, _title(path), part))
          for edl, part in edls),
        (args.otio, lambda f, path: write_timeline(f, _title(path), outcomes)),
        (args.stats, lambda f, path: write_stats(f, outcomes)),
        (args.report, lambda f, path: write_report(f, path, outcomes)),
    ]
    for path, write in writers:
        if not path:
            continue
        try:
            write_atomically(path, lambda f, path=path, write=write: write(f, path))
        except OSError as exc:
            report.error(path, exc.strerror or str(exc))
    earlier = earlier_lists(args.edl, [edl for edl, _ in edls]) if args.edl else []
    if earlier:
        # Not removed: nothing says this command wrote them.
        report.warn(args.edl, "an earlier run's edit decision lists are still there: "
                    + ", ".join(earlier))


def _title(path: str) -> str:
    return os.path.splitext(os.path.basename(path))[0] or "velmar"


def _run_jobs(runner: Callable[[_FrameProgress], Iterator[tuple[int, Outcome]]],
              jobs: list[Any], outcomes: list[Outcome | None], report: Report,
              args: argparse.Namespace,
              line: Callable[[Any, Outcome], str] | None = None) -> int | None:
    """Runs the jobs, filling `outcomes` as they finish, and prints each
    finished video's `line` (default: keyframes'). Returns the signal that
    stopped the run early, or None."""
    with _FrameProgress(len(jobs), disable=args.no_progress) as bar, \
            _StopSignals() as signals:
        results = runner(bar)
        try:
            for i, outcome in results:
                # A video counts as finished once it is both recorded and
                # reported; a signal waits until both are done.
                with signals.deferred():
                    outcomes[i] = outcome
                    bar.finish(i, outcome.frames)
                    if outcome.error:
                        report.error(jobs[i].video, outcome.error)
                    if outcome.rows:
                        bar.write((line or _finished_line)(jobs[i], outcome))
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


def _finished_line(job: Job, outcome: Outcome) -> str:
    """``clip.mp4: 12 scenes, 12 pictures in out/clip (3.1 s, 580 frames/s)``."""
    seconds = outcome.seconds
    rate = f", {outcome.frames / seconds:.0f} frames/s" if seconds > 0 else ""
    warnings = "".join(f"; warning: {text}" for text in outcome.warnings)
    return (f"{job.video}: {_count(len(outcome.rows), 'scene')}, "
            f"{_count(outcome.pictures, 'picture')} in {job.output_dir} "
            f"({seconds:.1f} s{rate}){warnings}")


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}{'' if n == 1 else 's'}"


class _FrameProgress:
    """One bar for the whole run on stderr, counting frames over every video
    (off when stderr is not a terminal, or without tqdm). A video's frame
    count joins the total when its scan first reports how many it expects,
    and is corrected to the frames it really had when it ends."""

    def __init__(self, videos: int, *, disable: bool) -> None:
        self._done: dict[int, int] = {}
        self._expected: dict[int, int] = {}
        self._videos = videos
        self._finished = 0
        self._bar: Any = None
        if disable:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self._bar = tqdm(total=0, unit="frame", desc="scenes",
                         file=sys.stderr, disable=None)

    def __enter__(self) -> _FrameProgress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()

    def advance(self, video: int, done: int, expected: int) -> None:
        self._done[video] = done
        self._expected[video] = max(expected, done)
        self._show()

    def finish(self, video: int, frames: int) -> None:
        self._done[video] = self._expected[video] = frames
        self._finished += 1
        self._show()

    def write(self, line: str) -> None:
        """Prints a line of output without tearing the bar."""
        if self._bar is None or self._bar.disable:
            say(line)
            return
        self._bar.clear()
        say(line)
        self._bar.refresh()

    def _show(self) -> None:
        if self._bar is None or self._bar.disable:
            return
        self._bar.total = sum(self._expected.values())
        self._bar.n = sum(self._done.values())
        self._bar.set_postfix_str(f"{self._finished}/{self._videos} videos", refresh=False)
        self._bar.refresh()


def _write_manifest(f: Any, path: str, rows: list[dict[str, Any]],
                    extra: Sequence[str] = ()) -> None:
    """Writes the scene rows as a JSON list of objects or as CSV with a header:
    the keyframes columns, then those of `extra` that some row has."""
    fields = list(MANIFEST_FIELDS) + [name for name in extra if any(name in row for row in rows)]
    rows = [_readable_names(row) for row in rows]
    if os.path.splitext(path)[1].lower() == ".csv":
        writer = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(map(spreadsheet_safe, rows))
    else:
        json.dump(rows, f, indent=1)
        f.write("\n")


def _readable_names(row: dict[str, Any]) -> dict[str, Any]:
    """`row` with its file names (`video`, `path`, and `pictures` when there)
    as valid Unicode: a name whose bytes are not UTF-8 gets U+FFFD for each
    bad byte, and its exact bytes in base64 beside it (`video_bytes`,
    `path_bytes`, and `pictures_bytes` for every picture; JSON only)."""
    row = dict(row)
    for key in ("video", "path", "part"):
        name = row.get(key)
        if name is not None and readable(name) != name:
            row[key] = readable(name)
            row[f"{key}_bytes"] = _base64(name)
    pictures = row.get("pictures", [])
    if any(readable(name) != name for name in pictures):
        row["pictures"] = [readable(name) for name in pictures]
        row["pictures_bytes"] = [_base64(name) for name in pictures]
    return row


def _base64(name: str) -> str:
    return base64.b64encode(os.fsencode(name)).decode("ascii")


# --- split -------------------------------------------------------------------


def _split(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    detection = [option for option, value in (
        ("--threshold", args.threshold), ("--min-scene-len", args.min_scene_len),
        ("--sensitivity", args.sensitivity), ("--start", args.start), ("--end", args.end))
        if value is not None]
    if args.scenes and detection:
        parser.error(f"--scenes gives the scenes; {detection[0]} would find them")
    by_video = None
    if args.scenes:
        try:
            by_video = read_scenes(args.scenes)
        except (OSError, ValueError, UnicodeDecodeError) as exc:
            parser.error(f"--scenes {args.scenes}: {getattr(exc, 'strerror', None) or exc}")
    _check_run(parser, args, (("--manifest", args.manifest),))
    jobs = [SplitJob(video=video, output_dir=args.output, name=name, copy=args.copy,
                     rows=None if by_video is None else tuple(scenes_of(video, by_video) or ()),
                     threshold=args.threshold, scan=_scan_options(args))
            for video, name in zip(args.videos, _names(args.videos))]
    report = Report()
    for job in jobs:
        if job.rows == ():
            report.error(job.video, f"no scenes of it in {args.scenes}")
    jobs = [job for job in jobs if job.rows != ()]
    outcomes: list[Outcome | None] = [None] * len(jobs)
    signum = _run_jobs(lambda bar: _run_local(jobs, args.jobs, bar, run_split), jobs, outcomes,
                       report, args, finished_line)
    if args.manifest:
        rows = [row for outcome in outcomes if outcome is not None for row in outcome.rows]
        try:
            write_atomically(args.manifest, lambda f: _write_manifest(f, args.manifest, rows,
                                                                      PART_FIELDS))
        except OSError as exc:
            report.error(args.manifest, exc.strerror or str(exc))
    if signum is not None:
        return 128 + signum
    return report.status


# --- info --------------------------------------------------------------------


def _info(args: argparse.Namespace) -> int:
    import velmar

    info: dict[str, Any] = dict(velmar.get_system_info())
    info["cpu_features"] = velmar.VideoKeyframeExtractor().get_cpu_features()
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
    return 0
