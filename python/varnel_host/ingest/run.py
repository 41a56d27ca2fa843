"""The import run: every file in turn, records written in batches of one
transaction each, a line for every problem and a summary per file.

Three threads share the work, a batch at a time: this one reads and
finishes the records, a second prepares them (store.prepare: segmenting and
compressing, apart from the database), a third writes them
(store.write_batch), the one single writer of the database. A file's
summary waits for its last batch.

A batch that needs stored records (completing.py: claims filling the
records they name; a number met with and without its kind code merged into
one record) is completed, prepared and written on the writing thread, after
the batches before it.

A file that cannot be read is reported and the run goes on with the next;
a database that cannot be written (locked too long, disk full) ends the run,
the batches written before it kept (ImportStopped counts them). Ctrl-C leaves KeyboardInterrupt to the
caller after the current batch's transaction has been rolled back; running
the same import again adds what is missing and counts the rest unchanged.
"""

from __future__ import annotations

import errno
import logging
import sqlite3
import sys
import threading
import time
import zipfile
import zlib
from collections import deque
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

from ..contract import BatchCounts, Cancelled, CheckedBatch, StoreError, import_summary
from ..records import CAPTIONS, PatentRecord, named_numbers
from ..shown import os_reason
from ..terms.mining import refresh
from .base import ClaimsOnly, FileInfo, finish
from .completing import FILL, Completion, Spellings, Tally, complete
from .detect import NUL_NOTE, SNIFF, Source, detect, nul_in, sources
from .formats import UNKNOWN

log = logging.getLogger(__name__)

# Records a transaction: FTS5 writes its index segments at each commit and
# merges them as they pile up; larger transactions make fewer (4,000: a
# third less of the writer's CPU than 1,000 at 100,000 records).
BATCH = 4000
SHOWN_PROBLEMS = 200  # per file; the rest are counted
PLAIN_PROGRESS_SECONDS = 5.0
AHEAD = 2  # batches prepared or written while the next is read
WAIT_SECONDS = 0.2  # a wait for the writing thread wakes this often, so that Ctrl-C is seen (Windows)
# Fields that not every format carries: the summary counts the records that had each.
COUNTED_FIELDS = ("priority", "prd", "cpc", "family", "members", "cites", "status", "doctype", "title_alt", "abstract_alt")
_DISK_FULL_ERRNOS = frozenset((errno.ENOSPC, getattr(errno, "EDQUOT", errno.ENOSPC)))
_SERVER_DISK_FULL = "53100"  # PostgreSQL's SQLSTATE disk_full


class ImportStopped(StoreError):
    """The database could not be written: the run ended, the `kept` records
    of its batches written before the failure stay in the database. Its text
    is the one line that tells the user so."""

    def __init__(self, cause: StoreError, kept: int):
        self.kept = kept
        full = _full_disk(cause)
        if full:
            text = (f"{full}已滿，匯入中止：已寫入並保留 {kept:,} 筆，其餘未匯入；"
                    "請清出空間後再執行同一指令，即可接續完成（已寫入的不會重複）")
        else:
            text = f"資料庫無法使用，匯入停止：{cause}（已寫入並保留 {kept:,} 筆）"
        super().__init__(text)


def _full_disk(error: BaseException | None) -> str:
    """The disk that was full when a write failed ("磁碟", or the database
    server's), from the system's, SQLite's or the server's own answer in the
    chain of causes; "" for another failure."""
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        if isinstance(error, OSError) and error.errno in _DISK_FULL_ERRNOS:
            return "磁碟"
        # SQLite answers a failed write of a full disk as SQLITE_FULL or as an I/O error (the store reads both so)
        if isinstance(error, sqlite3.Error) and (
            getattr(error, "sqlite_errorcode", None) == sqlite3.SQLITE_FULL
            or "disk is full" in str(error) or "disk I/O error" in str(error)
        ):
            return "磁碟"
        if getattr(error, "sqlstate", None) == _SERVER_DISK_FULL:
            return "資料庫伺服器的磁碟"
        error = error.__cause__ or error.__context__
    return ""


@dataclass
class FileOutcome:
    name: str
    info: FileInfo = field(default_factory=FileInfo)
    added: int = 0
    updated: int = 0
    unchanged: int = 0
    skipped: int = 0
    failed: bool = False
    filled: dict[str, int] = field(default_factory=lambda: dict.fromkeys(COUNTED_FIELDS, 0))
    completed: Tally = field(default_factory=Tally)  # claims filled, kind-less copies merged

    @property
    def summary(self) -> str:
        return import_summary(self.added, self.updated, self.unchanged, self.skipped)

    @property
    def fields_line(self) -> str:
        """ "優先權號 130 筆、CPC 130 筆…" for the counted fields some record had, or ""."""
        return "、".join(f"{CAPTIONS[name]} {count} 筆" for name, count in self.filled.items() if count)

    def count(self, record: PatentRecord) -> None:
        for name in COUNTED_FIELDS:
            if getattr(record, name):
                self.filled[name] += 1


class Progress:
    """Records read per second: a rich progress bar on a terminal, else a
    plain line every few seconds."""

    def __init__(self, stream: TextIO):
        self._stream = stream
        self._bar = None
        if stream.isatty():
            from rich.console import Console
            from rich.progress import BarColumn, DownloadColumn, Progress as Bar, TextColumn, TimeRemainingColumn

            self._bar = Bar(
                TextColumn("{task.description}"),
                BarColumn(),
                DownloadColumn(),
                TextColumn("{task.fields[records]} 筆，{task.fields[rate]} 筆/秒"),
                TimeRemainingColumn(),
                console=Console(file=stream),
                transient=True,
            )
        self._task = None
        self._started = self._shown = 0.0

    def __enter__(self) -> Progress:
        if self._bar is not None:
            self._bar.__enter__()
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._bar is not None:
            self._bar.__exit__(*exc_info)

    def start(self, name: str, size: int) -> None:
        self._started = self._shown = time.monotonic()
        if self._bar is not None:
            if self._task is not None:
                self._bar.remove_task(self._task)
            self._task = self._bar.add_task(Path(name).name, total=size or None, records=0, rate=0)

    def update(self, done_bytes: int, records: int) -> None:
        now = time.monotonic()
        rate = int(records / max(now - self._started, 1e-6))
        if self._bar is not None:
            self._bar.update(self._task, completed=done_bytes, records=records, rate=rate)
        elif now - self._shown >= PLAIN_PROGRESS_SECONDS:
            self._shown = now
            print(f"  …已讀 {records} 筆（每秒 {rate} 筆）", file=self._stream, flush=True)


class _Writer:
    """Prepares batches on one thread and writes them on another, each in
    the order handed over; at most AHEAD batches are on their way at once
    (handing over one more waits for the oldest). Once a batch fails, the
    batches after it are not written; the failure (StoreError, a stop by
    Ctrl-C) is raised where the caller waits for that batch: when handing
    over a later one, or in finish()."""

    def __init__(self, store):
        self._store = store
        self._preparing = ThreadPoolExecutor(1, thread_name_prefix="varnel-import-prepare")
        self._writing = ThreadPoolExecutor(1, thread_name_prefix="varnel-import-write")
        self._stopping = threading.Event()
        self._pending: deque[tuple[Future[tuple[BatchCounts, Tally | None]], FileOutcome]] = deque()
        self.kept = 0  # records of the batches written (committed) so far

    def write(self, batch: list[PatentRecord | Completion], outcome: FileOutcome) -> None:
        while len(self._pending) >= AHEAD:
            self._wait()
        if any(isinstance(entry, Completion) for entry in batch):
            # completed from the stored records once the batches before it are written: all on the writing thread
            self._pending.append((self._writing.submit(self._complete, batch), outcome))
            return
        # finish() checked the records: not checked again
        prepared = self._preparing.submit(self._store.prepare, batch, checked=True)
        self._pending.append((self._writing.submit(self._write, prepared), outcome))

    def _write(self, prepared: Future[CheckedBatch]) -> tuple[BatchCounts, Tally | None]:
        """On the writing thread."""
        return self._guarded(lambda: (self._store.write_batch(prepared.result(), cancel=self._stopping.is_set), None))

    def _complete(self, batch: list[PatentRecord | Completion]) -> tuple[BatchCounts, Tally | None]:
        """On the writing thread: the batch completed from the stored records
        and written; the kind-less copies merged into it removed after (a
        stop between the two leaves both, and the next import merges them)."""

        def work() -> tuple[BatchCounts, Tally | None]:
            records, removed, tally = complete(self._store, batch)
            counts = self._store.write_batch(self._store.prepare(records), cancel=self._stopping.is_set)
            if removed:
                self._store.remove(removed)
            return counts, tally

        return self._guarded(work)

    def _guarded(self, work: Callable[[], tuple[BatchCounts, Tally | None]]) -> tuple[BatchCounts, Tally | None]:
        """Run a write on the writing thread; any failure stops the batches after it."""
        if self._stopping.is_set():
            raise Cancelled
        try:
            return work()
        except OSError as error:  # a file the database writes: the run ends as on the store's own failures
            self._stopping.set()
            raise StoreError(f"無法寫入資料庫（{os_reason(error)}）") from error
        except BaseException:
            self._stopping.set()
            raise

    def finish(self) -> None:
        """Wait for every batch handed over, counted into its file."""
        while self._pending:
            self._wait()

    def _wait(self) -> None:
        future, outcome = self._pending[0]
        while True:
            try:
                counts, tally = future.result(WAIT_SECONDS)
                break
            except TimeoutError:
                continue
            finally:
                if future.done():
                    self._pending.popleft()
        outcome.added += counts.added
        outcome.updated += counts.updated
        outcome.unchanged += counts.unchanged
        self.kept += counts.added + counts.updated + counts.unchanged
        if tally is not None:
            outcome.completed.add(tally)
            outcome.skipped += tally.missing
            outcome.failed |= tally.missing > 0

    def close(self, stop: bool) -> None:
        """End the threads; `stop`: the batch being written is rolled back
        (its transaction interrupted), those after it are not written."""
        if stop:
            self._stopping.set()
            while self._pending:
                try:
                    self._wait()
                except Exception:  # Cancelled, or the failure already being raised
                    log.debug("a batch still on its way when the import stopped", exc_info=True)
        self._writing.shutdown(wait=True)
        self._preparing.shutdown(wait=True)


class Importer:
    """Imports paths into a store that has prepare, write_batch, stored,
    remove, only_samples and remove_samples. `say` prints one line of the report."""

    def __init__(self, store, say: Callable[[str], None] = print, progress_stream: TextIO | None = None):
        self.store = store
        self.say = say
        self.progress = Progress(progress_stream if progress_stream is not None else sys.stderr)
        self.outcomes: list[FileOutcome] = []
        self._samples_checked = False
        self._writer: _Writer | None = None
        self._spellings: Spellings | None = None

    def run(self, paths: Sequence[Path]) -> int:
        """Exit status: 0 when every file was imported without a problem.
        ImportStopped when the database could not be written."""
        status = 0
        writer = self._writer = _Writer(self.store)
        self._spellings = Spellings()
        stop = True
        try:
            try:
                with self.progress:
                    for source in sources(list(paths)):
                        if isinstance(source, tuple):
                            self.say(f"{source[0]}：{source[1]}")
                            status = 1
                            continue
                        outcome = self._file(source)
                        if outcome is None:
                            continue
                        self.outcomes.append(outcome)
                        status |= outcome.failed
                stop = False
            finally:
                writer.close(stop)
                self._writer = None
                self._spellings.close()
                self._spellings = None
        except StoreError as error:
            raise ImportStopped(error, writer.kept) from error
        refresh(self.store, self.say, any(outcome.added or outcome.updated for outcome in self.outcomes))
        return status

    def _file(self, source: Source) -> FileOutcome | None:
        outcome = FileOutcome(source.name)
        try:
            with source.open() as binary:
                head = binary.read(SNIFF)
                reader = detect(head)
                if reader is None:
                    if source.named and nul_in(head):
                        self.say(f"{source.name}：{NUL_NOTE}；若是 UTF-16 文字，請另存為 UTF-8 後再匯入")
                    elif source.named:
                        self.say(f"{source.name}：{UNKNOWN}")
                    else:
                        self.say(f"{source.name}：不是可匯入的專利資料格式{'（' + NUL_NOTE + '）' if nul_in(head) else ''}，略過")
                        return None
                    outcome.failed = True
                    return outcome
                binary.seek(0)
                self._read(source, binary, reader, outcome)
        except OSError as error:
            self.say(f"{source.name}：讀取失敗（{os_reason(error)}），這個檔案停止匯入；已寫入的批次保留")
            outcome.failed = True
        except StoreError:
            raise
        except (zipfile.BadZipFile, zlib.error, EOFError):  # an archive member that fails its check or ends early
            log.debug("reading %s failed", source.name, exc_info=True)
            self.say(f"{source.name}：壓縮檔中的這個檔案已損壞（檢查碼不符或內容不完整），這個檔案停止匯入；"
                     "已寫入的批次保留，請重新取得這個壓縮檔")
            outcome.failed = True
        except Exception:  # a file no rule foresaw: the other files still go in
            log.debug("reading %s failed", source.name, exc_info=True)
            self.say(f"{source.name}：讀取時發生未預期的問題，程式無法處理這個檔案的內容，這個檔案停止匯入；"
                     "已寫入的批次保留")
            outcome.failed = True
        return outcome

    def _read(self, source: Source, binary, reader, outcome: FileOutcome) -> None:
        info = outcome.info
        shown = 0
        batch: list[PatentRecord | Completion] = []
        self.progress.start(source.name, source.size)
        read = 0

        def problem(line: int, message: str) -> None:
            nonlocal shown
            outcome.skipped += 1
            outcome.failed = True
            shown += 1
            if shown <= SHOWN_PROBLEMS:
                self.say(f"{source.name} 第 {line} 行：{message}")

        try:
            for line, item in reader(binary, info):
                if not read:
                    self.say(f"{source.name}：{info.format}，編碼 {info.encoding}")
                read += 1
                if isinstance(item, str):
                    problem(line, item)
                    continue
                try:
                    record = finish(item)
                except ValueError as error:
                    problem(line, str(error))
                else:
                    if isinstance(item, ClaimsOnly):
                        batch.append(Completion(FILL, record, record.pn))
                    else:
                        outcome.count(record)
                        batch.append(record)
                if len(batch) >= BATCH:
                    self._write(batch, outcome)
                    batch = []
                if read % 100 == 0:
                    self.progress.update(_position(binary), read)
        except Exception as error:
            if not isinstance(error, StoreError):  # keep what was read before the file failed
                self._write(batch, outcome)
                self._writer.finish()
                self.say(f"{source.name}：{outcome.summary}（至失敗處為止）")
            raise
        self._write(batch, outcome)
        self._writer.finish()
        self.progress.update(source.size, read)
        if not read:
            self.say(f"{source.name}：{info.format or '檔案'}中沒有任何專利紀錄")
        if shown > SHOWN_PROBLEMS:
            self.say(f"{source.name}：另有 {shown - SHOWN_PROBLEMS} 個問題未逐一列出（都已計入略過）")
        for fault in info.faults:
            self.say(f"{source.name}：{fault}")
            outcome.failed = True
        if info.ignored:
            self.say(f"{source.name}：未匯入的欄位：{'、'.join(info.ignored)}")
        for note in info.notes:
            self.say(f"{source.name}：{note}")
        if outcome.fields_line:
            self.say(f"{source.name}：含有以下欄位的紀錄：{outcome.fields_line}")
        self._say_completed(source.name, outcome.completed)
        self.say(f"{source.name}：{outcome.summary}")

    def _say_completed(self, name: str, done: Tally) -> None:
        if done.found:
            self.say(f"{name}：補上專利範圍 {done.filled} 筆"
                     + (f"（另 {done.found - done.filled} 筆與資料庫中的相同）" if done.found > done.filled else ""))
        if done.missing:
            more = f" 等（另有 {done.missing - len(done.named)} 筆）" if done.missing > len(done.named) else ""
            self.say(f"{name}：{done.missing} 筆專利範圍的公開公告號不在資料庫中，未匯入：{named_numbers(done.named)}{more}；"
                     "請先匯入這些專利的書目資料，再匯入這個檔案")
        if done.folded:
            self.say(f"{name}：{done.folded} 筆是本次已匯入、含類別碼之同號紀錄的另一份（如 TWI439543 與 TWI439543B），"
                     "已併入該筆，欄位取兩份中較完整的內容")
        if done.absorbed:
            self.say(f"{name}：{done.absorbed} 筆與本次稍早匯入、沒有類別碼的同號紀錄是同一件，兩份已合併為含類別碼的這一筆，"
                     "欄位取兩份中較完整的內容")

    def _write(self, batch: list[PatentRecord], outcome: FileOutcome) -> None:
        if not batch:
            return
        if not self._samples_checked:
            self._samples_checked = True
            if self.store.only_samples():
                removed = self.store.remove_samples()
                self.say(f"資料庫原本只有 {removed} 筆虛構範例紀錄，已在匯入真實資料前移除")
        self._writer.write(self._spellings.entries(batch), outcome)


def _position(binary) -> int:
    try:
        return binary.tell()
    except (OSError, ValueError):
        return 0


def import_paths(store, paths: Sequence[Path], say: Callable[[str], None] = print) -> int:
    """Import files, folders and .zip archives; returns the exit status."""
    return Importer(store, say).run(paths)
