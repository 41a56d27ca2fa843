"""Publication numbers: one canonical form, and what a typed number finds."""

import pytest

from varnel_host.pn import canonical, matches, usable


@pytest.mark.parametrize(
    "written, kind, expected",
    [
        ("US 9833479 B2", "", "US9833479B2"),
        ("US-9833479-B2", "", "US9833479B2"),
        ("us9833479b2", "", "US9833479B2"),
        ("ＵＳ９８３３４７９Ｂ２", "", "US9833479B2"),
        ("US08930553", "B2", "US8930553B2"),
        ("USD0712345", "S", "USD712345S"),
        ("US20050004437", "A1", "US20050004437A1"),
        ("TWI439543B", "", "TWI439543B"),
        ("TW I439543 B", "", "TWI439543B"),
        ("EP 1 234 567 A1", "", "EP1234567A1"),
        ("WO2019/123456", "A1", "WO2019123456A1"),
        ("TW201700018A", "", "TW201700018A"),
        ("  ", "", ""),
    ],
)
def test_canonical(written, kind, expected):
    assert canonical(written, kind) == expected


@pytest.mark.parametrize(
    "stored, typed, found",
    [
        ("US8930553B2", "US8930553", True),
        ("US8930553B2", "US 8930553 B2", True),
        ("US8930553B2", "US8930553B1", False),
        ("US8930553B2", "US893055", False),
        ("US89305531B2", "US8930553", False),
        ("TWI439543B", "I439543", True),
        ("TWI439543B", "TWI439543", True),
        ("TWI439543B", "CNI439543", False),
        ("TW201700018A", "201700018", True),
        ("US20040136338A1", "US2004136338A1", True),  # DOCDB's 6-digit serial
        ("US2004136338A1", "US20040136338", True),
        ("US20040136338A1", "2004136338", True),
        ("JP2004136338A", "US20040136338", False),
        ("US20040136338A1", "US2004136338B1", False),
    ],
)
def test_typed_number_finds(stored, typed, found):
    assert matches(stored, typed) is found


@pytest.mark.parametrize(
    "written, kept",
    [
        ("US 123/../../x", False),  # path characters: never read as US123X
        ("US123\\x", False),
        ("US 123/x", False),
        ("TW 201346027 A/", False),
        ("ＵＳ１２３／．．／ｘ", False),
        ("US 9833479 B2", True),
        ("US-9833479-B2", True),
        ("TW 201346027 A", True),
        ("WO/2019/123456", True),
        ("EP 1.234.567 A1", True),
    ],
)
def test_a_number_with_path_characters_is_not_a_number(written, kept):
    assert usable(canonical(written)) is kept
