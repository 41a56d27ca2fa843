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

from . import explain, paths, segment, stores, strategies
from .channel import COMPLETION_MARKER, END_KEY, RECEIPT_KEY, START_KEY
from .contract import Cancelled, StoreError
from .history import History, Snapshot
from .query import QueryError, parse
from .records import UNREADABLE_TEXT, named_numbers, unreadable
from .report_file import remove_stale_parts
from .shown import os_reason, shown
from .strategies import Strategies, Strategy

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
    _strategies_note = ""  # the same of the kept strategies' file

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
        kept = Strategies(strategies.beside(self.config.history_file))
        if command.strip() in ("#", "＃"):
            for line in snapshot.listing() if snapshot else [f"錯誤：{sets_problem}，無法列出歷次檢索"]:
                self.say(line)
            shelf = self._shelf(kept)
            for line in shelf.listing() if shelf else ():
                self.say(line)
            return
        strategy: Strategy | None = None  # a kept strategy to run
        only_new = False  # only the records it gained that were not yet looked at
        form = strategies.form_of(command)
        if form is not None:
            watched = self._strategy_form(form, command, kept, snapshot, sets_problem)
            if watched is _HANDLED:
                return
            if watched is not None:
                strategy, only_new = watched
        try:
            if strategy is None:
                request = RunRequest.read(raw, command, snapshot.sets() if snapshot else None, sets_problem)
            else:
                request = dataclasses.replace(RunRequest.read(raw, strategy.command, dict(strategy.sets)),
                                              strategy=strategy.label, kept_from=strategy.number, only_new=only_new)
        except QueryError as error:
            kept_as = f"保存的檢索 {strategy.label} 的指令已無法執行：" if strategy else ""
            self.say(f"檢索指令有誤：{kept_as}{error}")
            return
        if strategy is not None:
            self.say(f"保存的檢索 {strategy.label}：{shown(strategy.command, COMMAND_CHARS)}")
        if self.store is None:
            self.open_store()
        try:
            # Only the hits the list sheet and the closest sheet can hold are
            # ranked and read; total still counts all. A kept strategy ranks
            # every hit: it remembers all of them.
            limit = request.search_limit if strategy is None else None
            result = self.store.search(request.query, limit=limit, cancel=self.stopping)
        except QueryError as error:  # e.g. SIM= with a number the database does not hold
            self.say(f"檢索指令有誤：{error}")
            return
        if result.translation is not None:  # TR(…): each word's translations, and the command as translated
            for line in result.translation.lines:
                self.say(line)
            request = dataclasses.replace(request, translation=result.translation.lines,
                                          translated=explain.render(result.translation.query.root))
        fresh, listed = None, []
        if strategy is not None:
            strategy = self._gained(kept, strategy, result)
            fresh = strategy.new
            if only_new:
                result.narrow(fresh)
                if not result.total:
                    self.say(f"{strategy.label} 沒有上次查看後新增的專利（目前共 {len(strategy.had):,} 筆），未寫入報告")
                    return
                self.say(f"只列出 {strategy.label} 上次查看後新增的專利")
        data = gather(request, result, fresh)  # the report's input, read once; the list rows stream while written
        del result  # its ranked ids stay while data.rows is read
        if strategy is not None:
            data = dataclasses.replace(data, rows=_noting(data.rows, listed))
        self.say(f"找到 {data.total} 筆專利{_families(data.total, data.families.count, limit or data.total)}")
        if strategy is not None and fresh and not only_new:
            self.say(f"其中 {len(fresh):,} 筆是上次查看後新增的（報告檢索列表的「新增」欄標示）；"
                     f"輸入 {strategy.label} {strategies.NEW_WORD} 只列出這些，並標示為已查看")
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
        # a run numbered has its report
        numbered = self._numbered(history, command, data.total, snapshot) if strategy is None else \
            self._kept_numbered(history, strategy, only_new, data.total, snapshot)
        for note in written.notes:
            self.say(note)
        if damaged:
            self.say(f"注意：{len(damaged)} 筆專利的摘要與專利範圍在資料庫中已損壞，報告中標示為「{UNREADABLE_TEXT}」："
                     f"{named_numbers(damaged)}。請關閉視窗後執行 varnel-host check 找出所有損壞的專利，並依其說明處理")
        if strategy is not None and only_new:
            self._looked(kept, strategy, listed)
        if numbered:
            self.say(numbered)
        self.say(f"報告已寫入：{written.path}")

    # --------------------------------------------------------- kept strategies

    def _shelf(self, kept: Strategies) -> strategies.Shelf | None:
        """The kept strategies, read once per command; None when the file
        cannot be read (said). Lines passed over are said once."""
        try:
            shelf = kept.read()
        except OSError as error:
            log.warning("kept strategies not read: %s", error)
            self.say(f"錯誤：無法讀取保存的檢索 {kept.path}（{os_reason(error)}）")
            return None
        note = shelf.note(kept.path)
        if note and note != self._strategies_note:
            self.say(note)
        self._strategies_note = note
        return shelf

    def _strategy_form(self, form: strategies.Form, command: str, kept: Strategies, snapshot: Snapshot | None,
                       sets_problem: str):
        """Do what a strategy form asks: _HANDLED once done (said), the
        strategy to run with whether only its new records, or None for a
        search command after all (#name among other words: a name no
        strategy has, or one inside quotes)."""
        if form.action == "refused":
            self.say(f"檢索指令有誤：{form.problem}")
            return _HANDLED
        shelf = self._shelf(kept)
        if shelf is None:
            return _HANDLED
        if form.action == "keep":
            self._keep(form, kept, shelf, snapshot, sets_problem)
            return _HANDLED
        strategy = shelf.get(form.name)
        if form.action == "combined":
            try:
                if strategy is None or parse(command, snapshot.sets() if snapshot else None, sets_problem):
                    return None
            except QueryError:
                pass
            self.say(f"檢索指令有誤：{strategies.combined(strategy)}")
            return _HANDLED
        if strategy is None:
            self.say(f"檢索指令有誤：{strategies.unknown(form.name, shelf)}")
            return _HANDLED
        if form.action == "remove":
            try:
                removed = kept.remove(form.name)
            except OSError as error:
                self.say(f"錯誤：無法寫入保存的檢索 {kept.path}（{os_reason(error)}），{strategy.label} 未刪除")
                return _HANDLED
            self.say(f"已刪除保存的檢索 {strategy.label}（指令：{shown(strategy.command, COMMAND_CHARS)}）" if removed
                     else f"保存的檢索 {strategy.label} 已被其他視窗刪除")
            return _HANDLED
        return strategy, form.action == "new"

    def _keep(self, form: strategies.Form, kept: Strategies, shelf: strategies.Shelf, snapshot: Snapshot | None,
              sets_problem: str) -> None:
        """#k 保存為 #name: run k's command, its hits remembered, kept under the name."""
        label, number = f"#{form.name}", form.number
        sets = snapshot.sets() if snapshot else {}
        if snapshot is None:
            self.say(f"錯誤：{sets_problem}，無法保存 #{number}")
            return
        if number not in sets:
            self.say(f"檢索指令有誤：沒有檢索結果 #{number}（單獨輸入 # 可列出歷次檢索）")
            return
        if (taken := shelf.get(form.name)) is not None:
            self.say(_taken(taken, number))
            return
        try:
            query = parse(sets[number], sets)
        except QueryError as error:
            self.say(f"檢索指令有誤：檢索結果 #{number} 的指令已無法執行：{error.problem}")
            return
        if self.store is None:
            self.open_store()
        now = strategies.stamp()
        try:
            numbers = strategies.found_numbers(self.store, query, self.stopping)
        except QueryError as error:
            self.say(f"檢索指令有誤：{error}")
            return
        try:
            taken = kept.keep(Strategy(form.name, sets[number], query.sets, number, now, now, numbers, frozenset()))
        except OSError as error:
            log.warning("strategy not kept: %s", error)
            self.say(f"錯誤：無法寫入保存的檢索 {kept.path}（{os_reason(error)}），{label} 未保存")
            return
        if taken is not None:
            self.say(_taken(taken, number))
            return
        self.say(f"已保存 {label}：#{number} 的指令「{shown(sets[number], COMMAND_CHARS)}」，目前 {len(numbers):,} 筆")
        self.say(f"之後每次匯入都會重新檢索 {label}，並列出新增的筆數；輸入 {label} 在目前的資料庫重新檢索（報告標示新增的專利），"
                 f"{label} {strategies.NEW_WORD} 只列出新增的專利，{label} {strategies.REMOVE_WORD} 刪除它")

    def _gained(self, kept: Strategies, strategy: Strategy, result) -> Strategy:
        """`strategy` once its every hit (`result`, ranked without a limit) is
        remembered: its `new` the records it gained that were not yet looked at."""
        numbers = frozenset(result.numbers(cancel=self.stopping))
        now = strategies.stamp()
        try:
            stored, _ = kept.found(strategy.name, numbers, now)
        except OSError as error:  # what it had stays: the next run counts the same gain
            log.warning("strategy not updated: %s", error)
            self.say(f"注意：無法寫入保存的檢索 {kept.path}（{os_reason(error)}），這次找到的專利未記下")
            stored = None
        return stored or strategy.gaining(numbers, now)[0]

    def _looked(self, kept: Strategies, strategy: Strategy, listed: list[str]) -> None:
        """The records a 新增 report listed are no longer new."""
        try:
            kept.looked(strategy.name, listed)
        except OSError as error:
            log.warning("strategy not marked: %s", error)
            self.say(f"注意：無法寫入保存的檢索 {kept.path}（{os_reason(error)}），這些專利下次仍列為新增")
            return
        self.say(f"已將這 {len(listed):,} 筆標示為已查看：下次 {strategy.label} {strategies.NEW_WORD} 只列出之後新增的專利")

    def _kept_numbered(self, history: History, strategy: Strategy, only_new: bool, total: int,
                       known: Snapshot | None) -> str:
        """A strategy's run is numbered with its command when that command
        means the same in the history as it is (#k still the runs it used)."""
        if only_new:
            return "未編號：只列出新增專利的檢索不編號"
        current = known.sets() if known else {}
        if any(current.get(number) != used for number, used in strategy.sets):
            return f"未編號：{strategy.label} 用到的檢索結果編號在檢索紀錄中已不是保存時的指令"
        return self._numbered(history, strategy.command, total, known)


_HANDLED = object()  # a strategy form done, nothing to search


def _taken(taken: Strategy, number: int) -> str:
    return (f"已有名為 {taken.label} 的保存檢索（{shown(taken.command, COMMAND_CHARS)}），未變更；"
            f"要換成 #{number} 的指令，請先輸入 {taken.label} {strategies.REMOVE_WORD}，或改用其他名稱")


def _noting(rows, numbers: list[str]):
    """The list rows as they are written, each one's publication number noted."""
    for row in rows:
        numbers.append(row[0])
        yield row


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
