"""An in-memory, thread-safe metadata index of agent memories: batch insertion from
dicts, strict and scored search, statistics, and one JSON file to save to."""

import os
from collections.abc import Sequence
from typing import TypedDict

from typing_extensions import Required, Self, disjoint_base

__all__ = ["PyMetadataIndex"]

class MemoryEntry(TypedDict, total=False):
    """One memory for ``batch_add``. Only ``memory_id`` is required; a missing or unusable
    value takes its default (importance and confidence 2, created_at now)."""

    memory_id: Required[str]
    user_id: str
    memory_type: str
    subjects: list[str] | str
    objects: list[str] | str
    keywords: list[str] | str
    tags: list[str] | str
    importance: int
    confidence: int
    created_at: float
    access_count: int
    chat_id: str
    content_preview: str

class StoredEntry(TypedDict):
    """One stored memory as ``get`` and ``get_many`` return it: the thirteen keys of the
    index file, every one present; an absent chat_id or content_preview is None."""

    memory_id: str
    user_id: str
    memory_type: str
    subjects: list[str]
    objects: list[str]
    keywords: list[str]
    tags: list[str]
    importance: int
    confidence: int
    created_at: float
    access_count: int
    chat_id: str | None
    content_preview: str | None

class StrictQuery(TypedDict, total=False):
    """Filters of ``search_strict``; each one given must hold. Subjects and keywords match
    loosely (lowercase, either contains the other); tags exactly."""

    user_id: str | None
    memory_types: Sequence[str]
    subjects: Sequence[str]
    keywords: Sequence[str]
    tags: Sequence[str]
    importance_min: int
    importance_max: int
    created_after: float
    created_before: float
    limit: int

class FlexibleQuery(TypedDict, total=False):
    """Query of ``search_flexible``: owner and time window are hard conditions; type and
    subjects (also compared with objects) are scored."""

    user_id: str | None
    memory_types: Sequence[str]
    subjects: Sequence[str]
    created_after: float
    created_before: float
    limit: int

class DeletionQuery(TypedDict, total=False):
    """Conditions of ``delete_where``: those of ``search_strict`` without ``limit``. At
    least one must be given, and each must be usable (no None, no empty list)."""

    user_id: str
    memory_types: Sequence[str]
    subjects: Sequence[str]
    keywords: Sequence[str]
    tags: Sequence[str]
    importance_min: int
    importance_max: int
    created_after: float
    created_before: float

class IndexStats(TypedDict):
    """What ``stats()`` reports: entry count, key counts of the four secondary indexes,
    and the number of entries listed under each memory type."""

    total: int
    types_indexed: int
    subjects_indexed: int
    keywords_indexed: int
    tags_indexed: int
    types_dist: dict[str, int]

@disjoint_base
class PyMetadataIndex:
    """The metadata index. Given a path, it loads that JSON file if it can (starting empty
    otherwise, with a UserWarning when the file exists, whose ``path`` and ``reason``
    attributes say which file and why) and ``save()`` writes back to it.
    A load that must leave something out (a repeated ``memory_id``, keys beyond the
    thirteen, an empty ``memory_id``) warns too, and the first ``save()`` keeps the original
    as ``<path>.unreadable``. ``save()`` holds ``<path>.lock`` and keeps a version another
    writer saved since as ``<path>.replaced``, with a UserWarning."""

    def __new__(
        cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None
    ) -> Self:
        """Open an index, bound to the file ``path`` when one is given (a str, bytes or
        os.PathLike, encoded as os.fsencode does; a NUL in it raises ValueError)."""

    def batch_add(self, entries: list[MemoryEntry]) -> int:
        """Store each dict that has a usable ``memory_id`` (a later one with the same id
        replaces the earlier); returns how many were stored."""

    def get(self, memory_id: str) -> StoredEntry | None:
        """The entry stored under ``memory_id``, or None."""

    def get_many(self, memory_ids: Sequence[str]) -> list[StoredEntry]:
        """The entries stored under ``memory_ids``, in that order; unknown ids are left out."""

    def delete(self, memory_ids: Sequence[str]) -> int:
        """Remove the entries stored under ``memory_ids`` (not a str alone); returns how many."""

    def delete_where(self, params: DeletionQuery) -> int:
        """Remove every entry ``search_strict(params)`` finds, with no limit; returns how
        many. Raises ValueError, removing nothing, for an unknown key, an unusable value
        (a list of only empty texts included) or no condition at all; for a key, its ``key``
        and ``known_keys`` attributes name the key and the conditions there are. An entry's
        empty subject or keyword never matches."""

    def search_strict(self, params: StrictQuery) -> list[str]:
        """Ids of the entries passing every given filter, newest first, at most ``limit`` (100).
        An unknown key is ignored with a UserWarning whose ``key`` and ``known_keys``
        attributes name it and the keys there are."""

    def search_flexible(self, params: FlexibleQuery) -> list[str]:
        """Ids of the entries scoring at least 2.0, best first, then newest, at most ``limit`` (100)."""

    def stats(self) -> IndexStats:
        """Counts of the store and of its secondary indexes."""

    def save(self) -> bool:
        """Write the whole index to its file; ``False`` when it has no path or the file could
        not be written (``last_save_error`` says why)."""

    @property
    def last_save_error(self) -> Exception | None:
        """Why the last ``save()`` returned False, as an exception of its kind, not raised:
        ``PermissionError``, ``FileNotFoundError`` or another ``OSError`` (with ``errno``),
        ``ValueError`` (no path, or not a file path) or ``MemoryError``. None before any
        ``save()`` and after one that returned True."""
