"""Hostile input: the two setting dialogs against Python's own number parsing,
and the log poller against every kind of receipt a worker could send.

Each scenario is one interpreter holding one window; thousands of inputs go
through that same window, so a fault left behind by one input shows up in the
inputs after it. The scenario functions of this module run as `python -m
test_fuzz <case>` (scenario.run_case). The dialog texts are generated here,
from a fixed seed, and handed to the scenario as ASCII JSON (which carries
lone surrogates intact).
"""

from __future__ import annotations

import json
import random
import re
import sys

import customtkinter as ctk
import pytest

from harness import (S, BadEq, BadStr, cancel_timers, capture, channel, emit, main, on_mainloop, open_dialog, part,
                     wait_for)
from scenario import run_case
from varnel_host.channel import COMPLETION_MARKER as MARK

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display


# ------------------------------------------------------------------ dialog texts

DIGIT_SETS = ["0123456789", "０１２３４５６７８９", "٠١٢٣٤٥٦٧٨٩", "۰۱۲۳۴۵۶۷۸۹", "०१२३४५६७८९",
              "০১২৩৪৫৬৭৮৯", "๐๑๒๓๔๕๖๗๘๙", "𝟎𝟏𝟐𝟑𝟒𝟓𝟔𝟕𝟖𝟗"]
NOT_DECIMAL = "²³¹①⑩ⅫⅣ½〇一五十"  # numeric to Unicode, yet no decimal digit
SPACES = [" ", "\t", "\n", "\r", "\x0b", "\x0c", "\u3000", "\xa0", "\u2003", "\u1680", "\x1c", "\x85",
          "\u2028", "\u200b", "\ufeff"]  # the last two are not white space to Python
SIGNS = ["", "", "", "", "", "+", "-", "-", "－", "\u2212", "+-"]
EXPONENTS = ["e", "E", "e+", "e-", "E-", "E+", "ｅ", "e--"]
WORDS = ["inf", "infinity", "nan", "infinit", "infinityy", "nanq", "in", "na", "i nf", "ınf"]
ODD = ["\ud800", "\udfff", "\ud83d\ude00", "\x00", "_", ".", ",", "%", "'", "\u0660", "\u066b", "\u200f",
       "\U0010ffff", "\ufffd", "\u0301"]


def _digits(rng: random.Random, count: int) -> str:
    if rng.random() < 0.7:  # one script throughout, else mixed scripts
        digits = rng.choice(DIGIT_SETS)
        return "".join(rng.choice(digits) for _ in range(count))
    return "".join(rng.choice(rng.choice(DIGIT_SETS)) for _ in range(count))


def _underscores(rng: random.Random, text: str) -> str:
    roll = rng.random()
    if roll < 0.55 or not text:
        return text
    if roll < 0.85:  # single underscores between digits: valid
        out = [text[0]]
        for ch in text[1:]:
            if out[-1].isdecimal() and ch.isdecimal() and rng.random() < 0.4:
                out.append("_")
            out.append(ch)
        return "".join(out)
    at = rng.randrange(len(text) + 1)  # anywhere, doubled or at an edge: mostly invalid
    return text[:at] + rng.choice(["_", "__"]) + text[at:]


def _number(rng: random.Random) -> str:
    text = _digits(rng, rng.randint(0 if rng.random() < 0.1 else 1, 25))
    if rng.random() < 0.4:
        text += rng.choice([".", ".", "．", "٫"]) + _digits(rng, rng.randint(0, 12))
    if rng.random() < 0.3:
        text += rng.choice(EXPONENTS) + _digits(rng, rng.randint(0 if rng.random() < 0.1 else 1, 4))
    return rng.choice(SIGNS) + _underscores(rng, text)


def _integer(rng: random.Random) -> str:
    return rng.choice(SIGNS) + _underscores(rng, _digits(rng, rng.randint(1, 30)))


def _word(rng: random.Random) -> str:
    word = "".join(c.upper() if rng.random() < 0.5 else c for c in rng.choice(WORDS))
    return rng.choice(SIGNS) + word


def _junk(rng: random.Random) -> str:
    pool = "0123456789.+-eE_ " + NOT_DECIMAL + "".join(ODD) + "abcxyz漢字"
    return "".join(rng.choice(pool) for _ in range(rng.randint(0, 12)))


def _mutate(rng: random.Random, text: str) -> str:
    at = rng.randrange(len(text) + 1)
    piece = rng.choice(ODD + list(NOT_DECIMAL) + SPACES + ["e", "_", "."])
    if rng.random() < 0.5 or not text:
        return text[:at] + piece + text[at:]
    return text[:at] + piece + text[at + 1:]


def _spaced(rng: random.Random, text: str) -> str:
    if rng.random() < 0.35:
        text = "".join(rng.choices(SPACES, k=rng.randint(1, 3))) + text
    if rng.random() < 0.35:
        text += "".join(rng.choices(SPACES, k=rng.randint(1, 3)))
    return text


LONG_TEXTS = [  # 4300 digits is Python's limit for int from text; float has none
    "1" * 4300, "1" * 4301, "9" * 5000, "-" + "1" * 5000, "0." + "0" * 4998 + "1", "1" + "0" * 4999 + "e-5000",
    "1_" * 2500 + "1", "１" * 5000, " " * 5000 + "7", "1" * 5000 + "x", "0" * 5000, "." + "5" * 5000,
]
EDGE_TEXTS = ["", " ", "0", "-0", "+0.0", "1e308", "1e309", "-1e309", "4.9e-324", "2e-324", "1e-400",
              "0x10", "0o7", "0b1", "1__0", "_1", "1_", "1_.5", "1._5", "1e_5", "1j", "1/2", "１２０", "٣", "१०",
              "nan", "-NaN", "+iNfInItY", "infinity ", "\u3000１\u3000", "\xa05\xa0", "\t\n-3\n\t", "1\x002"]


def dialog_texts(count: int, seed: int = 20240611) -> list[str]:
    rng = random.Random(seed)
    texts = list(EDGE_TEXTS) + list(LONG_TEXTS)
    makers = [_number, _number, _integer, _integer, _word, _junk]
    while len(texts) < count:
        text = rng.choice(makers)(rng)
        if rng.random() < 0.2:
            text = _mutate(rng, text)
        texts.append(_spaced(rng, text))
    return texts


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


def test_dialogs_parse_like_python_over_generated_texts():
    texts = dialog_texts(8000)
    stdin = json.dumps(texts, ensure_ascii=True)  # lone surrogates travel as \ud800 escapes
    got = run_case("test_fuzz", "dialogs", timeout=300, stdin=stdin).check().value
    assert got["errors"] == []
    for name in ("font", "count"):
        result = got[name]
        assert result["stats"]["tried"] == len(texts) >= 5000
        assert result["mismatches"] == [] and result["mismatch_count"] == 0, (name, result["mismatches"])
        # The generated texts exercised both outcomes, and the entry held nearly all of them as typed.
        assert result["stats"]["converted"] >= 1500 and result["stats"]["fallback"] >= 1500, result["stats"]
        assert result["stats"]["held"] >= 0.9 * len(texts), result["stats"]


# ------------------------------------------------------------------ poller receipts

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


def test_poller_drains_hostile_receipts_and_still_ends_the_run():
    state, end = run_case("test_fuzz", "poller", timeout=300).check().values
    assert state["errors"] == []
    assert state["ticks"] == 100_000 + 4 and state["left"] == 0
    assert state["rearms"] == [state["ticks"], True], "every tick re-armed itself with the wrapped poller"
    assert state["sentinels"] == 101, "every sentinel shows, in order"
    assert state["same"], state["diff"]
    assert state["tail"].endswith("\n完成") and state["flag"] is False
    assert state["button"] == "輸出檢索列表"
    assert state["ran"] == ["after(0)"]
    assert end == {"end": [None, None], "end_set": True}


if __name__ == "__main__":  # a scenario's own process, see scenario.run_case
    main(globals())
