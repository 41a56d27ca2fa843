"""The native segmenter against the Python reference, and script folding."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from segment_reference import python_index_text, python_pieces
from varnel_host import segment

# Alphabets where the rules have edges: CJK in both scripts and extension B,
# kana (half-width voicing marks), Hangul jamo and syllables, full-width
# forms, combining marks, Latin with diacritics, digits and separators.
ALPHABET = st.sampled_from(
    list("固態电池體体北京交通大學学髮发後后 ｶﾞｷﾟカㄱㅏ가ᄀ하ＡＢ１２，。（）　\u3000e\u0301\u0308ÉßΣς𝐀①℃µ")
    + list("aZ09./-_ \t\n;:") + ["𠀋", "\ud800", "\x00", "\ufb01", "\u0344", "\uff9e"]
)
TEXTS = st.lists(ALPHABET, max_size=30).map("".join)


@settings(max_examples=400, deadline=None)
@given(TEXTS)
def test_native_cuts_as_the_python_reference(text):
    assert segment.index_text(text) == python_index_text(text)
    assert segment._pieces(text) == python_pieces(text)


def test_threads_segment_at_once_as_one_thread_does():
    # index_text() lets go of the GIL and takes it back for the Python folds
    # (Latin with diacritics, contextual characters): threads interleave there.
    texts = ["固態電池 Électrode ßtraße e\u0301 \u0344 ＡＢ１２ 电池", "Σς Éé ①℃µ 北京交通大學", "\ud800 \x00 𠀋 plain ascii"] * 50
    expected = [python_index_text(text) for text in texts]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: [segment.index_text(text) for text in texts], range(8)))
    assert results == [expected] * 8


@pytest.mark.parametrize(
    "traditional, simplified",
    [("固態電池", "固态电池"), ("北京交通大學", "北京交通大学"), ("鋰離子電池模組", "锂离子电池模组"), ("顯示面板", "显示面板")],
)
def test_traditional_and_simplified_give_one_form(traditional, simplified):
    assert segment.index_text(traditional) == segment.index_text(simplified)
    assert segment.search_tokens(traditional) == segment.search_tokens(simplified)


def test_the_folding_table_comes_from_opencc_and_keeps_one_character_per_character():
    folds = segment.cjk_folds()
    assert len(folds) > 2000  # OpenCC's character table, not a hand-made list
    assert folds[ord("體")] == ord("体") and ord("体") not in folds
