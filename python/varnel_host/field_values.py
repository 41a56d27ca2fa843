"""The few values LS= (legal status) and DT= (document type) search by, and
how the words of the exports map to them.

A record keeps its legal status and document type as its export words them
(records.PatentRecord.status, .doctype: Lens.org `ACTIVE`, a kind code `B2`,
a gazette's 消滅); each store keeps beside it the one value it maps to
(contract.code_values), which LS= and DT= compare. A text is mapped by, in
this order: the whole text in the field's table (letter case, full-width
forms, `_`, `-` and `/` not counted); for a document type a kind code by its
letter (A1 → 發明公開); for a legal status its first English word (`Expired -
Fee Related` → expired); the first of the field's Chinese keywords found in
the text (in the order of KEYWORDS: 有效期屆滿 is 失效); otherwise the
field's `other` value. README.md and the help page show the tables.
"""

from __future__ import annotations

import re
import unicodedata
from dataclasses import dataclass, field


def key(text: str) -> str:
    """A text as the tables name it: NFKC, lower case, `_ - / . , ; : ( )` read as spaces, spaces collapsed."""
    return " ".join(re.sub(r"[_\-/.,;:()]+", " ", unicodedata.normalize("NFKC", text).casefold()).split())


_KIND = re.compile(r"[a-z]\d{0,2}")


@dataclass(frozen=True)
class Normalised:
    """A field searched by a few values: `values` in the order they are
    listed, each with its English name (`english`, accepted in a command as
    the value itself); `words` the exports' words (key()) -> value; `keywords`
    (keyword, value) found inside a Chinese text, the first found wins;
    `kinds` kind-code letter -> value (a document type); `other` the value of
    a text none of these name."""

    code: str
    caption: str
    sources: str  # the imports that carry the field, for the message of a collection without it
    values: tuple[str, ...]
    english: dict[str, str]
    words: dict[str, str]
    keywords: tuple[tuple[str, str], ...]
    other: str
    kinds: dict[str, str] = field(default_factory=dict)
    first_word: bool = False
    # what a command may write for a value beyond the value and its English name (key())
    written: dict[str, str] = field(default_factory=dict)

    def of(self, text: str) -> str:
        """The value a stored text maps to; "" for an empty text."""
        return self.known(text) or (self.other if text.strip() else "")

    def known(self, text: str) -> str:
        """The value a text maps to by the tables, "" when none names it."""
        written = key(text)
        if not written:
            return ""
        if found := self.words.get(written):
            return found
        if self.kinds and _KIND.fullmatch(written):
            return self.kinds.get(written[0], self.other)
        if self.first_word and written.isascii() and (found := self.words.get(written.split()[0])):
            return found
        return next((value for keyword, value in self.keywords if keyword in written), "")

    def searched(self, written: str) -> str:
        """The value a command names (the value, its English name or a listed
        other form); ValueError with the Traditional-Chinese reason and the
        form to write instead when it names none."""
        typed = key(written)
        named = {key(value): value for value in self.values} | {key(name): value for value, name in self.english.items()}
        if found := named.get(typed) or self.written.get(typed):
            return found
        listed = "、".join(f"{value}（{self.english[value]}）" for value in self.values)
        if mapped := self.known(written):
            source = "文件種類代碼" if self.kinds and _KIND.fullmatch(typed) else f"匯出檔的{self.caption}用語"
            raise ValueError(f"「{written}」是{source}，檢索時歸入「{mapped}」：請寫 {self.code}={mapped}（{self.code}= 可用的值：{listed}）")
        raise ValueError(f"「{written}」不是{self.caption}的檢索值；{self.code}= 可用的值：{listed}，例如 {self.code}={self.values[0]}")


def _table(groups: dict[str, str]) -> dict[str, str]:
    """value -> its words, "|"-separated, as word (key()) -> value."""
    return {key(word): value for value, words in groups.items() for word in words.split("|")}


def _keywords(groups: dict[str, str]) -> tuple[tuple[str, str], ...]:
    return tuple((word, value) for value, words in groups.items() for word in words.split("|"))


STATUS = Normalised(
    code="LS",
    caption="法律狀態",
    sources="Lens.org 匯出 CSV 的 Legal Status 欄，或我們的 CSV、JSON Lines 的 status（法律狀態）欄",
    values=("有效", "審查中", "失效", "未知"),
    english={"有效": "active", "審查中": "pending", "失效": "inactive", "未知": "unknown"},
    words=_table({
        "有效": "active|patented|granted|grant|in force|alive|valid|live|有效|存續|維持|授權|核准|公告|领证|領證|存续|维持|授权",
        "審查中": "pending|under examination|examination|in examination|filed|published|審查中|审查中|審中|审中|"
                 "在審|在审|申請中|申请中|實審|实审|公開|公开|受理",
        "失效": "inactive|expired|discontinued|lapsed|lapse|ceased|revoked|withdrawn|abandoned|rejected|refused|dead|"
               "terminated|not in force|invalid|失效|消滅|消灭|撤銷|撤销|撤回|放棄|放弃|屆滿|届满|屆期|届期|駁回|驳回|核駁|"
               "核驳|不予專利|無效|无效|終止|终止",
        "未知": "unknown|ambiguous|n a|未知|不明",
    }),
    keywords=_keywords({
        "失效": "失效|消滅|消灭|撤銷|撤销|撤回|放棄|放弃|屆滿|届满|屆期|届期|駁回|驳回|核駁|核驳|不予|無效|无效|終止|终止|未繳|未缴",
        "審查中": "審查|审查|審中|审中|在審|在审|申請中|申请中|實審|实审|公開|公开|受理",
        "有效": "有效|存續|存续|維持|维持|授權|授权|核准|公告|證書|证书|領證|领证",
        "未知": "未知|不明",
    }),
    other="未知",
    first_word=True,
    written={"审查中": "審查中"},
)

DOCTYPE = Normalised(
    code="DT",
    caption="文件類型",
    sources="Lens.org 匯出 CSV 的 Document Type 欄、USPTO、Taiwan IPO 與 EPO XML 的文件種類代碼（kind），"
            "或我們的 CSV、JSON Lines 的 doctype（文件類型）欄",
    values=("發明公開", "發明公告", "新型", "設計", "其他"),
    english={"發明公開": "application", "發明公告": "grant", "新型": "utility-model", "設計": "design", "其他": "other"},
    words=_table({
        "發明公開": "patent application|application|amended application|published application|unexamined application|"
                  "發明公開|发明公开|公開|公开|公開案|發明申請|发明申请",
        "發明公告": "granted patent|grant|granted|patent|amended patent|limited patent|reissue|reissued patent|"
                  "examined patent|utility patent|發明公告|发明公告|公告|發明專利|发明专利|發明授權|发明授权|授權|授权",
        "新型": "utility model|utility models|新型|新型專利|新型专利|新型公告|實用新型|实用新型",
        "設計": "design right|design|design patent|industrial design|設計|设计|設計專利|设计专利|新式樣|新式样|外觀設計|外观设计",
        "其他": "plant patent|search report|statutory invention registration|other|unknown|ambiguous|其他",
    }),
    keywords=_keywords({
        "設計": "設計|设计|新式樣|新式样|外觀|外观",
        "新型": "新型",
        "發明公開": "公開|公开|申請|申请",
        "發明公告": "公告|授權|授权|專利|专利",
    }),
    other="其他",
    # a kind code's letter: A published application, B and C granted (E a US reissue), U and Y utility models, S and D designs
    kinds={"a": "發明公開", "b": "發明公告", "c": "發明公告", "e": "發明公告", "u": "新型", "y": "新型", "s": "設計", "d": "設計"},
    written={"发明公开": "發明公開", "发明公告": "發明公告", "设计": "設計", "granted": "發明公告"},
)

# records.SearchField.scheme -> the field's values
NORMALISED = {"status": STATUS, "doctype": DOCTYPE}
