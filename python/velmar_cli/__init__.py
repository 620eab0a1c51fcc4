"""The ``velmar`` command: keyframes of many videos, the memory index, system info.

Exit status: 0 when everything succeeded, 1 when some input failed (the
others are still processed), 2 for a usage error. Errors go to standard
error and name the file they concern.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from typing import Any

from velmar_cli.keyframes import MANIFEST_FIELDS, Job, failed, run_job

__all__ = ["main"]

DEFAULT_KEYFRAMES = 10


class _Report:
    """Collects failures: each goes to stderr at once, and any one makes the exit status 1."""

    def __init__(self) -> None:
        self.failed = False

    def error(self, where: str, message: str) -> None:
        self.failed = True
        print(f"velmar: {where}: {message}", file=sys.stderr)

    @property
    def status(self) -> int:
        return 1 if self.failed else 0


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


def _build_parser() -> argparse.ArgumentParser:
    from velmar import get_system_info

    parser = argparse.ArgumentParser(
        prog="velmar", description="Keyframe extraction and the memory metadata index.")
    parser.add_argument("--version", action="version",
                        version=f"velmar {get_system_info()['version']}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    kf = commands.add_parser("keyframes", help="extract keyframe images from videos",
                             description="Extract keyframe images from videos. The images of "
                             "each video go to DIR/<video name>/keyframe_001.jpg, ...")
    kf.add_argument("videos", nargs="+", metavar="VIDEO")
    kf.add_argument("-o", "--output", required=True, metavar="DIR", help="output directory")
    pick = kf.add_mutually_exclusive_group()
    pick.add_argument("-k", "--keyframes", type=_non_negative_int, metavar="N",
                      help=f"keep the N frames that differ most (default {DEFAULT_KEYFRAMES})")
    pick.add_argument("--threshold", type=float, metavar="T",
                      help="keep every frame whose mean absolute difference from the frame "
                      "before is at least T (0-255)")
    kf.add_argument("--min-scene-len", type=_positive_int, metavar="FRAMES",
                    help="with --threshold, frames between two cuts (default: the scanner's)")
    kf.add_argument("-j", "--jobs", type=_positive_int, default=1, metavar="N",
                    help="videos processed at once, in separate processes (default 1)")
    kf.add_argument("--manifest", metavar="FILE",
                    help="write one row per keyframe to FILE (.json or .csv)")
    kf.add_argument("--dask", metavar="ADDRESS",
                    help="run one task per video on the Dask scheduler at ADDRESS "
                    "(e.g. tcp://host:8786); needs the 'dask' extra")
    kf.add_argument("--ffmpeg", default="ffmpeg", metavar="PATH", help="ffmpeg program")
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
    search.add_argument("--importance-min", type=int, metavar="N", help="strict search only")
    search.add_argument("--importance-max", type=int, metavar="N", help="strict search only")
    search.add_argument("--after", type=float, metavar="TIME",
                        help="created at or after TIME (seconds since the epoch)")
    search.add_argument("--before", type=float, metavar="TIME",
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
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the ``velmar`` command with `argv` (default: ``sys.argv[1:]``); returns the exit status."""
    parser = _build_parser()
    args = parser.parse_args(argv)
    if args.command == "keyframes":
        return _keyframes(parser, args)
    if args.command == "info":
        return _info(args)
    return {"stats": _index_stats, "search": _index_search, "add": _index_add}[
        args.index_command](parser, args)


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
                        min_scene_len=args.min_scene_len))
    return jobs


def _run_local(jobs: list[Job], workers: int) -> Iterator[tuple[int, dict[str, Any]]]:
    if workers == 1 or len(jobs) == 1:
        for i, job in enumerate(jobs):
            yield i, run_job(job.as_dict())
        return
    with ProcessPoolExecutor(max_workers=min(workers, len(jobs))) as pool:
        futures = {pool.submit(run_job, job.as_dict()): i for i, job in enumerate(jobs)}
        for future in as_completed(futures):
            i = futures[future]
            try:
                yield i, future.result()
            except Exception as exc:  # the worker process died
                yield i, failed(jobs[i], exc)


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

    report = _Report()
    outcomes: list[dict[str, Any] | None] = [None] * len(jobs)
    with _progress_bar(len(jobs), disable=args.no_progress) as bar:
        try:
            for i, outcome in runner():
                outcomes[i] = outcome
                bar.set_postfix_str(os.path.basename(jobs[i].video), refresh=False)
                bar.update(1)
                if outcome["error"]:
                    bar.clear()
                    report.error(jobs[i].video, outcome["error"])
        except OSError as exc:  # the cluster could not be reached
            bar.close()
            report.error(args.dask or "keyframes", str(exc))
            return report.status

    rows = [row for outcome in outcomes if outcome for row in outcome["rows"]]
    for job, done in zip(jobs, outcomes):
        if done and not done["error"]:
            print(f"{job.video}: {len(done['rows'])} keyframes in {job.output_dir}")
    if args.manifest:
        try:
            write_manifest(args.manifest, rows)
        except OSError as exc:
            report.error(args.manifest, exc.strerror or str(exc))
    return report.status


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


def write_manifest(path: str, rows: list[dict[str, Any]]) -> None:
    """Writes the keyframe rows as a JSON list of objects or as CSV with a header."""
    if os.path.splitext(path)[1].lower() == ".csv":
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.DictWriter(f, fieldnames=MANIFEST_FIELDS)
            writer.writeheader()
            writer.writerows(rows)
    else:
        with open(path, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=1)
            f.write("\n")


# --- index -------------------------------------------------------------------


def _open_index(report: _Report, path: str, *, may_be_missing: bool = False) -> Any:
    """The index of `path`, or None (reported) when the file exists but does
    not load. The module loads such files silently as empty indexes."""
    from velmar.memory import PyMetadataIndex

    if not os.path.exists(path):
        if may_be_missing:
            return PyMetadataIndex(path)
        report.error(path, "no such file")
        return None
    index = PyMetadataIndex(path)
    if index.stats()["total"] == 0 and not _holds_empty_list(path):
        report.error(path, "not a readable index file")
        return None
    return index


def _holds_empty_list(path: str) -> bool:
    try:
        if os.path.getsize(path) > 4096:
            return False
        with open(path, "rb") as f:
            return f.read().strip() == b"[]"
    except OSError:
        return False


def _index_stats(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    report = _Report()
    index = _open_index(report, args.file)
    if index is None:
        return report.status
    stats = index.stats()
    if args.json:
        print(json.dumps(stats, indent=2, sort_keys=False))
        return 0
    for key, value in stats.items():
        if key != "types_dist":
            print(f"{key}: {value}")
    print("types_dist:")
    for memory_type, count in sorted(stats["types_dist"].items()):
        print(f"  {memory_type}: {count}")
    return 0


def _index_search(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    strict_only = {"--keyword": args.keywords, "--tag": args.tags,
                   "--importance-min": args.importance_min,
                   "--importance-max": args.importance_max}
    if args.flexible:
        given = [name for name, value in strict_only.items() if value is not None]
        if given:
            parser.error(f"{', '.join(given)} cannot be used with --flexible")
    for name in ("importance_min", "importance_max"):
        value = getattr(args, name)
        if value is not None and not 0 <= value <= 255:
            parser.error(f"--{name.replace('_', '-')} must be from 0 to 255")
    query: dict[str, Any] = {}
    for key, value in (("user_id", args.user), ("memory_types", args.types),
                       ("subjects", args.subjects), ("keywords", args.keywords),
                       ("tags", args.tags), ("importance_min", args.importance_min),
                       ("importance_max", args.importance_max), ("created_after", args.after),
                       ("created_before", args.before), ("limit", args.limit)):
        if value is not None:
            query[key] = value

    report = _Report()
    index = _open_index(report, args.file)
    if index is None:
        return report.status
    ids = index.search_flexible(query) if args.flexible else index.search_strict(query)
    if args.json:
        print(json.dumps(ids))
    else:
        for memory_id in ids:
            print(memory_id)
    return 0


def _index_add(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    report = _Report()
    entries: list[dict[str, Any]] = []
    try:
        with open(args.entries, encoding="utf-8") as f:
            for number, line in enumerate(f, start=1):
                if not line.strip():
                    continue
                where = f"{args.entries}:{number}"
                try:
                    entry = json.loads(line)
                except json.JSONDecodeError as exc:
                    report.error(where, f"not valid JSON ({exc.msg})")
                    continue
                memory_id = entry.get("memory_id") if isinstance(entry, dict) else None
                if not isinstance(memory_id, str) or not memory_id:
                    report.error(where, "not an object with a non-empty string memory_id")
                    continue
                entries.append(entry)
    except (OSError, UnicodeDecodeError) as exc:
        report.error(args.entries, getattr(exc, "strerror", None) or str(exc))
        return report.status

    index = _open_index(report, args.file, may_be_missing=True)
    if index is None:
        return report.status
    added = index.batch_add(entries)
    if not index.save():
        report.error(args.file, "could not be written")
        return report.status
    print(f"{args.file}: added {added} entries, {index.stats()['total']} in total")
    return report.status


# --- info --------------------------------------------------------------------


def _info(args: argparse.Namespace) -> int:
    import velmar

    info: dict[str, Any] = dict(velmar.get_system_info())
    info["cpu_features"] = velmar.VideoKeyframeExtractor().get_cpu_features()
    info["scanner"] = hasattr(velmar, "scan_video")
    info["python"] = sys.version.split()[0]
    if args.json:
        print(json.dumps(info, indent=2))
        return 0
    print(f"velmar {info['version']} (Python {info['python']})")
    print(f"worker threads: {info['threads']}")
    print(f"AVX2: {'yes' if info['avx2_supported'] else 'no'}, "
          f"SSE2: {'yes' if info['sse2_supported'] else 'no'}")
    features = info["cpu_features"]
    print("processor features: " + (" ".join(sorted(k for k, v in features.items() if v)) or "none"))
    print(f"single-pass scanner: {'yes' if info['scanner'] else 'no'}")
    return 0
