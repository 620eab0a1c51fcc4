"""Files the command writes and shares: atomic replacement and index locks."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import itertools
import os
import stat
from collections.abc import Callable, Iterator
from typing import IO

_counter = itertools.count()


def write_atomically(path: str, write: Callable[[IO[str]], None]) -> None:
    """Replaces the file at `path` with what `write` writes to the text file
    it is given: into a temporary file in the same directory, fsynced, then
    renamed over `path`, and the directory fsynced. Until the rename the old
    file is untouched, so a full disk or an error in `write` leaves it whole;
    the temporary file is removed on every failure. Raises OSError."""
    directory = os.path.dirname(path) or "."
    try:
        mode: int | None = stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        mode = None  # a new file: the umask decides, as for any other
    temp, fd = _open_temp(path)
    try:
        # A file name that is not UTF-8 (held as surrogate escapes) is
        # written back as its own bytes rather than failing the write.
        with open(fd, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
            if mode is not None:  # the file it replaces keeps its mode (600 stays 600)
                os.fchmod(f.fileno(), mode)
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise
    _sync_directory(directory)


def readable(name: str) -> str:
    """`name` as valid Unicode: each byte of a file name that is not UTF-8
    (held as a surrogate escape) becomes U+FFFD, so that a text file naming
    it stays valid UTF-8."""
    if name.isascii():
        return name
    return os.fsencode(name).decode("utf-8", "replace")


def check_writable(path: str) -> None:
    """Raises OSError (naming the reason) when `write_atomically` could not
    write `path`: its directory missing or not writable, or `path` itself a
    directory. Checked before a long run, so that it fails at once."""
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    temp, fd = _open_temp(path)
    os.close(fd)
    os.unlink(temp)


def _open_temp(path: str) -> tuple[str, int]:
    """A new file beside `path`, open for writing: its name and descriptor."""
    temp = os.path.join(os.path.dirname(path) or ".",
                        f".{os.path.basename(path)[:200]}.{os.getpid()}.{next(_counter)}.tmp")
    return temp, os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)


def _sync_directory(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return  # a directory we may write but not read: nothing more to ask for
    try:
        os.fsync(fd)
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.EROFS):
            raise
    finally:
        os.close(fd)


@contextlib.contextmanager
def index_lock(path: str, *, exclusive: bool) -> Iterator[None]:
    """Holds a lock on "<path>.lock" beside the index file: exclusive for a
    run that loads, changes and saves the index, shared for one that only
    reads it. So two runs that add entries never save over each other's,
    and a reader never sees a half-done change. Where the lock file cannot
    be made (a directory we may not write, which no other writer can save
    into either), the index is used without it."""
    lock_path = path + ".lock"
    try:
        fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        if exc.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
            raise
        try:
            fd = os.open(lock_path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            yield
            return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
        yield
    finally:
        os.close(fd)  # releases the lock
