"""Hostile input through one window: thousands of dialog texts, and every kind
of receipt a worker could send to the log poller."""

import json, random, re, sys

import customtkinter as ctk

from harness import (S, BadEq, BadStr, cancel_timers, capture, channel, emit, main, on_mainloop,
                     open_dialog, part, wait_for)
from varnel_host.channel import COMPLETION_MARKER as MARK

def _python_reading(convert, text):
    """Python's reading of the text, or the integer 1 when it has none; and which it was."""
    try:
        return convert(text), "converted"
    except Exception:
        return 1, "fallback"

def _fuzz_dialog(app, texts, handler, key, convert):
    dialog = open_dialog(app, handler)
    entry, confirm = part(dialog, ctk.CTkEntry), part(dialog, ctk.CTkButton, "確認")
    record = S["PP"].parameters
    stats = {"tried": 0, "held": 0, "not_held": 0, "converted": 0, "fallback": 0}
    mismatches = []
    for i, text in enumerate(texts):
        entry.delete(0, "end")
        try:
            entry.insert(0, text)
        except Exception:
            pass  # Tk cannot hold every text (lone surrogates); what it holds is what counts
        held = entry.get()
        stats["held" if held == text else "not_held"] += 1
        record[key] = "untouched"
        confirm.invoke()
        (want, outcome), got = _python_reading(convert, held), record[key]
        stats[outcome] += 1
        if type(want) is not type(got) or repr(want) != repr(got):
            mismatches.append([ascii(text)[:80], ascii(held)[:80], repr(want)[:60], repr(got)[:60]])
        stats["tried"] += 1
        if i % 500 == 0:
            app.update()
    dialog.destroy()
    return {"stats": stats, "mismatches": mismatches[:30], "mismatch_count": len(mismatches)}

def dialogs():
    """Both setting dialogs over the texts read from stdin (ASCII JSON)."""
    texts = json.loads(sys.stdin.read())
    GUI = capture()
    @on_mainloop
    def hook(app):
        cancel_timers(app)
        emit({"font": _fuzz_dialog(app, texts, "button_event_004", "文字大小比例", lambda t: float(t) / 100.0),
              "count": _fuzz_dialog(app, texts, "button_event_009", "分析最接近專利數量", int),
              "errors": S["errors"]})

    GUI.GUI(*channel())

class _NotText:
    def __str__(self): return 42  # str() turns this into TypeError

_PLANES = [(0x20, 0x7e), (0x00, 0x1f), (0x7f, 0x9f), (0x4e00, 0x9fff), (0x0590, 0x06ff), (0x200b, 0x202e),
           (0x0300, 0x036f), (0xd800, 0xdfff), (0xfff0, 0xffff), (0x1f300, 0x1faff), (0x20000, 0x2a6df),
           (0xe0000, 0x10ffff)]

def _random_text(rng):
    out = []
    for _ in range(rng.randint(0, 40)):
        low, high = rng.choice(_PLANES)
        out.append(chr(rng.randint(low, high)))
    return "".join(out)

def _receipt(rng):
    kind = rng.randrange(20)
    if kind < 9: return _random_text(rng)
    if kind == 9: return rng.randint(-10**30, 10**30)
    if kind == 10: return rng.choice([10**4000, -10**4299, 10**4300, 10**5000, 0, -1, True])
    if kind == 11: return rng.choice([float("nan"), float("inf"), -float("inf"), -0.0, 5e-324, rng.random()])
    if kind == 12: return None
    if kind == 13: return bytes(rng.randrange(256) for _ in range(rng.randint(0, 20)))
    if kind == 14: return BadStr()
    if kind == 15: return BadEq()
    if kind == 16: return _NotText()
    if kind == 17: return [_random_text(rng), rng.random()]
    if kind == 18: return rng.choice([MARK + " ", "前" + MARK, MARK + "\n", MARK.encode()])
    return {"k": _random_text(rng)}

def _shown(item):
    """What the log box should gain: the text and a line break, or nothing for a receipt
    that cannot be compared with the marker or has no text form. tkinter hands Tk the
    text as UTF-8 with surrogate escapes: other lone surrogates make the insert fail,
    and Tk ends the text at a NUL."""
    try:
        assert item != MARK
        text = str(item) + "\n"
        text.encode("utf-8", "surrogateescape")
    except Exception:
        return ""
    return text.split("\x00", 1)[0]

def poller():
    """100,000 receipts of every kind, then the marker, one poller tick each."""
    GUI = capture()
    Q, E = channel()
    rng = random.Random(77)
    N, HUGE = 100_000, {25_000: "x" * 2**20, 50_000: "漢" * 2**20, 75_000: "\u202e" + "ab" * 2**19}
    sentinels, expected = [], []
    for i in range(N):
        if i in HUGE:
            item = HUGE[i]
        elif i % 997 == 0:
            item = "SENTINEL-%d" % i
            sentinels.append(item)
        else:
            item = _receipt(rng)
        Q["get_receipt"].put(item)
        expected.append(_shown(item))
    Q["get_receipt"].put(MARK)
    expected = "".join(expected) + "\n完成"
    @on_mainloop
    def hook(app):
        cancel_timers(app)
        real_after, rearms = app.after, []
        def after(ms, func=None, *args):
            # Each tick re-arms itself; cancel at once so only the calls below tick.
            rearms.append(ms == 500 and func is S["handlers"]["aa"])
            after_id = real_after(ms, func, *args)
            app.after_cancel(after_id)
            return after_id
        app.after = after
        E["get_receipt"].set()
        ticks = N + 1 + 3
        for i in range(ticks):
            S["handlers"]["aa"]()
            if i % 5000 == 0:
                app.update()
        log = S["box"].get("1.0", "end-1c")
        first_diff = next((i for i, (a, b) in enumerate(zip(log, expected)) if a != b),
                          min(len(log), len(expected)))
        found = re.findall(r"SENTINEL-\d+", log)
        del app.after
        state = {"ticks": S["count"]["aa"], "rearms": [len(rearms), all(rearms)], "left": Q["get_receipt"].qsize(),
                 "flag": E["get_receipt"].is_set(), "button": S["bar"].cget("輸出檢索列表", "text"),
                 "sentinels": found == sentinels and len(found), "same": log == expected,
                 "diff": [first_diff, ascii(log[max(0, first_diff - 40):first_diff + 40]),
                          ascii(expected[max(0, first_diff - 40):first_diff + 40])],
                 "tail": log[-30:], "errors": S["errors"]}
        # The window still answers: an idle callback runs, and the poller ticks on its own timer again.
        ran = []
        app.after(0, lambda: ran.append("after(0)"))
        S["handlers"]["aa"]()
        state["ran"] = wait_for(app, lambda: ran and S["count"]["aa"] > ticks + 1, timeout=30) and ran
        emit(state)

    GUI.GUI(Q, E)
    return {"end": [Q["end"].get_nowait(), Q["起始數據"].get_nowait()], "end_set": E["end"].is_set()}

if __name__ == "__main__":
    main(globals())
