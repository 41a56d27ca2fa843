"""A worker that answers every request with three receipts and the marker."""

from varnel_host.channel import COMPLETION_MARKER


def serve(Q, E, done):
    requests = []
    while True:
        request = Q["起始數據"].get(timeout=60)
        if request is None:
            break
        requests.append([[k, v] for k, v in request.items()])
        for receipt in ("收到 " + request["檢索指令"], 123, "第三行", COMPLETION_MARKER):
            Q["get_receipt"].put(receipt)
    done.put({"requests": requests, "end_set": E["end"].is_set(), "end": Q["end"].get(timeout=10)})
