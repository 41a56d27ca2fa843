"""Counts for the report's charts."""

from __future__ import annotations

import random
from array import array
from collections import Counter

import pytest

from varnel_host import _facets
from varnel_host.facets import year_counts


@pytest.mark.parametrize(
    "years, expected",
    [
        ({}, []),
        ({2019: 2, 2021: 1}, [("2019", 2), ("2020", 0), ("2021", 1)]),  # from the first year with a hit
        ({1980: 1, 2019: 4}, [(str(year), {1980: 1, 2019: 4}.get(year, 0)) for year in range(1980, 2020)]),
        ({1901: 1, 2020: 3, 2024: 2}, [("1900–1904", 1), *((f"{y}–{y + 4}", 0) for y in range(1905, 2020, 5)),
                                       ("2020–2024", 5)]),
    ],
)
def test_years_from_the_first_hit_in_five_year_spans_past_forty(years, expected):
    assert year_counts(Counter(years)) == expected


def test_the_native_count_of_keys_is_the_count_of_each_hits_keys():
    rng = random.Random(7)
    columns = [array("i", (rng.randrange(bound) for _ in range(5000))) for bound in (3, 40, 4000)]
    ids = rng.sample(range(5000), 1200)
    counted = _facets.count_keys("  ".join(map(str, ids)) + " ", columns)
    assert [dict(pairs) for pairs in counted] == [Counter(column[i] for i in ids) for column in columns]
    assert _facets.count_keys("", columns) == [[], [], []]


@pytest.mark.parametrize(
    "column, ids",
    [
        (array("i", [0, 2**31 - 1, 5, 2**31 - 1, 70_000]), [0, 1, 3, 4]),  # keys far past the column: no dense array
        (memoryview(array("i", [7, 99, 7, 99, 3, 99]))[::2], [0, 1, 2]),  # strided
        (memoryview(array("i", [1, 2, 2, 4]))[::-1], [0, 1, 3]),  # reversed
    ],
)
def test_the_native_count_of_keys_reads_any_column_of_keys(column, ids):
    counted = _facets.count_keys(" ".join(map(str, ids)), [column, array("i", [0]) * len(column)])
    assert [dict(pairs) for pairs in counted] == [Counter(column[i] for i in ids), {0: len(ids)}]


@pytest.mark.parametrize(
    "ids, columns, error",
    [
        ("1 5", [array("i", [0, 1, 2])], IndexError),  # an id beyond the records the columns hold
        ("1 x2", [array("i", [0, 1, 2])], ValueError),
        ("1,2", [array("i", [0, 1, 2])], ValueError),
        ("-1", [array("i", [0, 1, 2])], ValueError),
        ("1", [array("i", [0, -1, 2])], ValueError),
        ("1", [array("i", [0, 1, 2]), array("i", [0, 1])], ValueError),
        ("1", [array("q", [0, 1, 2])], TypeError),
    ],
)
def test_the_native_count_of_keys_refuses_what_it_cannot_count(ids, columns, error):
    with pytest.raises(error):
        _facets.count_keys(ids, columns)
