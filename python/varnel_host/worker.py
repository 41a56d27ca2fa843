"""The search worker: serves start requests from the window.

For every request it answers on the receipt queue with short
Traditional-Chinese progress lines and then the completion marker, whatever
the request holds and whatever happens in between, so the window never stays
busy. It ends on the None that closes the start queue, on the "end" event, or
when its parent process is gone; a run in progress notices either within a
batch of rows (the store's cancel hook and the report loop), writes no report
and leaves no file.
"""

from __future__ import annotations

import dataclasses
import logging
import multiprocessing
import os
import queue as queue_module
import sqlite3
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from . import explain, paths, segment, stores
from .channel import COMPLETION_MARKER, END_KEY, RECEIPT_KEY, START_KEY
from .contract import Cancelled, StoreError
from .history import History, Snapshot
from .query import QueryError
from .records import UNREADABLE_TEXT, named_numbers, unreadable
from .report_file import remove_stale_parts
from .shown import os_reason, shown

log = logging.getLogger("varnel_host.worker")

UNFORESEEN = ("錯誤：檢索未完成，程式發生未預期的問題（詳細內容已寫入主程式的錯誤記錄）；請再按一次「輸出檢索列表」，"
              "若一再發生，請關閉視窗後重新開啟本程式")
DAMAGED = "錯誤：檢索未完成，資料庫檔案讀取時發現損壞；請關閉視窗後執行 varnel-host check 檢查，並依其說明處理"
PROGRESS_SECONDS = 1.0  # a run this long gets progress receipts, at most one per this interval
# The log box shows a title or the command up to these lengths; reports keep them whole.
TITLE_CHARS = 100
COMMAND_CHARS = 300


@dataclass
class WorkerConfig:
    # The collection: the SQLite file's path or a postgresql:// URL (stores.open_store).
    database: str | os.PathLike[str]
    reports: Path
    poll_seconds: float = 0.2
    # Receipts put on the receipt queue at start, before the database line
    # (e.g. the host's word that the help page is not available).
    startup_notes: tuple[str, ...] = ()
    # The numbered result sets; None: history.jsonl beside the reports folder.
    history: Path | None = None

    @property
    def history_file(self) -> Path:
        return self.history or Path(self.reports).parent / "history.jsonl"


def default_config() -> WorkerConfig:
    return WorkerConfig(database=stores.chosen(), reports=paths.reports_folder(), history=paths.history_path())


class Progress:
    """Report progress receipts: the first once the run has taken about a
    second, then at most one per interval, so short runs show none."""

    def __init__(self, say: Callable[[str], None], clock: Callable[[], float] = time.monotonic,
                 interval: float = PROGRESS_SECONDS):
        self._say, self._clock, self._interval = say, clock, interval
        self._due = clock() + interval

    def __call__(self, written: int, planned: int) -> None:
        now = self._clock()
        if now >= self._due:
            self._say(f"已寫入 {written:,} / {planned:,} 筆")
            self._due = now + self._interval


class Worker:
    """Runs searches and writes reports; one instance per worker process.

    `stopping()` says that the window has closed or the host is gone: a run
    in progress then stops at the next batch."""

    refusal: str | None = None  # why the database is not used ("" once checked sound)
    _history_note = ""  # the last word said about unreadable lines of the history

    def __init__(self, config: WorkerConfig, receipts, stopping: Callable[[], bool] = lambda: False):
        self.config = config
        self.receipts = receipts
        self.stopping = stopping
        self.store = None

    def say(self, text: str) -> None:
        """One line of the log box, cleaned and at most shown.LINE_CHARS long."""
        self.receipts.put(shown(text))

    def open_store(self) -> None:
        if self.refusal:  # after a refusal no new database until the next start
            raise StoreError(self.refusal)
        checking, self.refusal = self.refusal is None, ""  # a file is checked once per worker
        try:
            self.store = stores.open_store(self.config.database, progress=self.say, check=checking)
        except stores.Refused as refusal:
            self.refusal = str(refusal)
            raise
        except (sqlite3.Error, OSError) as error:  # the file cannot be opened or made: no folder, no rights
            log.warning("cannot open the patent database: %s", error)
            raise StoreError(f"無法開啟或建立專利資料庫「{stores.shown(self.config.database)}」；請確認它與所在資料夾"
                             "存在、可以讀寫，且磁碟未滿") from None
        segment.prepare()  # not on the first search
        self.store.prepare_facets()  # on a thread of its own, ready before the first large result
        self.say(f"資料庫已就緒：{self.store.count()} 筆專利（{stores.shown(self.config.database)}）")

    def handle(self, request) -> None:
        """One run: receipts, then the completion marker, always."""
        from .report import ReportCancelled, ReportError  # the host process imports this module too: xlsxwriter loads here

        try:
            self.run(request)
        except StoreError as error:
            log.warning("search run failed: %s", error)
            self.say(f"錯誤：檢索未完成（{error}）")
            if stores.is_server(self.config.database) and self.store is not None:  # a lost server connection: a new one next run
                self.store.close()
                self.store = None
        except (Cancelled, ReportCancelled):
            log.info("search run stopped: the window closed or the host ended")
            self.say("檢索已中止，未寫入報告")
        except ReportError as error:
            log.warning("report not written: %s", str(error))  # the text: a record holding the error would keep its frames
            self.say(f"錯誤：報告未寫入。{error}")
        except Exception as error:  # any failure ends as an error receipt; the details go to the log
            log.exception("search run failed")
            damaged = getattr(error, "sqlite_errorname", "").startswith(("SQLITE_CORRUPT", "SQLITE_NOTADB"))
            self.say(DAMAGED if damaged else UNFORESEEN)
        finally:
            self.say(COMPLETION_MARKER)

    def _history(self, history: History) -> tuple[Snapshot | None, str]:
        """The numbered runs, read once per run, and why they could not be
        read ("" when they could); lines passed over are said once."""
        try:
            snapshot = history.read()
        except OSError as error:
            log.warning("result sets not read: %s", error)
            return None, f"無法讀取檢索紀錄 {history.path}（{os_reason(error)}）"
        note = snapshot.note(history.path)
        if note and note != self._history_note:  # said once, not on every run while the file stays so
            self.say(note)
        self._history_note = note
        return snapshot, ""

    @staticmethod
    def _numbered(history: History, command: str, total: int, known: Snapshot | None) -> str:
        """The log box's line once a run that found hits and wrote its report
        is numbered; a history that cannot be read or written costs the
        number, not the run."""
        if not total:
            return ""
        try:
            return f"本次檢索編號 #{history.add(command, total, known=known)}"
        except OSError as error:
            log.warning("result set not numbered: %s", error)
            return f"未編號：無法寫入檢索紀錄 {history.path}（{os_reason(error)}），之後的指令不能以編號使用本次檢索"

    def run(self, raw) -> None:
        from . import report
        from .report_data import gather
        from .request import RequestError, RunRequest, request_command

        progress = Progress(self.say)
        try:
            command = request_command(raw)
        except RequestError as error:
            self.say(str(error))
            return
        self.say(f"已收到檢索指令：{shown(command, COMMAND_CHARS)}")  # the report keeps it whole
        history = History(self.config.history_file)
        snapshot, sets_problem = self._history(history)
        if command.strip() in ("#", "＃"):
            for line in snapshot.listing() if snapshot else [f"錯誤：{sets_problem}，無法列出歷次檢索"]:
                self.say(line)
            return
        try:
            request = RunRequest.read(raw, command, snapshot.sets() if snapshot else None, sets_problem)
        except QueryError as error:
            self.say(f"檢索指令有誤：{error}")
            return
        if self.store is None:
            self.open_store()
        try:
            # Only the hits the list sheet and the closest sheet can hold are
            # ranked and read; total still counts all.
            limit = request.search_limit
            result = self.store.search(request.query, limit=limit, cancel=self.stopping)
        except QueryError as error:  # e.g. SIM= with a number the database does not hold
            self.say(f"檢索指令有誤：{error}")
            return
        if result.translation is not None:  # TR(…): each word's translations, and the command as translated
            for line in result.translation.lines:
                self.say(line)
            request = dataclasses.replace(request, translation=result.translation.lines,
                                          translated=explain.render(result.translation.query.root))
        data = gather(request, result)  # the report's input, read once; the list rows stream while written
        del result  # its ranked ids stay while data.rows is read
        self.say(f"找到 {data.total} 筆專利{_families(data.total, data.families.count, limit)}")
        if data.compared:  # a SIM=: what it compared by, words that crossed languages with their translations
            self.say(f"比較詞：{'、'.join(data.compared)}")
        for line in data.chains:  # a citation chain's hits at each level
            self.say(line)
        if not data.total:  # never a bare 0: which part left nothing, said and kept for the report
            request = explain.explained(request, self.store, self.say, self.stopping)
        damaged = []  # closest hits whose abstract and claims cannot be read
        for rank, hit in enumerate(data.closest, start=1):
            self.say(closest_line(rank, hit))
            if unreadable(hit.record):
                damaged.append(hit.record.pn)
        capped = report.cap_note(data.total, request.list_row_cap)
        if capped:
            self.say(capped)
        written = report.write_report(self.config.reports, request, data, progress=progress, cancel=self.stopping)
        numbered = self._numbered(history, command, data.total, snapshot)  # a run numbered has its report
        for note in written.notes:
            self.say(note)
        if damaged:
            self.say(f"注意：{len(damaged)} 筆專利的摘要與專利範圍在資料庫中已損壞，報告中標示為「{UNREADABLE_TEXT}」："
                     f"{named_numbers(damaged)}。請關閉視窗後執行 varnel-host check 找出所有損壞的專利，並依其說明處理")
        if numbered:
            self.say(numbered)
        self.say(f"報告已寫入：{written.path}")


def _families(total: int, count: int, ranked: int) -> str:
    """"，M 個同族" after the hits' count: the `count` families the ranked hits form."""
    if not total:
        return ""
    if total > ranked:
        return f"，前 {ranked:,} 筆有 {count:,} 個同族"
    return f"，{count:,} 個同族"


def closest_line(rank: int, hit) -> str:
    """One of the closest hits as the log box shows it: "1. TWI700214B 具有…電池（5.21）"."""
    return f"{rank}. {hit.record.pn} {shown(hit.record.title, TITLE_CHARS)}（{hit.score:.2f}）"


def _parent_alive() -> bool:
    parent = multiprocessing.parent_process()
    return parent is None or parent.is_alive()


def serve(queues, events, config: WorkerConfig | None = None) -> None:
    """Answer start requests until the window closes (see module docstring)."""
    config = config or default_config()
    start, receipts, end = queues[START_KEY], queues[RECEIPT_KEY], events[END_KEY]

    def stopping() -> bool:
        return end.is_set() or not _parent_alive()

    worker = Worker(config, receipts, stopping)
    for note in config.startup_notes:
        receipts.put(note)
    try:  # what a writer killed mid-run left; other windows' reports in progress stay
        remove_stale_parts(Path(config.reports))
    except OSError:
        pass  # no reports folder yet, or not one: the first report says so
    try:
        worker.open_store()
    except StoreError as error:  # the window still opens; each run reports the problem
        receipts.put(shown(f"錯誤：無法開啟專利資料庫（{error}）"))
    except Exception:
        log.exception("cannot open the patent database")
        receipts.put("錯誤：無法開啟專利資料庫，程式發生未預期的問題（詳細內容已寫入主程式的錯誤記錄）；請關閉視窗後重新開啟本程式")
    while not stopping():
        try:
            request = start.get(timeout=config.poll_seconds)
        except queue_module.Empty:
            continue
        except Exception:  # e.g. a request that cannot be unpickled
            log.exception("cannot read a start request")
            receipts.put("錯誤：無法讀取檢索要求（內容已損壞），已略過；請再按一次「輸出檢索列表」")
            receipts.put(COMPLETION_MARKER)
            time.sleep(config.poll_seconds)  # a broken queue must not make this loop spin
            continue
        if request is None:
            break
        worker.handle(request)
    if worker.store is not None:
        worker.store.close()
    # Receipts still buffered are flushed to the pipe before the process
    # exits; should nobody ever read them, the host stops this process.
