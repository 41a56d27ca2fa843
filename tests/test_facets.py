"""Counts for the report's charts."""

from __future__ import annotations

from collections import Counter

import pytest

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
