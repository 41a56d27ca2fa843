"""Hits grouped into patent families, named by their best-ranked hit."""

from __future__ import annotations

import pytest

from varnel_host.families import Families
from varnel_host.pn import number_part

# (pn, an, family, members), best-ranked first
ROWS = [
    ("TWI100001B", "110100001", "", ""),
    ("US8930553B2", "13/000001", "", ""),
    ("TW202100001A", "110100001", "", ""),  # one application: the B's family
    ("EP2600000B1", "", "555", ""),
    ("EP2500000A1", "", "555", "US8930553"),  # lists the US grant without its kind: joins it and EP2600000B1
    ("CN1000001A", "13/000001", "", ""),  # the US application number, another country: its own family
    ("WO2019000001A1", "", "", ""),
    ("JP2020000001A", "", "", "WO2019000001A1"),
    ("US20040136338A1", "", "", ""),
    ("EP1400000A1", "", "", "US2004136338"),  # the same US publication in the DOCDB form
]
ROWS = [(*row, number_part(row[0])) for row in ROWS]  # with the stored number part


@pytest.mark.parametrize(
    "number, named, others",
    [
        ("TWI100001B", "TWI100001B", ["TW202100001A"]),
        ("TW202100001A", "TWI100001B", []),
        ("US8930553B2", "US8930553B2", ["EP2600000B1", "EP2500000A1"]),
        ("EP2600000B1", "US8930553B2", []),
        ("CN1000001A", "CN1000001A", []),
        ("JP2020000001A", "WO2019000001A1", []),
        ("WO2019000001A1", "WO2019000001A1", ["JP2020000001A"]),
        ("EP1400000A1", "US20040136338A1", []),
    ],
)
def test_hits_of_one_family_are_named_by_the_best_ranked(number, named, others):
    families = Families(ROWS)
    assert families.of(number) == named
    assert (families.others(number) if named == number else []) == others
    assert families.count == 5


def test_the_window_holds_the_first_families_representatives_and_cited_hits_are_found():
    families = Families(ROWS)
    assert [families.window(n) for n in (1, 2, 3, 4, 5, 6)] == [1, 2, 6, 7, 9, 10]
    # without its kind a citation is every kind; with one, that kind only; never the citing hit itself
    assert families.cited("US8930553; CN1000001B; TWI100001B; JP1A", "TWI100001B") == ["US8930553B2"]
    assert families.cited("US2004136338A1", "TWI100001B") == ["US20040136338A1"]
