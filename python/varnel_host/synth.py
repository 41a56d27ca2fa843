"""Large synthetic patent collections for benchmarks and load tests.

    python -m varnel_host.synth N out.jsonl [--seed S]

Text is assembled from word lists (Chinese technical compounds with English
terms mixed in, IPC-shaped codes, invented applicants), so it has the token
mix of real filings; it means nothing. The same (n, seed) gives the same records.
"""

from __future__ import annotations

import argparse
import collections
import datetime
import json
import random
import sys
from collections.abc import Iterator
from dataclasses import asdict
from pathlib import Path

from .records import PatentRecord

MODIFIERS = (
    "高效率 低功耗 可撓式 多層 智慧型 無線 自動化 模組化 複合 奈米 微型 透明 導電 散熱 防水 輕量化 高壓 "
    "固態 光學 生物 柔性 可攜式 耐熱 高頻 低溫 雙向 電動 數位 感應式 主動式 被動式 陣列式 整合式 分散式"
).split()
# Words every field uses, as in real filings.
GENERIC_HEADS = "裝置 系統 模組 結構 單元 元件 材料 電路 方法 組件".split()
# Subject areas: (head nouns, English terms, IPC subclasses). A record is
# written mostly in the words of one area, so a technical word occurs in a
# few percent of records and a generic one in most.
TOPICS = [
    ("電池 電極 隔離膜 電解質 正極 負極 電芯 集電體", "battery lithium-ion solid-state anode cathode BMS", "H01M H02J"),
    ("面板 薄膜 畫素 偏光片 背光 螢幕 觸控層 光源", "OLED LED micro-LED TFT LCD quantum-dot", "G09G H10K G02F"),
    ("晶片 晶圓 電晶體 基板 封裝 導線架 介電層 凸塊", "FinFET wafer GaN SiC CMOS chiplet", "H01L H05K"),
    ("車架 輪轂 齒輪 煞車 變速器 曲柄 踏板 鏈條", "e-bike derailleur disc-brake carbon torque", "B62M B62K B62L"),
    ("導管 探針 支架 感測貼片 輸液管 內視鏡 電極片 針頭", "catheter stent ECG biosensor hydrogel CGM", "A61B A61M A61F"),
    ("噴嘴 泵浦 溫室 灌溉管 土壤 苗床 收穫機 肥料", "drone irrigation hydroponics IoT greenhouse", "A01G A01B B64U"),
    ("演算法 神經網路 影像 訊號 伺服器 記憶體 處理器 模型", "AI neural-network deep-learning transformer GPU FPGA", "G06N G06F G06V G06T"),
    ("天線 濾波器 射頻 基地台 收發器 波導 耦合器 訊框", "5G Wi-Fi Bluetooth antenna beamforming MIMO", "H04W H04L H01Q H04B"),
    ("馬達 轉子 定子 線圈 逆變器 變壓器 電容 散熱片", "inverter converter charger PWM motor SiC", "H02K H02M H02P"),
    ("閥門 管路 風扇 壓縮機 熱交換器 冷媒 外殼 墊片", "HVAC compressor refrigerant valve heat-pump", "F16K F24F F25B"),
    ("聚合物 樹脂 纖維 塗層 黏著劑 觸媒 粉體 陶瓷", "polymer graphene ceramic epoxy coating catalyst", "C08L C08K C01B C09D"),
    ("鏡頭 透鏡 雷射 光纖 感光元件 稜鏡 反射鏡 光柵", "LiDAR laser lens optical-fiber CMOS-sensor", "G02B H01S G01S"),
]
TOPIC_HEADS = [heads.split() for heads, _, _ in TOPICS]
TOPIC_ENGLISH = [english.split() for _, english, _ in TOPICS]
TOPIC_SUBCLASSES = [subclasses.split() for _, _, subclasses in TOPICS]
HEADS = GENERIC_HEADS + [head for heads in TOPIC_HEADS for head in heads]
ENGLISH = [term for terms in TOPIC_ENGLISH for term in terms]
SUBCLASSES = [code for codes in TOPIC_SUBCLASSES for code in codes]
VERBS = "包含 設置於 連接於 用以 藉由 使得 提升 降低 控制 偵測 傳送 接收 調整 固定 環繞 覆蓋 驅動 儲存 計算 產生".split()
PURPOSES = (
    "提升能量密度 降低製造成本 改善散熱效率 延長使用壽命 減少訊號干擾 提高良率 縮小體積 增加安全性 "
    "加快反應速度 降低功耗 提高辨識準確率 簡化組裝流程"
).split()
SYLLABLES = "華 泰 鼎 昇 宏 宇 新 聯 晶 達 碩 和 元 創 瑞 豐 茂 群 凱 誠 捷 光 翔 益".split()
ENGLISH_NAMES = "Nova Apex Zenith Lumen Vertex Orbit Quanta Helix Stellar Pioneer Summit Crest".split()
SURNAMES = list("陳林黃張李王吳劉蔡楊許鄭謝郭洪曾邱廖賴周")
GIVEN_CHARACTERS = list("志明淑芬家豪雅婷冠宇怡君建宏美玲俊傑詩涵宗翰佳穎承恩子晴柏翰思妤")


def _noun(rng: random.Random, topic: int) -> str:
    """A compound noun, mostly from the record's subject area."""
    roll = rng.random()
    if roll < 0.1:
        return rng.choice(TOPIC_ENGLISH[topic]) + rng.choice(TOPIC_HEADS[topic])
    heads = GENERIC_HEADS if roll < 0.35 else TOPIC_HEADS[topic if roll < 0.95 else rng.randrange(len(TOPICS))]
    return rng.choice(MODIFIERS) + rng.choice(heads)


def _sentence(rng: random.Random, topic: int) -> str:
    text = f"{_noun(rng, topic)}{rng.choice(VERBS)}{_noun(rng, topic)}，以{rng.choice(PURPOSES)}"
    if rng.random() < 0.3:
        text += f"（{rng.choice(TOPIC_ENGLISH[topic])} {rng.choice(ENGLISH)}）"
    return text + "。"


def _ipc(rng: random.Random, topic: int) -> str:
    groups = ("00", "02", "04", "08", "10", "12", "0525")
    codes = {f"{rng.choice(TOPIC_SUBCLASSES[topic])}{rng.randint(1, 60)}/{rng.choice(groups)}" for _ in range(rng.randint(1, 4))}
    return "; ".join(sorted(codes))


def _applicants(rng: random.Random) -> str:
    names = []
    for _ in range(rng.choice((1, 1, 1, 2))):
        if rng.random() < 0.25:
            names.append(f"{rng.choice(ENGLISH_NAMES)} {rng.choice(ENGLISH_NAMES)} Inc.")
        else:
            names.append("".join(rng.sample(SYLLABLES, 2)) + rng.choice(("科技", "電子", "材料", "精密", "能源")) + "股份有限公司")
    return "; ".join(names)


def _inventors(rng: random.Random) -> str:
    return "; ".join(rng.choice(SURNAMES) + "".join(rng.sample(GIVEN_CHARACTERS, 2)) for _ in range(rng.randint(1, 4)))


CITED_WINDOW = 50_000  # earlier publications a record may cite


def _bibliography(bib: random.Random, number: int, filed: datetime.date, ipc: str, granted: bool,
                  earlier: collections.deque[str], family: int) -> dict[str, str]:
    """Priority, CPC, family, citations, legal status and document type of
    one record, from their own random stream (the texts stay as they are)."""
    claimed = bib.random() < 0.6
    priority_date = filed - datetime.timedelta(days=bib.randint(30, 365)) if claimed else filed
    priority = (f"US{priority_date.year}/{bib.randrange(10**6):06d}" if bib.random() < 0.5
                else f"TW{priority_date.year - 1911:03d}{bib.randrange(10**7):07d}") if claimed else ""
    cpc = [code for code in ipc.split("; ") if code] + (["Y02E60/10"] if bib.random() < 0.2 else [])
    cited = [bib.choice(earlier) for _ in range(bib.randint(0, 6))] if earlier else []
    if bib.random() < 0.3:
        cited.append(f"US{bib.randint(7_000_000, 11_000_000)}B2")
    return {
        "priority": priority,
        "prd": priority_date.strftime("%Y%m%d"),
        "cpc": "; ".join(dict.fromkeys(cpc)),
        "family": str(family),
        "cites": "; ".join(dict.fromkeys(cited)),
        "status": _worded(bib.choice(("有效", "消滅", "審查中")) if not granted or bib.random() < 0.9 else "撤回", number),
        "doctype": _doctype(granted, number),
    }


# Every third record words its legal status as a Lens.org export does.
_LENS_STATUS = {"有效": "ACTIVE", "消滅": "EXPIRED", "審查中": "PENDING", "撤回": "WITHDRAWN"}


def _worded(status: str, number: int) -> str:
    return _LENS_STATUS[status] if number % 3 == 0 else status


def _doctype(granted: bool, number: int) -> str:
    """A gazette's word or a kind code (no draw of its own: the other fields stay as they are); some grants are utility models or designs."""
    if granted and number % 7 in (3, 5):
        return "新型" if number % 7 == 3 else "設計"
    return ("B" if number % 2 else "公告") if granted else ("A1" if number % 2 else "公開")


def generate(n: int, seed: int = 0) -> Iterator[PatentRecord]:
    """n synthetic records with unique pn; deterministic for (n, seed).
    About a third of the records share a family with the one before; a
    record cites up to six of the CITED_WINDOW publications before it."""
    rng = random.Random(seed)
    bib = random.Random(f"bibliography {seed}")
    earlier: collections.deque[str] = collections.deque(maxlen=CITED_WINDOW)
    family = 0
    first = datetime.date(2000, 1, 1).toordinal()
    span = datetime.date(2025, 6, 30).toordinal() - first
    for number in range(n):
        filed = datetime.date.fromordinal(first + rng.randrange(span))
        published = filed + datetime.timedelta(days=rng.randint(180, 1100))
        topic = rng.randrange(len(TOPICS))
        subject = _noun(rng, topic)
        title = rng.choice(("{}", "{}及其製造方法", "具有{}之裝置", "{}的控制方法")).format(subject)
        abstract = f"本發明提供一種{subject}。" + "".join(_sentence(rng, topic) for _ in range(rng.randint(3, 6)))
        claims = [f"1. 一種{subject}，包含：" + "；".join(_noun(rng, topic) for _ in range(rng.randint(2, 4))) + "。"]
        claims += [
            f"{k}. 如請求項{rng.randint(1, k - 1)}所述之{subject}，其中{_sentence(rng, topic)}" for k in range(2, rng.randint(4, 12))
        ]
        granted = rng.random() < 0.4
        applicants, inventors = _applicants(rng), _inventors(rng)
        ipc = _ipc(rng, topic)
        pn = f"TWI{number:07d}B" if granted else f"TW{published.year}{number:07d}A"
        family += bib.random() >= 0.33
        extra = _bibliography(bib, number, filed, ipc, granted, earlier, family)
        earlier.append(pn)
        yield PatentRecord(
            pn=pn,
            title=title,
            abstract=abstract,
            claims="\n".join(claims),
            applicants=applicants,
            inventors=inventors,
            ipc=ipc,
            an=f"{filed.year - 1911:03d}{number:07d}",
            ad=filed.strftime("%Y%m%d"),
            pd=published.strftime("%Y%m%d"),
            **extra,
        )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m varnel_host.synth", description="Write synthetic patent records as JSON Lines.")
    parser.add_argument("count", type=int)
    parser.add_argument("output", type=Path)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    with args.output.open("w", encoding="utf-8") as file:
        for record in generate(args.count, args.seed):
            file.write(json.dumps(asdict(record), ensure_ascii=False) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
