"""A worker that answers one request with three receipts, then hangs."""

import time


def serve(Q, E):
    Q["起始數據"].get(timeout=60)
    for receipt in ("r1", "r2", "r3"):
        Q["get_receipt"].put(receipt)
    Q["get_receipt"].close()
    Q["get_receipt"].join_thread()  # flushed: killing now cannot cut a message in half
    time.sleep(3600)
