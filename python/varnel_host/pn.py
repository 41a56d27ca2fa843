"""Publication numbers in one canonical form, so that one patent is one record.

A number is written in many ways: "US 9833479 B2", "US-9833479-B2",
"us9833479b2", "ＵＳ９８３３４７９Ｂ２" and USPTO's zero-padded "US08930553"
(kind B2) all name the same document. The canonical form is upper case with
no spaces, hyphens, slashes, dots or commas: country code, number, kind code
("US9833479B2", "TWI439543B", "EP1234567A1", "WO2019123456A1").

A canonical number splits into its parts; a number typed without its kind
code names every kind of that number, one typed without a country code every
country's ("I439543" finds "TWI439543B"). A US pre-grant publication has a
7-digit serial after its year in USPTO's and Google's files
(US20040136338A1) and a 6-digit one in EPO's DOCDB format (US2004136338A1):
each form finds the record stored in the other (looked_up()).

A number holding what only a file path holds ("..", a backslash, a "/" not
followed by a digit as in "WO2019/123456") is kept as written, so that
usable() refuses it rather than its letters and digits passing for a number.
"""

from __future__ import annotations

import re
import unicodedata
from typing import NamedTuple

_SEPARATORS = re.compile(r"[\s\-/.,_]+")
_PATH_LIKE = re.compile(r"\.\.|\\|/(?!\s*\d)")
# Country (2 letters), number (an optional letter prefix such as TW's I/M/D or
# US's D/RE/PP, then digits), kind code (a letter and an optional digit).
_PARTS = re.compile(r"(?P<country>[A-Z]{2})?(?P<number>[A-Z]{0,2}\d+)(?P<kind>[A-Z]\d?)?")
# US grants are zero-padded to 8 characters in USPTO's files: 08930553, D0712345.
_US_PADDED = re.compile(r"(?P<prefix>D|RE|PP|H|T)?0+(?P<digits>\d+)")
_US_DOCDB_PUBLICATION = re.compile(r"(20\d\d)(\d{6})")
_US_USPTO_PUBLICATION = re.compile(r"(20\d\d)0(\d{6})")


class Parts(NamedTuple):
    country: str  # "" when the number was given without one
    number: str
    kind: str  # "" when the number was given without one


def canonical(text: str, kind: str = "") -> str:
    """The canonical form of a publication number; `kind` is appended when the
    number carries none (USPTO and DOCDB files give it in its own element);
    a number with path characters is returned as written (trimmed)."""
    normal = unicodedata.normalize("NFKC", text)
    if _PATH_LIKE.search(normal):
        return normal.strip()
    flat = _SEPARATORS.sub("", normal).upper()
    parts = split(flat)
    if parts is None:
        return flat + kind.strip().upper() if flat else ""
    number = parts.number
    if parts.country == "US" and len(number) <= 8 and (padded := _US_PADDED.fullmatch(number)):
        number = (padded["prefix"] or "") + padded["digits"]
    return parts.country + number + (parts.kind or _SEPARATORS.sub("", kind).upper())


_USABLE = re.compile(r"[A-Z0-9]{2,40}")


def usable(number: str) -> bool:
    """Whether a canonical number can be a publication number: 2 to 40
    letters and digits, a digit among them (not a formula, a link or a word)."""
    return _USABLE.fullmatch(number) is not None and not number.isalpha()


def split(flat: str) -> Parts | None:
    """Country, number and kind of an upper-case number without separators;
    None when it does not have that shape."""
    match = _PARTS.fullmatch(flat)
    if match is None:
        return None
    return Parts(match["country"] or "", match["number"], match["kind"] or "")


def query_parts(text: str) -> Parts | None:
    """The parts a typed number asks for: empty country or kind match any."""
    return split(_SEPARATORS.sub("", unicodedata.normalize("NFKC", text)).upper())


def looked_up(parts: Parts) -> list[Parts]:
    """The forms a number is looked up in: itself and, for a US number (or
    one typed without a country) shaped as a US pre-grant publication, the
    other US form of it."""
    other = None
    if parts.country in ("", "US"):
        if short := _US_DOCDB_PUBLICATION.fullmatch(parts.number):
            other = f"{short[1]}0{short[2]}"
        elif long := _US_USPTO_PUBLICATION.fullmatch(parts.number):
            other = long[1] + long[2]
    return [parts] if other is None else [parts, Parts("US", other, parts.kind)]


def writings(stored: str) -> list[str]:
    """A stored number and its other US form (looked_up()), written out."""
    parts = split(stored)
    return [stored] + [f"{f.country}{f.number}{f.kind}" for f in looked_up(parts)[1:]] if parts else [stored]


def matches(stored: str, typed: str) -> bool:
    """Whether a stored canonical number is the one a user typed."""
    want, have = query_parts(typed), split(stored)
    if want is None or have is None:
        return canonical(typed) == stored
    return any(
        form.number == have.number and form.country in ("", have.country) and form.kind in ("", have.kind)
        for form in looked_up(want)
    )


def number_part(stored: str) -> str:
    """The number part of a stored publication number ("TWI439543B" ->
    "I439543"), indexed by both stores for PN= searches; the whole text when
    it does not have a number's shape."""
    parts = split(stored)
    return parts.number if parts else stored


def listed(text: str) -> list[str]:
    """The numbers of a "; "-separated list (a record's citations or family
    members) as the stores keep them: upper case, no spaces, each once."""
    return list(dict.fromkeys(filter(None, ("".join(item.split()).upper() for item in text.split(";")))))


def cites(given: str, wanted: Parts) -> bool:
    """Whether a citation written `given` (as listed() keeps it) names the
    number `wanted` (a stored number's parts, or a typed one's): the same
    number in one of its forms (looked_up()), the country where `wanted`
    carries one, kinds compared only where both carry one. The rule of the
    stores' CT= condition, for numbers already read."""
    have = split(given)
    if have is None:
        return not wanted.country and wanted.number == given
    return any(
        form.number == have.number and form.country in ("", have.country) and (not form.kind or have.kind in ("", form.kind))
        for form in looked_up(wanted)
    )
