"""The database check the worker runs before it opens the patent database.

A damaged or emptied database is never used without a word. At start the file
gets a `PRAGMA quick_check`, stopped after QUICK_CHECK_SECONDS on a large file
(the receipt then says the check was partial). A file that fails the check, or
is empty (zero bytes) where a database was, is renamed with the date and time
(never overwriting anything) so the user's data stays on disk, and the worker
runs this session without a database: every run repeats why and what to do,
rather than answering "0 hits" from a fresh database, which would look like a
real result. The next start creates a new database as on first installation
and says where the damaged copy is.

`varnel-host check` and `varnel-host rebuild-index` do the full check and
rebuild the full-text index (store.PatentStore.check / rebuild_index); on a
PostgreSQL server they report and reclaim the postings entries left behind
by records written again or removed (check_server, rebuild_server_index).
"""

from __future__ import annotations

import datetime
import os
import sqlite3
import stat
import time
from collections.abc import Callable
from pathlib import Path

from .contract import StoreError
from .shown import os_reason
from .store import PatentStore

QUICK_CHECK_SECONDS = 3.0
_BEING_MADE_SECONDS = 10.0  # a new SQLite file is empty until its first write
_PROGRESS_STEPS = 1000  # SQLite virtual machine steps between two looks at the clock
_SET_ASIDE = "損壞"  # marks a database renamed after a failed check
_DETAIL_CHARS = 200
_WHAT_TO_DO = (
    "處理方式：若有備份，請關閉視窗，把備份複製為「{path}」後重新開啟；"
    "否則重新開啟視窗會建立新的資料庫，再以 varnel-host import 重新匯入您的資料。"
)


class StartReceipts(list):
    """check_at_start's receipts; `refusal` is set when the database must not be used this session."""

    def __init__(self, notes: list[str] | None = None, refusal: str | None = None) -> None:
        super().__init__(notes or [])
        self.refusal = refusal


def check_at_start(path: str | os.PathLike[str], seconds: float = QUICK_CHECK_SECONDS) -> StartReceipts:
    """Receipts about the database at `path` (empty when it is sound or not made yet)."""
    path = Path(path)
    try:
        info = path.stat()
    except FileNotFoundError:
        return StartReceipts(_earlier_copy_note(path))
    except OSError as error:
        return _refused(f"錯誤：無法讀取專利資料庫「{path}」（{os_reason(error)}），本次無法檢索。")
    if not stat.S_ISREG(info.st_mode):
        return _refused(f"錯誤：專利資料庫的位置「{path}」不是一般檔案，本次無法檢索；請移除它後重新開啟視窗。")
    if info.st_size == 0:
        if time.time() - info.st_mtime < _BEING_MADE_SECONDS:
            return StartReceipts()  # another process (an import) is creating it this moment
        return _set_aside(path, "資料庫檔案是空的（0 位元組），原有的資料已不在檔案中；未自動填入範例資料")
    try:
        problems = quick_check(path, seconds)
    except _Interrupted:
        return StartReceipts([
            f"注意：資料庫較大，啟動時的快速檢查在 {seconds:g} 秒內只完成一部分，已停止，結果不完整。"
            "要完整檢查，請關閉視窗後執行 varnel-host check。"
        ])
    except sqlite3.Error as error:  # busy, locked, unreadable: not proof of damage
        return StartReceipts([f"注意：啟動時無法檢查資料庫（{error}），已略過檢查。"])
    if problems:
        return _set_aside(path, f"資料庫檢查發現損壞（{'；'.join(problems)[:_DETAIL_CHARS]}）")
    return StartReceipts()


class _Interrupted(Exception):
    pass


def quick_check(path: Path, seconds: float) -> list[str]:
    """PRAGMA quick_check's findings (empty when sound). Raises _Interrupted after `seconds`,
    sqlite3.Error when the file cannot be checked at all (busy, unreadable)."""
    connection = sqlite3.connect(f"{path.resolve().as_uri()}?mode=rw", uri=True, timeout=5)
    deadline = time.monotonic() + seconds
    connection.set_progress_handler(lambda: time.monotonic() >= deadline, _PROGRESS_STEPS)
    try:
        rows = connection.execute("PRAGMA quick_check").fetchall()
    except sqlite3.DatabaseError as error:
        if getattr(error, "sqlite_errorname", "") == "SQLITE_INTERRUPT":
            raise _Interrupted from error
        if _is_damage(error):
            return [str(error)]
        raise
    finally:
        connection.close()
    return [] if rows == [("ok",)] else [str(row[0]) for row in rows]


def _set_aside(path: Path, finding: str) -> StartReceipts:
    """Rename the database (and its journal files) with the date; receipts and the refusal."""
    try:
        kept = set_aside(path)
    except OSError as error:
        where = f"檔案無法改名（{os_reason(error)}），仍留在「{path}」"
    else:
        where = f"原檔已改名保存為「{kept}」，不會被覆寫"
    refusal = "本次不使用資料庫，檢索無法進行。" + _WHAT_TO_DO.format(path=path)
    return StartReceipts([f"錯誤：{finding}。{where}。"], refusal)


def _refused(note: str) -> StartReceipts:
    return StartReceipts([note], note.removeprefix("錯誤："))


def set_aside(path: Path, now: datetime.datetime | None = None) -> Path:
    """Rename `path` to `<stem>.損壞-<date>-<time>[-n]<suffix>`, never replacing a file; the
    -wal and -shm files beside it follow under the same name. Returns the new path."""
    stamp = (now or datetime.datetime.now()).strftime("%Y%m%d-%H%M%S")
    for attempt in range(1, 100):
        counter = "" if attempt == 1 else f"-{attempt}"
        target = path.with_name(f"{path.stem}.{_SET_ASIDE}-{stamp}{counter}{path.suffix}")
        companions = [target, *(Path(f"{target}{tail}") for tail in ("-wal", "-shm"))]
        if any(os.path.lexists(name) for name in companions):
            continue
        _rename_new(path, target)
        for tail in ("-wal", "-shm"):
            if os.path.lexists(f"{path}{tail}"):
                _rename_new(Path(f"{path}{tail}"), Path(f"{target}{tail}"))
        return target
    raise FileExistsError(f"找不到可用的新檔名：{path}")


def _rename_new(source: Path, target: Path) -> None:
    # os.link fails when the target exists, so nothing is ever replaced; where the
    # file system has no hard links, rename (the target was just seen missing).
    try:
        os.link(source, target)
    except FileExistsError:
        raise
    except OSError:
        os.rename(source, target)
        return
    os.unlink(source)


def _earlier_copy_note(path: Path) -> list[str]:
    """When a new database is about to be made, where an earlier damaged one was kept."""
    copies = sorted(path.parent.glob(f"{path.stem}.{_SET_ASIDE}-*{path.suffix}"))
    if not copies:
        return []
    return [f"注意：將建立新的資料庫；先前發現損壞的資料庫仍保存在「{copies[-1]}」。"]


class Unusable(Exception):
    """The database file cannot be opened for a check or a rebuild; `damaged` tells
    a damaged file from one that is missing or busy."""

    def __init__(self, message: str, damaged: bool) -> None:
        super().__init__(message)
        self.damaged = damaged


def open_existing(path: Path) -> PatentStore:
    """The store at `path` for maintenance, never creating or filling a database.
    Raises Unusable with the reason."""
    try:
        info = path.stat()
    except OSError as error:
        raise Unusable(f"找不到專利資料庫「{path}」（{os_reason(error)}）", damaged=False) from error
    if not stat.S_ISREG(info.st_mode):
        raise Unusable(f"專利資料庫的位置「{path}」不是一般檔案", damaged=False)
    if info.st_size == 0:
        raise Unusable(f"專利資料庫「{path}」是空的（0 位元組），原有的資料已不在檔案中", damaged=True)
    try:
        return PatentStore(path)
    except (sqlite3.Error, StoreError) as error:
        raise Unusable(f"無法開啟專利資料庫「{path}」（{error}）", damaged=_is_damage(error)) from error


def _is_damage(error: Exception) -> bool:
    name = getattr(error, "sqlite_errorname", "")
    return name.startswith("SQLITE_CORRUPT") or name == "SQLITE_NOTADB"


# ----------------------------------------------------------- a server's collection


def check_server(url: str, say: Callable[[str], None] = print) -> int:
    """`varnel-host check` on a PostgreSQL server: the records and how much of
    the postings is stale (pg_compact.stale_share). Exit status 0, or 2 when
    the server cannot be asked."""
    from .pg_store import PgPatentStore, describe  # psycopg loads only for a server

    try:
        with PgPatentStore(url) as store:
            say("計算詞頻索引（postings）中的舊索引項目…")
            share = store.stale_share()
            records = store.count()
    except StoreError as error:
        say(f"錯誤：{error}")
        return 2
    say(f"檢查完成：共 {records:,} 筆專利，詞頻索引 {share.rows:,} 列、{share.entries:,} 個項目（{describe(url)}）")
    if share.listed:
        say(f"舊索引項目：{share.listed:,} 筆（佔 postings 的 {share.percent} %）；執行 varnel-host rebuild-index 可回收")
    else:
        say("舊索引項目：0 筆")
    return 0


def rebuild_server_index(url: str, say: Callable[[str], None] = print) -> int:
    """`varnel-host rebuild-index` on a PostgreSQL server: every stale postings
    entry reclaimed, one batch per transaction (searches and imports go on
    meanwhile). Exit status 0, 1 when it stopped (the batches done stay
    done), 130 on Ctrl-C."""
    from .pg_store import PgPatentStore, describe  # psycopg loads only for a server

    try:
        with PgPatentStore(url, progress=say) as store:
            done = store.compact_postings(say)
    except KeyboardInterrupt:
        say("已中斷：已回收的批次完整保留，其餘舊索引項目照常在檢索時略過；再執行同一指令即可接續。")
        return 130
    except StoreError as error:
        say(f"錯誤：舊索引項目未能全部回收（{error}）；已回收的批次完整保留，檢索結果不受影響，可再執行一次。")
        return 1
    say(f"詞頻索引已整理：回收 {done.entries:,} 筆舊索引項目，{done.batches:,} 批"
        f"（刪除 {done.rows_removed:,} 列、改寫 {done.rows_rewritten:,} 列；{describe(url)}）")
    return 0
