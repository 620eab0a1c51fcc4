"""``velmar index``: add to, search and count a memory index file."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import warnings
from collections.abc import Iterator
from typing import Any

from velmar_cli.files import index_lock
from velmar_cli.report import Report, say


def _open_index(report: Report, path: str, *, may_be_missing: bool = False) -> Any:
    """The index of `path`, or None (reported) when there is no such file and
    it may not be missing, or when the file exists but does not load: the
    module then starts an empty index with a warning, which becomes the
    command's error, so nothing is added to or saved over an unread file."""
    from velmar.memory import PyMetadataIndex

    if not may_be_missing and not os.path.exists(path):
        report.error(path, "no such file")
        return None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        index = PyMetadataIndex(path)
    for warning in caught:
        # The module's warning that the file did not load carries the reason.
        reason = getattr(warning.message, "reason", None)
        if isinstance(reason, str):
            report.error(path, f"not a readable index file: {reason}")
            return None
    for warning in caught:
        # Anything else the load could not keep (a repeated id, unknown
        # keys) is said, not swallowed.
        report.warn(path, str(warning.message))
    return index


@contextlib.contextmanager
def _locked_index(report: Report, path: str, *, exclusive: bool,
                  may_be_missing: bool = False) -> Iterator[Any]:
    """The index of `path` under its lock, or None when reported unusable.
    A writer holds the exclusive lock from load to save: a second run waits,
    then loads what this one saved, so neither loses the other's entries."""
    if not may_be_missing and not os.path.exists(path):
        report.error(path, "no such file")
        yield None
        return
    with contextlib.ExitStack() as stack:
        try:
            stack.enter_context(index_lock(path, exclusive=exclusive))
        except OSError as exc:
            report.error(path + ".lock", exc.strerror or str(exc))
            yield None
            return
        yield _open_index(report, path, may_be_missing=may_be_missing)


def index_stats(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    report = Report()
    with _locked_index(report, args.file, exclusive=False) as index:
        if index is None:
            return report.status
        stats = index.stats()
    if args.json:
        say(json.dumps(stats, indent=2, sort_keys=False))
        return 0
    for key, value in stats.items():
        if key != "types_dist":
            say(f"{key}: {value}")
    say("types_dist:")
    for memory_type, count in sorted(stats["types_dist"].items()):
        say(f"  {memory_type}: {count}")
    return 0


def index_search(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    strict_only = {"--keyword": args.keywords, "--tag": args.tags,
                   "--importance-min": args.importance_min,
                   "--importance-max": args.importance_max}
    if args.flexible:
        given = [name for name, value in strict_only.items() if value is not None]
        if given:
            parser.error(f"{', '.join(given)} cannot be used with --flexible")
    query: dict[str, Any] = {}
    for key, value in (("user_id", args.user), ("memory_types", args.types),
                       ("subjects", args.subjects), ("keywords", args.keywords),
                       ("tags", args.tags), ("importance_min", args.importance_min),
                       ("importance_max", args.importance_max), ("created_after", args.after),
                       ("created_before", args.before), ("limit", args.limit)):
        if value is not None:
            query[key] = value

    report = Report()
    with _locked_index(report, args.file, exclusive=False) as index:
        if index is None:
            return report.status
        ids = index.search_flexible(query) if args.flexible else index.search_strict(query)
    if args.json:
        say(json.dumps(ids))
    else:
        for memory_id in ids:
            say(memory_id)
    return 0


def _unstorable(value: Any) -> bool:
    """Whether `value` holds text that has no UTF-8 form (a lone surrogate,
    which JSON's \\ud800 escapes can make): such text cannot be stored."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return True
        return False
    if isinstance(value, dict):
        return any(_unstorable(k) or _unstorable(v) for k, v in value.items())
    if isinstance(value, list):
        return any(_unstorable(v) for v in value)
    return False


# The keys of an index entry; any other key of a line is ignored.
ENTRY_KEYS = frozenset((
    "memory_id", "user_id", "memory_type", "subjects", "objects", "keywords", "tags",
    "importance", "confidence", "created_at", "access_count", "chat_id", "content_preview"))

_BOM = b"\xef\xbb\xbf"

# Unknown keys named one by one; a file of many (say, a key per line) gets
# a count of the rest rather than a warning for each.
_UNKNOWN_KEYS_NAMED = 20


def _entry_of(report: Report, where: str, line: bytes) -> dict[str, Any] | None:
    """The entry a line holds, or None (reported unless the line is blank)."""
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as exc:
        report.error(where, f"not valid UTF-8 (byte 0x{line[exc.start]:02x} at position "
                     f"{exc.start + 1} of the line)")
        return None
    if not text.strip():
        return None
    try:
        entry = json.loads(text)
        memory_id = entry.get("memory_id") if isinstance(entry, dict) else None
        if not isinstance(memory_id, str) or not memory_id:
            report.error(where, "not an object with a non-empty string memory_id")
            return None
        if _unstorable(entry):
            report.error(where, "holds text that is not valid Unicode (a lone "
                         "surrogate escape) and cannot be stored")
            return None
    except json.JSONDecodeError as exc:
        report.error(where, f"not valid JSON ({exc.msg})")
        return None
    except RecursionError:  # from the parser, or from _unstorable's walk
        report.error(where, "nested too deeply")
        return None
    return entry


def _read_entries(report: Report, path: str) -> list[dict[str, Any]] | None:
    """The entries of a JSON Lines file; each line that cannot be stored is
    reported with its number and left out, and each key that is not an
    entry's is named once, with the first line that has it. None when the
    file cannot be read."""
    entries: list[dict[str, Any]] = []
    unknown: dict[str, list[int]] = {}  # key: [first line, lines with it]
    try:
        with open(path, "rb") as f:
            for number, line in enumerate(f, start=1):
                # Some editors start a UTF-8 file with a byte order mark.
                entry = _entry_of(report, f"{path}:{number}",
                                  line.removeprefix(_BOM) if number == 1 else line)
                if entry is None:
                    continue
                for key in entry:
                    if key not in ENTRY_KEYS:
                        unknown.setdefault(key, [number, 0])[1] += 1
                entries.append(entry)
    except OSError as exc:
        report.error(path, exc.strerror or str(exc))
        return None
    for key, (first, lines) in list(unknown.items())[:_UNKNOWN_KEYS_NAMED]:
        more = f" (also on {lines - 1} later line{'s' if lines > 2 else ''})" if lines > 1 else ""
        report.warn(f"{path}:{first}", f"unknown key {json.dumps(key)} ignored{more}")
    if len(unknown) > _UNKNOWN_KEYS_NAMED:
        report.warn(path, f"{len(unknown) - _UNKNOWN_KEYS_NAMED} more unknown keys ignored")
    return entries


def _saved(report: Report, path: str, index: Any) -> bool:
    """Saves `index`; when that fails, reports why and returns False. The
    reason is the operating system's where there is one ("Permission
    denied"), read from the kind of error the save kept."""
    if index.save():
        return True
    error = index.last_save_error
    reason = os.strerror(error.errno) if isinstance(error, OSError) and error.errno else str(error)
    report.error(path, f"could not be written: {reason}")
    return False


def index_add(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    report = Report()
    entries = _read_entries(report, args.entries)
    if entries is None:
        return report.status
    with _locked_index(report, args.file, exclusive=True, may_be_missing=True) as index:
        if index is None:
            return report.status
        before = index.stats()["total"]
        stored = index.batch_add(entries)
        if not _saved(report, args.file, index):
            return report.status
        total = index.stats()["total"]
    # An entry whose memory_id the index (or an earlier line) already held
    # replaces that entry rather than adding one.
    added = total - before
    replaced = f", replaced {stored - added}" if stored > added else ""
    say(f"{args.file}: added {added} {'entry' if added == 1 else 'entries'}{replaced}, "
        f"{total} in total")
    return report.status


def index_get(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    """Prints the entries of the given ids, one JSON object a line, in the
    order asked; an id the index does not hold is reported."""
    report = Report()
    with _locked_index(report, args.file, exclusive=False) as index:
        if index is None:
            return report.status
        entries = [(memory_id, index.get(memory_id)) for memory_id in args.ids]
    for memory_id, entry in entries:
        if entry is None:
            report.error(args.file, f"no entry {json.dumps(memory_id)}")
        else:
            say(json.dumps(entry))
    return report.status


def index_delete(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    """Deletes the entries of the given ids, or every entry of --user, under
    the exclusive lock from load to save."""
    if bool(args.ids) == (args.user is not None):
        parser.error("give either entry ids or --user, not both" if args.ids
                     else "give the ids of the entries to delete, or --user")
    if args.user == "":
        parser.error("--user must not be empty")
    report = Report()
    with _locked_index(report, args.file, exclusive=True) as index:
        if index is None:
            return report.status
        try:
            if args.user is not None:
                deleted = index.delete_where({"user_id": args.user})
            else:
                deleted = index.delete(list(dict.fromkeys(args.ids)))
        except ValueError as exc:  # a user id the index cannot hold
            report.error(args.file, str(exc))
            return report.status
        if deleted and not _saved(report, args.file, index):
            return report.status
        total = index.stats()["total"]
    say(f"{args.file}: deleted {deleted} {'entry' if deleted == 1 else 'entries'}, "
        f"{total} left")
    return report.status
