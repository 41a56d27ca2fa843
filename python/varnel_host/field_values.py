"""The few values LS= (legal status) and DT= (document type) search by, and
how the words of the exports map to them.

A record keeps its legal status and document type as its export words them
(records.PatentRecord.status, .doctype: Lens.org `ACTIVE`, a kind code `B2`,
a gazette's 消滅); each store keeps beside it the one value it maps to
(contract.code_values), which LS= and DT= compare. A text maps, in this
order, by: the whole text among the field's English words (letter case,
full-width forms and `_ - / . , ; : ( )` not counted); a kind code by its
letter (DT: A1 → 發明公開); its first English word (LS: `Expired - Fee
Related` → expired); the first value, in the table's order, one of whose
Chinese words it contains (Traditional or Simplified: 有效期屆滿 → 失效);
otherwise the field's `other` value. README.md and the help page show the tables.
"""

from __future__ import annotations

import re
import unicodedata
from dataclasses import dataclass, field
from functools import cached_property

import opencc

_T2S = opencc.OpenCC("t2s")


def key(text: str) -> str:
    """A text as the tables name it: NFKC, lower case, `_ - / . , ; : ( )` read as spaces, spaces collapsed."""
    return " ".join(re.sub(r"[_\-/.,;:()]+", " ", unicodedata.normalize("NFKC", text).casefold()).split())


def _table(groups: dict[str, str]) -> dict[str, str]:
    """value -> its words, "|"-separated, as word (key(), and its Simplified
    Chinese form) -> value, in the groups' order."""
    table: dict[str, str] = {}
    for value, words in groups.items():
        for word in words.split("|"):
            table.setdefault(key(word), value)
            table.setdefault(key(_T2S.convert(word)), value)
    return table


_KIND = re.compile(r"[a-z]\d{0,2}")


@dataclass(frozen=True)
class Normalised:
    """A field searched by a few values: `values` in the order they are
    listed, each with its English name (`english`), both accepted in a
    command; `words` the exports' English words (whole texts) -> value;
    `chinese` Chinese words found inside a text -> value, the first in order
    wins; `kinds` kind-code letter -> value (a document type); `first_word`
    whether a text's first English word maps it; `other` the value of a text
    none of these name."""

    code: str
    caption: str
    sources: str  # the imports that carry the field, for the message of a collection without it
    values: tuple[str, ...]
    english: dict[str, str]
    words: dict[str, str]
    chinese: dict[str, str]
    other: str
    kinds: dict[str, str] = field(default_factory=dict)
    first_word: bool = False

    def of(self, text: str) -> str:
        """The value a stored text maps to; "" for an empty text."""
        return self.known(text) or (self.other if text.strip() else "")

    def shown(self, text: str) -> str:
        """A stored text with the value it maps to, as the report shows it:
        "EXPIRED（失效）", the text alone when it is the value, "" when empty."""
        value, text = self.of(text), text.strip()
        return text if value in ("", text) else f"{text}（{value}）"

    def known(self, text: str) -> str:
        """The value the tables map a text to, "" when none names it."""
        written = key(text)
        if not written:
            return ""
        if found := self.words.get(written):
            return found
        if self.kinds and _KIND.fullmatch(written):
            return self.kinds.get(written[0], self.other)
        if self.first_word and written.isascii() and (found := self.words.get(written.split()[0])):
            return found
        return next((value for word, value in self.chinese.items() if word in written), "")

    def searched(self, written: str) -> str:
        """The value a command names (the value, in either script, or its
        English name); ValueError with the Traditional-Chinese reason and
        the form to write instead when it names none."""
        typed = key(written)
        if found := self._named.get(typed):
            return found
        listed = "、".join(f"{value}（{self.english[value]}）" for value in self.values)
        if mapped := self.known(written):
            source = "文件種類代碼" if self.kinds and _KIND.fullmatch(typed) else f"匯出檔的{self.caption}用語"
            raise ValueError(f"「{written}」是{source}，檢索時歸入「{mapped}」：請寫 {self.code}={mapped}（{self.code}= 可用的值：{listed}）")
        raise ValueError(f"「{written}」不是{self.caption}的檢索值；{self.code}= 可用的值：{listed}，例如 {self.code}={self.values[0]}")

    @cached_property
    def _named(self) -> dict[str, str]:
        return _table({value: f"{value}|{self.english[value]}" for value in self.values})


STATUS = Normalised(
    code="LS",
    caption="法律狀態",
    sources="Lens.org 匯出 CSV 的 Legal Status 欄，或我們的 CSV、JSON Lines 的 status（法律狀態）欄",
    values=("有效", "審查中", "失效", "未知"),
    english={"有效": "active", "審查中": "pending", "失效": "inactive", "未知": "unknown"},
    words=_table({
        "有效": "active|patented|granted|in force|alive|valid",
        "審查中": "pending|under examination|examination|filed|published",
        "失效": "inactive|expired|discontinued|lapsed|ceased|revoked|withdrawn|abandoned|rejected|refused|dead|"
               "terminated|not in force|invalid",
        "未知": "unknown|ambiguous",
    }),
    chinese=_table({
        "失效": "失效|消滅|撤銷|撤回|放棄|屆滿|屆期|駁回|核駁|不予|無效|終止|未繳",
        "審查中": "審查|審中|在審|申請中|實審|公開|受理",
        "有效": "有效|存續|維持|授權|核准|公告|領證",
        "未知": "未知|不明",
    }),
    other="未知",
    first_word=True,
)

DOCTYPE = Normalised(
    code="DT",
    caption="文件類型",
    sources="Lens.org 匯出 CSV 的 Document Type 欄、USPTO、Taiwan IPO 與 EPO XML 的文件種類代碼（kind），"
            "或我們的 CSV、JSON Lines 的 doctype（文件類型）欄",
    values=("發明公開", "發明公告", "新型", "設計", "其他"),
    english={"發明公開": "application", "發明公告": "grant", "新型": "utility-model", "設計": "design", "其他": "other"},
    words=_table({
        "發明公開": "patent application|application|amended application|published application",
        "發明公告": "granted patent|grant|granted|patent|amended patent|limited patent|reissue|utility patent",
        "新型": "utility model",
        "設計": "design right|design|design patent|industrial design",
        "其他": "plant patent|search report|statutory invention registration|other|unknown|ambiguous",
    }),
    chinese=_table({
        "設計": "設計|新式樣|外觀",
        "新型": "新型",
        "發明公開": "公開|申請",
        "發明公告": "公告|授權|專利",
    }),
    other="其他",
    # a kind code's letter: A a published application, B and C grants (E a US reissue), U and Y utility models, S and D designs
    kinds={"a": "發明公開", "b": "發明公告", "c": "發明公告", "e": "發明公告", "u": "新型", "y": "新型", "s": "設計", "d": "設計"},
)

# records.SearchField.scheme -> the field's values
NORMALISED = {"status": STATUS, "doctype": DOCTYPE}
