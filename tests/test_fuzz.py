"""Hostile input: the two setting dialogs against Python's own number parsing,
and the log poller against every kind of receipt a worker could send.

Each scenario is one interpreter holding one window; thousands of inputs go
through that same window, so a fault left behind by one input shows up in the
inputs after it. The dialog texts are generated here, from a fixed seed, and
handed to the scenario as ASCII JSON (which carries lone surrogates intact).
"""

from __future__ import annotations

import json
import random

import pytest

from scenario import run_case

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


def test_dialogs_parse_like_python_over_generated_texts():
    texts = dialog_texts(8000)
    stdin = json.dumps(texts, ensure_ascii=True)  # lone surrogates travel as \ud800 escapes
    got = run_case("scenarios.fuzz", "dialogs", timeout=300, stdin=stdin).check().value
    assert got["errors"] == []
    for name in ("font", "count"):
        result = got[name]
        assert result["stats"]["tried"] == len(texts) >= 5000
        assert result["mismatches"] == [] and result["mismatch_count"] == 0, (name, result["mismatches"])
        # The generated texts exercised both outcomes, and the entry held nearly all of them as typed.
        assert result["stats"]["converted"] >= 1500 and result["stats"]["fallback"] >= 1500, result["stats"]
        assert result["stats"]["held"] >= 0.9 * len(texts), result["stats"]


# ------------------------------------------------------------------ poller receipts

def test_poller_drains_hostile_receipts_and_still_ends_the_run():
    state, end = run_case("scenarios.fuzz", "poller", timeout=300).check().values
    assert state["errors"] == []
    assert state["ticks"] == 100_000 + 4 and state["left"] == 0
    assert state["rearms"] == [state["ticks"], True], "every tick re-armed itself with the wrapped poller"
    assert state["sentinels"] == 101, "every sentinel shows, in order"
    assert state["same"], state["diff"]
    assert state["tail"].endswith("\n完成") and state["flag"] is False
    assert state["button"] == "輸出檢索列表"
    assert state["ran"] == ["after(0)"]
    assert end == {"end": [None, None], "end_set": True}
