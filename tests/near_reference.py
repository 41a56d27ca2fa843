"""The proximity check of query_plan.near_check() (native, _segment.NearTest)
in Python: the reference the tests compare it with."""

from __future__ import annotations

from collections.abc import Callable, Mapping

from varnel_host.query import Near
from varnel_host.query_plan import near_phrases

_Phrase = tuple[tuple[str, ...], bool, bool]  # query_plan.near_phrases(): tokens, last a prefix, last covers one more word


def _starts(tokens: list[str], token: str) -> list[int]:
    """Every place of `token` in `tokens` (list.index does the scanning)."""
    places, at = [], -1
    try:
        while True:
            at = tokens.index(token, at + 1)
            places.append(at)
    except ValueError:
        return places


def _places(tokens: list[str], phrases: list[_Phrase]) -> list[tuple[int, int]]:
    """(first word, last word) of every place the phrases stand in `tokens`."""
    places = []
    for phrase, prefix, wide in phrases:
        last = len(phrase) - 1
        starts = _starts(tokens, phrase[0]) if last or not prefix else [i for i, t in enumerate(tokens) if t.startswith(phrase[0])]
        for i in starts:
            if i + last >= len(tokens) or list(tokens[i:i + last]) != list(phrase[:last]):
                continue
            end = tokens[i + last]
            if end == phrase[-1] or (prefix and end.startswith(phrase[-1])):
                places.append((i, i + last + wide))
    return places


def near_test(near: Near) -> Callable[[Mapping[str, list[str]]], bool]:
    """Whether a record whose fields hold these index tokens has the two
    sides within near.distance words in one field: the right side starting
    1 to distance words after the left ends (or, unordered, either way
    round). The two sides are two places that share no word: a word is never
    near itself (pizza NEAR/1 pizza needs two of them; 發動 NEAR/1 動機 is not
    in 發動機)."""
    lefts, rights = near_phrases(near)

    def holds(fields: Mapping[str, list[str]]) -> bool:
        for tokens in fields.values():
            right_places = _places(tokens, rights)
            for first, last in _places(tokens, lefts):
                for start, end in right_places:
                    if 1 <= start - last <= near.distance:
                        return True
                    if not near.ordered and 1 <= first - end <= near.distance:
                        return True
        return False

    return holds
