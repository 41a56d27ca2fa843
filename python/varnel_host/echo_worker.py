"""A minimal worker: acknowledges each start request with receipts.

It stands in until a real search worker exists; it shows the full cycle
(receipts, completion marker, shutdown) against real queues and events.
"""

from __future__ import annotations

import queue as queue_module

from .channel import COMPLETION_MARKER, END_KEY, RECEIPT_KEY, START_KEY


def serve(queues, events, poll_seconds: float = 0.2) -> None:
    """Answer start requests until None arrives on the start queue or the end event is set."""
    start, receipts = queues[START_KEY], queues[RECEIPT_KEY]
    while not events[END_KEY].is_set():
        try:
            request = start.get(timeout=poll_seconds)
        except queue_module.Empty:
            continue
        if request is None:
            return
        try:
            receipts.put(f"收到檢索指令：{request['檢索指令']}")
            settings = "、".join(f"{k}={request[k]!r}" for k in request if k != "檢索指令")
            receipts.put(f"報告設定：{settings}")
            receipts.put("（示範工作程序：尚未連接檢索資料庫）")
        except Exception as error:  # a malformed request must not stop the worker
            receipts.put(f"錯誤：無法處理檢索要求（{error!r}）")
        finally:
            receipts.put(COMPLETION_MARKER)
