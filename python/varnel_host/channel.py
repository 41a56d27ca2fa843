"""The worker channel: the queues and events that join the window and the worker."""

from __future__ import annotations

import multiprocessing
import queue
import threading

COMPLETION_MARKER = "$$$檢索報告完成$$$"
START_KEY = "起始數據"
RECEIPT_KEY = "get_receipt"
END_KEY = "end"


def make_channel(processes: bool = False, context=None):
    """Return (Queue_All_variable, Event_All_variable).

    With processes=True the members are multiprocessing objects that a worker
    process can share; otherwise thread-safe queue.Queue and threading.Event.
    Queues are unbounded, so a put from the window never blocks.
    """
    if processes:
        ctx = context or multiprocessing.get_context("spawn")
        new_queue, new_event = ctx.Queue, ctx.Event
    else:
        new_queue, new_event = queue.Queue, threading.Event
    queues = {START_KEY: new_queue(), RECEIPT_KEY: new_queue(), END_KEY: new_queue()}
    events = {RECEIPT_KEY: new_event(), END_KEY: new_event()}
    return queues, events
