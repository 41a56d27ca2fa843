"""Run the main window attached to a worker process: `python -m varnel_host`."""

from __future__ import annotations

import multiprocessing
import sys

from .channel import make_channel
from .echo_worker import serve


def main(argv=None) -> int:
    ctx = multiprocessing.get_context("spawn")
    queues, events = make_channel(processes=True, context=ctx)
    worker = ctx.Process(target=serve, args=(queues, events), name="varnel-worker", daemon=True)
    worker.start()
    try:
        import GUI

        GUI.GUI(queues, events)
    finally:
        # The window has closed (or failed to open): make sure the worker ends.
        events["end"].set()
        queues["起始數據"].put(None)
        worker.join(timeout=10)
        if worker.is_alive():
            worker.terminate()
            worker.join()
    return 0


if __name__ == "__main__":
    sys.exit(main())
