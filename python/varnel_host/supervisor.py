"""The host's side of the search worker: one worker process, replaced when it dies.

The window talks to the host through its channel (queues and events in the
host process). A relay thread here joins that channel to the worker process
through a private channel of its own: requests go to the worker one at a time,
its receipts come back to the window as they are.

When the worker process ends while the window is open (a crash, an
out-of-memory kill), the window hears so through its own protocol: an error
receipt, and, when a run was in progress, a word that it was not finished and
the completion marker, so the button returns to idle. A new worker takes over;
requests still waiting in the host go to it. The dead worker's private queues
are dropped with it, so a lock it held or half a message it left can never
block the window's channel. After RESTART_LIMIT failures within
RESTART_WINDOW_SECONDS the host stops restarting and answers every further
request itself with an error receipt and the marker.
"""

from __future__ import annotations

import logging
import pickle
import queue as queue_module
import threading
import time
from collections import deque
from dataclasses import replace

from .channel import COMPLETION_MARKER, END_KEY, RECEIPT_KEY, START_KEY, make_channel
from .worker import WorkerConfig, serve

log = logging.getLogger("varnel_host.supervisor")

RESTART_LIMIT = 3
RESTART_WINDOW_SECONDS = 60.0
KILL_AFTER_SECONDS = 5.0  # after terminate() at close, before kill()
RELAY_SECONDS = 0.05  # how long the relay waits for a receipt before it looks at the rest again

RUN_LOST = "這次檢索未完成，請再按一次「輸出檢索列表」"
GAVE_UP = "錯誤：檢索程序無法執行，請關閉視窗後重新開啟本程式"


def ended_message(code: int | None, restarting: bool) -> str:
    if restarting:
        return f"錯誤：檢索程序意外結束（代碼 {code}），已重新啟動"
    return (f"錯誤：檢索程序意外結束（代碼 {code}），一分鐘內已是第 {RESTART_LIMIT} 次，不再重新啟動；"
            "請關閉視窗後重新開啟本程式")


class Supervisor:
    """Runs the worker for one window; see the module notes."""

    def __init__(self, queues, events, config: WorkerConfig, context):
        self._window_start = queues[START_KEY]
        self._window_receipts = queues[RECEIPT_KEY]
        self._window_end = events[END_KEY]
        self._config = config
        self._context = context
        self._waiting: deque = deque()  # requests from the window not yet given to a worker
        self._running = False  # a request is with the worker and its marker has not come back
        self._failures: deque[float] = deque()
        self._closing = threading.Event()
        self._process = None
        self._channel = None
        self._thread = threading.Thread(target=self._relay, name="varnel-worker-relay", daemon=True)

    @property
    def running(self) -> bool:
        """A request is with the worker and its completion marker has not come back."""
        return self._running

    @property
    def process(self):
        """The current worker process (None once the host has stopped restarting it)."""
        return self._process

    def start(self) -> None:
        self._spawn(self._config)
        self._thread.start()

    def stop(self, timeout: float) -> None:
        """After the window has closed: end the relay, then the worker (stopped
        if it has not ended within `timeout` seconds)."""
        self._closing.set()
        if self._thread.is_alive():
            self._thread.join()
        else:  # never started, or the relay failed: still tell the worker to end
            self._tell_worker_to_end()
        process = self._process
        if process is None:
            return
        process.join(timeout)
        if process.is_alive():
            log.warning("worker did not finish within %s s; stopping it", timeout)
            process.terminate()
            process.join(KILL_AFTER_SECONDS)
        if process.is_alive():  # ignores SIGTERM or is suspended
            process.kill()
            process.join()

    # --- the relay thread ----------------------------------------------------

    def _relay(self) -> None:
        try:
            while not self._window_closed():
                self._take_requests()
                self._hand_on()
                self._pass_receipts(RELAY_SECONDS)
                if self._process is not None and not self._process.is_alive():
                    self._worker_ended()
        except Exception:  # the window must not hang on a relay fault: say so and stop the worker
            log.exception("worker relay failed")
            self._say("錯誤：主程式與檢索程序之間的連線中斷，請關閉視窗後重新開啟本程式")
            self._say(COMPLETION_MARKER)
        finally:
            self._tell_worker_to_end()

    def _window_closed(self) -> bool:
        return self._closing.is_set() or self._window_end.is_set()

    def _say(self, text: str) -> None:
        self._window_receipts.put(text)

    def _take_requests(self) -> None:
        while True:
            try:
                request = self._window_start.get_nowait()
            except queue_module.Empty:
                return
            if request is None:  # the window's last signal
                self._closing.set()
                return
            self._waiting.append(request)

    def _hand_on(self) -> None:
        """Give the worker the next request once it has finished the last one."""
        while self._waiting and not self._running:
            request = self._waiting.popleft()
            if self._process is None:
                self._say(GAVE_UP)
                self._say(COMPLETION_MARKER)
                continue
            try:
                pickle.dumps(request)  # the queue would drop what it cannot pickle, silently
            except Exception:
                log.exception("a request cannot be pickled")
                self._say("錯誤：檢索要求無法傳給檢索程序（內容無法傳遞），已略過；請再按一次「輸出檢索列表」")
                self._say(COMPLETION_MARKER)
                continue
            self._channel[0][START_KEY].put(request)
            self._running = True

    def _pass_receipts(self, wait: float) -> None:
        if self._channel is None:
            time.sleep(wait)
            return
        receipts = self._channel[0][RECEIPT_KEY]
        while True:
            try:
                receipt = receipts.get(timeout=wait) if wait else receipts.get_nowait()
            except queue_module.Empty:
                return
            wait = 0
            self._say(receipt)
            if receipt == COMPLETION_MARKER:
                self._running = False

    def _worker_ended(self) -> None:
        code = self._process.exitcode
        log.error("worker process ended unexpectedly with code %s", code)
        try:
            self._pass_receipts(0)  # what it said before it ended
        except Exception:  # half a message from a killed process
            log.exception("cannot read the ended worker's last receipts")
        self._drop_channel()
        now = time.monotonic()
        self._failures.append(now)
        while self._failures and now - self._failures[0] > RESTART_WINDOW_SECONDS:
            self._failures.popleft()
        restarting = len(self._failures) < RESTART_LIMIT
        self._say(ended_message(code, restarting))
        if self._running:
            self._running = False
            self._say(RUN_LOST)
            self._say(COMPLETION_MARKER)
        self._process = None
        if restarting:  # the start-up notes were shown once already
            self._spawn(replace(self._config, startup_notes=()))

    # --- worker processes ----------------------------------------------------

    def _spawn(self, config: WorkerConfig) -> None:
        self._channel = make_channel(processes=True, context=self._context)
        queues, events = self._channel
        process = self._context.Process(target=serve, args=(queues, events, config), name="varnel-worker")
        try:
            process.start()
        except Exception:  # no process to be had (limits, memory): requests get GAVE_UP
            log.exception("cannot start the worker process")
            self._say("錯誤：無法啟動檢索程序（系統資源不足，或本程式的安裝不完整）；請關閉視窗後重新開啟本程式")
            self._drop_channel()
            return
        self._process = process

    def _tell_worker_to_end(self) -> None:
        if self._channel is None:
            return
        queues, events = self._channel
        events[END_KEY].set()
        queues[START_KEY].put(None)

    def _drop_channel(self) -> None:
        queues, _ = self._channel
        for private in queues.values():
            private.cancel_join_thread()  # nobody reads it any more: never wait for it at exit
            private.close()
        self._channel = None
