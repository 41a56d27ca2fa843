"""The host's supervision of its worker process: a dead worker is reported
through the window's protocol and replaced; a worker that keeps dying is not."""

from __future__ import annotations

import multiprocessing
import os
import signal
import time

import pytest

from varnel_host import supervisor as supervision
from varnel_host.channel import COMPLETION_MARKER, make_channel
from varnel_host.supervisor import GAVE_UP, RUN_LOST, Supervisor, ended_message
from varnel_host.worker import WorkerConfig

REQUEST = {"文字大小比例": 1, "中文文字字體": "標楷體", "英文文字字體": "Calibri", "分析最接近專利數量": 3,
           "檢索指令": "電池"}


@pytest.fixture
def supervised(tmp_path):
    """A supervisor on a window channel of thread queues, its first worker up."""
    queues, events = make_channel()
    config = WorkerConfig(database=tmp_path / "patents.sqlite3", reports=tmp_path / "reports", poll_seconds=0.05,
                          startup_notes=("注意：說明頁面無法啟動",))
    host = Supervisor(queues, events, config, multiprocessing.get_context("spawn"))
    host.start()
    assert receipts(queues, until=lambda r: r.startswith("資料庫已就緒"))[0] == "注意：說明頁面無法啟動"
    yield queues, events, host
    events["end"].set()
    host.stop(20)
    assert host.process is None or host.process.exitcode is not None


def receipts(queues, until=lambda r: r == COMPLETION_MARKER, timeout=60):
    got = []
    while not got or not until(got[-1]):
        got.append(queues["get_receipt"].get(timeout=timeout))
    return got


def wait_for(predicate, timeout=60):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def kill_while_running(queues, host, *requests):
    """Freeze the worker, hand it a request, kill it: it dies in the middle of a run."""
    process = host.process
    os.kill(process.pid, signal.SIGSTOP)
    for request in requests:
        queues["起始數據"].put(request)
    wait_for(lambda: host.running)
    os.kill(process.pid, signal.SIGKILL)
    return process


def test_a_killed_worker_ends_the_run_and_a_new_one_serves_what_waits(supervised):
    queues, events, host = supervised
    first = kill_while_running(queues, host, REQUEST, {**REQUEST, "檢索指令": "battery"})
    assert receipts(queues) == [ended_message(-signal.SIGKILL, True), RUN_LOST, COMPLETION_MARKER]
    # The request that waited behind the lost one runs on the new worker, without the start-up notes again.
    got = [r for r in receipts(queues) if not r.startswith("資料庫已就緒")]
    assert got[0] == "已收到檢索指令：battery" and got[-2].startswith("報告已寫入：")
    assert host.process.pid != first.pid and host.process.is_alive()
    queues["起始數據"].put(REQUEST)
    assert receipts(queues)[-2].startswith("報告已寫入：")


def test_three_failures_in_a_minute_stop_the_restarts(supervised):
    queues, events, host = supervised
    for failure in range(1, supervision.RESTART_LIMIT + 1):
        wait_for(lambda: host.process is not None and host.process.is_alive())
        kill_while_running(queues, host, REQUEST)
        restarting = failure < supervision.RESTART_LIMIT
        assert receipts(queues) == [ended_message(-signal.SIGKILL, restarting), RUN_LOST, COMPLETION_MARKER]
    assert host.process is None
    queues["起始數據"].put(REQUEST)  # the window still gets an answer and returns to idle
    assert receipts(queues) == [GAVE_UP, COMPLETION_MARKER]


def test_a_request_that_cannot_reach_the_worker_is_answered(supervised):
    queues, events, host = supervised
    queues["起始數據"].put({**REQUEST, "檢索指令": lambda: "電池"})  # a queue cannot carry it
    got = receipts(queues)
    assert got[0].startswith("錯誤：檢索要求無法傳給檢索程序") and got[-1] == COMPLETION_MARKER
    queues["起始數據"].put(REQUEST)
    assert receipts(queues)[-2].startswith("報告已寫入：")
