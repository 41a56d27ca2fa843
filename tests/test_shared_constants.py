"""The values the GUI module (C++) shares with varnel_host: written once in
model/shared_names.hpp (the CJK ranges in engine/segment.cpp), equal to Python's."""

import functools
import re
from pathlib import Path

import pytest

from varnel_host import channel, paths, request, segment, settings

ROOT = Path(__file__).resolve().parents[1]
HEADER, SEGMENT = ROOT / "model/shared_names.hpp", ROOT / "engine/segment.cpp"
MAKER, PRODUCT = paths.product_folder().relative_to(paths.drive_root()).parts
ROWS = [  # (C++ name, Python value), grouped by Python module
    ("kStartKey", channel.START_KEY), ("kReceiptKey", channel.RECEIPT_KEY), ("kEndKey", channel.END_KEY),
    ("kCompletionMarker", channel.COMPLETION_MARKER), ("kCommandKey", request.COMMAND_KEY),
    ("kRatioKey", settings.RATIO_KEY), ("kChineseFontKey", settings.CHINESE_FONT_KEY),
    ("kLatinFontKey", settings.LATIN_FONT_KEY), ("kCountKey", settings.COUNT_KEY),
    ("kDefaultRatio", settings.DEFAULT_RATIO), ("kDefaultChineseFont", settings.DEFAULT_CHINESE_FONT),
    ("kDefaultLatinFont", settings.DEFAULT_LATIN_FONT), ("kDefaultCount", settings.DEFAULT_COUNT),
    ("kMakerFolder", MAKER), ("kProductName", PRODUCT),
    ("kProductName", paths.PAGE_PATH[1:] if paths.PAGE_PATH.startswith("/") else None),
    ("kHelpHost", paths.PAGE_HOST), ("kHelpPort", paths.HELP_PORT),
    ("kCjkRanges", segment._CJK_RANGES),
]
ELSEWHERE = {("model/host/host.cpp", "tessaloom")}  # the maker's package, bound under its name
_CONSTANT = re.compile(r'inline constexpr [\w *]+?\b(k\w+) = (?:"([^"\\]*)"|(\d+));')
_CJK_TABLE = re.compile(r"kCjkRanges\[\] = \{(.*?)\};", re.S)
_TOKEN = re.compile(r"//[^\n]*|/\*.*?\*/|'(?:[^'\\\n]|\\.)*'|\"(?:[^\"\\\n]|\\.)*\"", re.S)  # comments, literals
# The port anywhere in code, and each CJK range's first code point in any spelling.
_NUMBERS = {str(paths.HELP_PORT): rf"\b{paths.HELP_PORT}\b"}
_NUMBERS |= {f"0x{first:X}": rf"(?i)\b0x0*{first:x}\b" for first, _ in segment._CJK_RANGES}


@functools.cache
def cpp_values():
    values = {m[1]: m[2] if m[3] is None else int(m[3]) for m in _CONSTANT.finditer(HEADER.read_text("utf-8"))}
    ranges = re.findall(r"\{(0x\w+), (0x\w+)\}", _CJK_TABLE.search(SEGMENT.read_text("utf-8"))[1])
    return values | {"kCjkRanges": tuple((int(a, 16), int(b, 16)) for a, b in ranges)}


def strays(source):
    """The shared values that the C++ `source` spells out instead of naming them."""
    code = _TOKEN.sub(lambda m: "" if m[0][0] == "/" else m[0], source)
    words = [v for v in cpp_values().values() if isinstance(v, str)]
    texts = [m[0][1:-1] for m in _TOKEN.finditer(code) if m[0][0] == '"']
    found = [v for t in texts for v in words if re.search(rf"(?<!\w){re.escape(v)}(?!\w)", t)]
    return found + [n for n, pattern in _NUMBERS.items() if re.search(pattern, code)]


@pytest.mark.parametrize("name, python_value", ROWS)
def test_cpp_value_equals_python(name, python_value):
    assert cpp_values().get(name, "missing") == python_value


def test_every_shared_constant_is_read_and_has_a_row():
    declared = set(re.findall(r"\b(k\w+) =", HEADER.read_text("utf-8"))) | {"kCjkRanges"}
    assert declared == set(cpp_values()) == {name for name, _ in ROWS}


@pytest.mark.parametrize("source, found", [
    ('q["end"].put(x); open("://localhost:34008/VARNEL專利檢索軟體");', ["end", "localhost", "VARNEL專利檢索軟體", "34008"]),
    ('Popen("explorer C:\\\\tessaloom\\\\VARNEL專利檢索軟體"); c == \'"\' ? "標楷體" : x;', ["tessaloom", "VARNEL專利檢索軟體", "標楷體"]),
    ("return c >= 0x4e00 && c <= 0x9fff;", ["0x4E00"]),
    ('import("tessaloom通用模組"); f("ending", 340080, 0x14E00); // q["end"], 34008, 0x3040', []),
])
def test_stray_finder(source, found):
    assert sorted(strays(source)) == sorted(found)


def test_no_other_copy_of_a_shared_value():
    sources = {p.relative_to(ROOT).as_posix(): p.read_text("utf-8") for p in (ROOT / "model").rglob("*.?pp") if p != HEADER}
    segment_code = SEGMENT.read_text("utf-8")
    sources["engine/segment.cpp"] = segment_code.replace(_CJK_TABLE.search(segment_code)[0], "")
    assert {(path, v) for path, text in sources.items() for v in strays(text)} - ELSEWHERE == set()
