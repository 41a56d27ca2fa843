"""The search worker: serves start requests from the window.

For every request it answers on the receipt queue with short
Traditional-Chinese progress lines and then the completion marker, whatever
happens in between, so the window never stays busy. It ends on the None that
closes the start queue, on the "end" event, or when its parent process is gone.
"""

from __future__ import annotations

import logging
import multiprocessing
import queue as queue_module
from dataclasses import dataclass
from pathlib import Path

from . import paths
from .channel import COMPLETION_MARKER, END_KEY, RECEIPT_KEY, START_KEY

log = logging.getLogger("varnel_host.worker")

REQUEST_KEYS = ("文字大小比例", "中文文字字體", "英文文字字體", "分析最接近專利數量", "檢索指令")


@dataclass
class WorkerConfig:
    database: Path
    reports: Path
    poll_seconds: float = 0.2


def default_config() -> WorkerConfig:
    return WorkerConfig(database=paths.database_path(), reports=paths.reports_folder())


class Worker:
    """Runs searches and writes reports; one instance per worker process."""

    refusal: str | None = None  # why the database is not used ("" once checked sound)

    def __init__(self, config: WorkerConfig, receipts):
        self.config = config
        self.receipts = receipts
        self.store = None

    def say(self, text: str) -> None:
        self.receipts.put(text)

    def open_store(self) -> None:
        from .dbcheck import check_at_start
        from .store import StoreError, open_default_store

        self.config.database.parent.mkdir(parents=True, exist_ok=True)
        if self.refusal is None:  # checked once; after a refusal no new database until the next start
            for note in (notes := check_at_start(self.config.database)):
                self.say(note)
            self.refusal = notes.refusal or ""
        if self.refusal:
            raise StoreError(self.refusal)
        self.store = open_default_store(self.config.database)
        self.say(f"資料庫已就緒：{self.store.count()} 筆專利（{self.config.database}）")

    def handle(self, request) -> None:
        """One run: receipts, then the completion marker, always."""
        try:
            self.run(request)
        except Exception as error:  # any failure ends as an error receipt
            log.exception("search run failed")
            self.say(f"錯誤：檢索未完成（{type(error).__name__}: {error}）")
        finally:
            self.say(COMPLETION_MARKER)

    def run(self, request) -> None:
        from .query import QueryError
        from .report import write_report

        if not isinstance(request, dict) or "檢索指令" not in request:
            self.say("錯誤：收到的檢索要求格式不正確，已略過")
            return
        command = request["檢索指令"]
        if not isinstance(command, str) or not command.strip():
            self.say("錯誤：檢索指令是空白的，請輸入關鍵字")
            return
        self.say(f"已收到檢索指令：{command}")
        if self.store is None:
            self.open_store()
        try:
            result = self.store.search(command)
        except QueryError as error:
            self.say(f"檢索指令有誤：{error}")
            return
        self.say(f"找到 {result.total} 筆專利")
        report = write_report(self.config.reports, command, request, result.hits, result.total)
        for note in report.notes:
            self.say(note)
        self.say(f"報告已寫入：{report.path}")


def _parent_alive() -> bool:
    parent = multiprocessing.parent_process()
    return parent is None or parent.is_alive()


def serve(queues, events, config: WorkerConfig | None = None) -> None:
    """Answer start requests until the window closes (see module docstring)."""
    config = config or default_config()
    start, receipts, end = queues[START_KEY], queues[RECEIPT_KEY], events[END_KEY]
    worker = Worker(config, receipts)
    try:
        worker.open_store()
    except Exception as error:  # the window still opens; each run reports the problem
        log.exception("cannot open the patent database")
        receipts.put(f"錯誤：無法開啟專利資料庫（{error}）")
    while not end.is_set() and _parent_alive():
        try:
            request = start.get(timeout=config.poll_seconds)
        except queue_module.Empty:
            continue
        if request is None:
            break
        worker.handle(request)
    if worker.store is not None:
        worker.store.close()
    # Receipts still buffered are flushed to the pipe before the process
    # exits; should nobody ever read them, the host stops this process.
