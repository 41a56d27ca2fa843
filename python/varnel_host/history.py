"""The numbered result sets: every run that finds hits and writes its report
gets the next number, kept with its command in the product folder, so that a
later command can name it (#3 AND #5) after a restart too. A set is its
command: #k runs that command again on the collection as it is now (after an
import, the set may hold new records).

One JSON object per line: {"number", "command", "total", "time"}. The file
keeps the newest KEEP runs: a number that makes it longer rewrites it without
the oldest (a temporary file put in its place, so a crash leaves the old or
the new file, never half of one). A line that cannot be read (a file cut
short by a crash, damaged bytes) is passed over and counted, so that the run
can say so once.

Several windows (worker processes) may number runs at the same time: reading
the file, and taking the next number with its line, happen under an
operating-system lock on the file beside it (history.jsonl.lock, through the
filelock library, which uses flock on POSIX and msvcrt.locking on Windows).
A worker reads the file once per run (read()) and hands that snapshot to
add(), which reads it again only when another window has changed it since.
"""

from __future__ import annotations

import contextlib
import errno
import json
import logging
import os
import tempfile
from collections import deque
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

import filelock

SHOWN = 50  # entries the "#" listing shows, the newest
KEEP = 1000  # runs the file keeps, the newest; older numbers can no longer be named
LINE_BYTES = 64 * 1024  # a longer line is not one this module wrote (a command has at most 4,000 characters)
LOCK_SECONDS = 10.0  # how long a run waits for another window's numbering before it goes unnumbered

_log = logging.getLogger(__name__)


@dataclass(frozen=True)
class Entry:
    number: int
    command: str
    total: int
    time: str  # "YYYY-MM-DD HH:MM"

    def __str__(self) -> str:
        return f"#{self.number}：{self.command}（{self.total:,} 筆，{self.time}）"

    def line(self) -> bytes:
        item = {"number": self.number, "command": self.command, "total": self.total, "time": self.time}
        # A lone surrogate (a command pasted from a damaged text) becomes its JSON escape \udXXX.
        return json.dumps(item, ensure_ascii=False).encode("utf-8", "backslashreplace") + b"\n"


def _entry(raw: bytes) -> Entry:
    """One line as an Entry; ValueError (or the decoder's own errors) when it is not one."""
    item = json.loads(raw.decode("utf-8"))
    number, command, total, time = item["number"], item["command"], item["total"], item["time"]
    if not (type(number) is int and number > 0 and type(total) is int and total >= 0
            and isinstance(command, str) and command and isinstance(time, str)):
        raise ValueError("not a numbered run")
    return Entry(number, command, total, time)


@dataclass(frozen=True)
class Snapshot:
    """The file as one read found it."""

    entries: tuple[Entry, ...] = ()  # the newest KEEP, oldest first
    count: int = 0  # readable lines in all
    top: int = 0  # the highest number, 0 when there is none
    unreadable: int = 0  # lines passed over
    stamp: tuple[int, int, int] | None = None  # (inode, size, mtime) of the file read; None: no file
    ends_line: bool = True  # the file is empty or ends with a line break

    def sets(self) -> dict[int, str]:
        """number -> command, for query.parse()."""
        return {entry.number: entry.command for entry in self.entries}

    def note(self, path: Path) -> str:
        """The log box's word on the lines passed over ("" when there are none)."""
        if not self.unreadable:
            return ""
        return f"注意：檢索紀錄 {path} 有 {self.unreadable:,} 行已損壞、無法讀取，已略過；其餘的檢索結果編號照常可用"

    def listing(self) -> list[str]:
        """The log box's lines for "#": the newest SHOWN numbered runs."""
        if not self.entries:
            return ["還沒有任何編號的檢索結果：每次找到專利的檢索都會得到一個編號（#1、#2…），可在之後的指令中使用，例如 #1 AND #2"]
        shown = self.entries[-SHOWN:]
        older = [f"（另有 {len(self.entries) - len(shown):,} 筆較早的檢索未列出）"] if len(self.entries) > len(shown) else []
        return older + [str(entry) for entry in shown]


def _stamp(status: os.stat_result) -> tuple[int, int, int]:
    return status.st_ino, status.st_size, status.st_mtime_ns


class History:
    def __init__(self, path: str | os.PathLike[str], keep: int = KEEP):
        self.path = Path(path)
        self.keep = keep
        self._lock = filelock.FileLock(f"{self.path}.lock", timeout=LOCK_SECONDS)

    def _locked(self, required: bool):
        return locked(self._lock, required)

    def read(self) -> Snapshot:
        """The numbered runs; an empty Snapshot when there is no file yet.
        OSError when the file cannot be read (a folder in its place, no rights)."""
        with self._locked(required=False):
            return self._read()

    def _read(self) -> Snapshot:
        try:
            file = self.path.open("rb")
        except FileNotFoundError:
            return Snapshot()
        entries: deque[Entry] = deque(maxlen=self.keep)
        count = top = unreadable = 0
        ends_line = True
        with file:
            stamp = _stamp(os.fstat(file.fileno()))
            while raw := file.readline(LINE_BYTES + 1):
                ends_line = raw.endswith(b"\n")
                if len(raw) > LINE_BYTES and not ends_line:  # pass over the rest of the line too
                    while (rest := file.readline(LINE_BYTES)) and not rest.endswith(b"\n"):
                        pass
                    ends_line, unreadable = bool(rest), unreadable + 1
                    continue
                if not raw.strip():
                    continue
                try:
                    entry = _entry(raw)
                except (ValueError, KeyError, TypeError, OverflowError, RecursionError):
                    unreadable += 1  # UnicodeDecodeError and JSONDecodeError are ValueErrors
                    continue
                entries.append(entry)
                count, top = count + 1, max(top, entry.number)
        if unreadable:
            _log.warning("%d unreadable lines in %s", unreadable, self.path)
        return Snapshot(tuple(entries), count, top, unreadable, stamp, ends_line)

    def entries(self) -> list[Entry]:
        """The newest KEEP numbered runs, oldest first; [] when there is none yet."""
        return list(self.read().entries)

    def sets(self) -> dict[int, str]:
        """number -> command, for query.parse()."""
        return self.read().sets()

    def listing(self) -> list[str]:
        return self.read().listing()

    def add(self, command: str, total: int, now: datetime | None = None, known: Snapshot | None = None) -> int:
        """Number a run that found `total` hits; returns its number. `known`:
        this run's read(), used as it is unless the file has changed since.
        OSError when the file cannot be read or written."""
        stamp = (now or datetime.now()).strftime("%Y-%m-%d %H:%M")
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with self._locked(required=True):
            current = known
            if current is None or current.stamp != self._stamp():
                current = self._read()
            entry = Entry(current.top + 1, command, total, stamp)
            if current.count + 1 > self.keep:
                self._rewrite([*current.entries[len(current.entries) + 1 - self.keep:], entry])
            else:
                with self.path.open("ab") as file:  # a line cut short by a crash keeps to itself
                    file.write((b"" if current.ends_line else b"\n") + entry.line())
        return entry.number

    def _stamp(self) -> tuple[int, int, int] | None:
        try:
            return _stamp(self.path.stat())
        except FileNotFoundError:
            return None

    def _rewrite(self, entries: list[Entry]) -> None:
        """Replace the file by one holding `entries`, at once."""
        replace_file(self.path, b"".join(entry.line() for entry in entries))


@contextlib.contextmanager
def locked(lock: filelock.FileLock, required: bool):
    """Hold `lock`; without `required`, a lock that cannot be made (a
    read-only folder, none at all) lets the caller go on unlocked. A lock
    another window holds past its timeout is OSError EBUSY."""
    try:
        lock.acquire()
    except filelock.Timeout:
        raise OSError(errno.EBUSY, "held by another window", lock.lock_file) from None
    except OSError:
        if required:
            raise
        held = False
    else:
        held = True
    try:
        yield
    finally:
        if held:
            lock.release()


def replace_file(path: Path, data: bytes) -> None:
    """Put a file holding `data` in the place of `path` at once: a crash
    leaves the old file or the new one, never half of one."""
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.stem}-", suffix=".tmp", dir=path.parent)
    try:
        with open(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
