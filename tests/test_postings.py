"""The posting rows of an import chunk for the PostgreSQL store."""

from __future__ import annotations

import random
from collections import Counter

import pytest

from varnel_host import _postings

COLUMNS = ("ti", "ab", "cl", "pa")
WORDS = ["a", "ab", "abc", "輪子", "中文字詞", "x\\y", "t\tz", "n\nr\r", "é", "𝔸𝔹", "長" * 9, "q" * 12, "0"]


def reference(batch, columns, records, max_chars):
    postings: dict[str, dict[int, int]] = {}
    for id_, texts in records:
        for column, text in zip(columns, texts):
            for token, tf in Counter(t[:max_chars] for t in text.split(" ") if t).items():
                lexeme = postings.setdefault(f"{column}:{token}", {})
                lexeme[id_] = lexeme.get(id_, 0) + tf
    escape = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})
    return "".join(
        f"{lexeme.translate(escape)}\t{batch}\t{{{','.join(map(str, held))}}}\t{{{','.join(map(str, held.values()))}}}\n"
        for lexeme, held in sorted(postings.items(), key=lambda item: item[0].encode())
    ).encode()


def random_text(rng):
    return (" " * rng.randrange(3)).join(
        [rng.choice(WORDS) + rng.choice(["", "", "x", "字"]) for _ in range(rng.randrange(12))])


@pytest.mark.parametrize("seed", range(6))
def test_the_rows_are_those_of_each_lexemes_ids_and_counts(seed):
    rng = random.Random(seed)
    columns = COLUMNS[: rng.randrange(1, len(COLUMNS) + 1)]
    ids = sorted(rng.sample(range(-50, 2**31), rng.randrange(1, 60)))
    records = [(i, tuple(" " * rng.randrange(2) + random_text(rng) for _ in columns)) for i in ids]
    for max_chars in (1, 3, 200):
        assert _postings.copy_rows(7, columns, records, max_chars) == reference(7, columns, records, max_chars)


@pytest.mark.parametrize(
    "columns, records, expected",
    [
        (COLUMNS, [], b""),
        (("ti", "ab"), [(1, ("", "   ")), (2, (" ", ""))], b""),
        # one lexeme whatever column names and tokens it is made of
        (("ti", "ti"), [(1, ("a b", "a")), (2, ("", "a"))], b"ti:a\t0\t{1,2}\t{2,1}\nti:b\t0\t{1}\t{1}\n"),
        (("a", "a:b"), [(4, ("b:c", "c"))], b"a:b:c\t0\t{4}\t{2}\n"),
        ((), [(1, ()), (2, ())], b""),
        # every byte escaped, the widest id: the longest line a lexeme can make
        (("\\",), [(-(2**31), ("\\\\ \\",))],
         b"\\\\:\\\\\t0\t{-2147483648}\t{1}\n\\\\:\\\\\\\\\t0\t{-2147483648}\t{1}\n"),
    ],
)
def test_the_rows_of_edge_cases(columns, records, expected):
    assert _postings.copy_rows(0, columns, records, 200) == expected


@pytest.mark.parametrize(
    "columns, records, max_chars, error",
    [
        (("ti", "ab"), [(1, ("a",))], 200, ValueError),  # texts not one a column
        (("ti",), [(1, ("a", "b"))], 200, ValueError),
        (("ti",), [(2**31, ("a",))], 200, ValueError),  # beyond 32 bits
        (("ti",), [(-(2**31) - 1, ("a",))], 200, ValueError),
        (("ti",), [(2**70, ("a",))], 200, ValueError),
        (("ti",), [(2, ("a",)), (1, ("b",))], 200, ValueError),  # not ascending
        (("ti",), [(2, ("a",)), (2, ("b",))], 200, ValueError),
        (("ti",), [(1, ("a",), "x")], 200, ValueError),
        (("ti",), [("1", ("a",))], 200, TypeError),
        (("ti",), [(1.0, ("a",))], 200, TypeError),
        (("ti",), [(True, ("a",))], 200, TypeError),
        (("ti",), [(1, (b"a",))], 200, TypeError),
        (("ti",), [(1, "a")], 200, TypeError),  # a text in place of the texts
        ("ti", [(1, ("a",))], 200, TypeError),
        ((1,), [(1, ("a",))], 200, TypeError),
        (("ti",), [1], 200, TypeError),
        (("ti",), [(1, ("\ud800",))], 200, UnicodeEncodeError),
        (("ti",), [(1, ("a",))], 0, ValueError),
    ],
)
def test_the_rows_refuse_what_they_cannot_write(columns, records, max_chars, error):
    with pytest.raises(error):
        _postings.copy_rows(1, columns, records, max_chars)
