"""Write sample_patents.jsonl: 240 FICTIONAL patent records for demonstrations.

    python -m varnel_host.sample_data.make_sample

The output is deterministic (fixed seed); rerunning rewrites the same file.
Eight subject areas of 30 records each, Chinese text with English terms,
IPC codes, invented applicants and inventors, application dates 2010-2025.
"""

from __future__ import annotations

import datetime
import json
import random
from dataclasses import asdict
from pathlib import Path

from varnel_host.records import PatentRecord

SEED = 20240601
PER_TOPIC = 30
OUTPUT = Path(__file__).with_name("sample_patents.jsonl")

# subjects: what the invention is; features: what claims and abstracts say
# about it; terms: English terms mixed into abstracts.
TOPICS: list[dict[str, list[str]]] = [
    {
        "subjects": ["固態電池", "鋰離子電池", "電池模組", "鋰離子battery電芯", "全固態電池", "電池管理系統", "鈉離子電池", "電池負極材料"],
        "features": ["硫化物固態電解質層", "矽碳複合負極", "陶瓷隔離膜", "溫度感測單元", "電芯平衡電路", "高鎳正極活性材料", "防爆洩壓閥"],
        "terms": ["solid-state battery", "lithium-ion battery", "battery pack", "BMS", "anode material", "energy density"],
        "ipc": ["H01M10/0525", "H01M4/13", "H01M10/0562", "H01M10/42", "H01M50/20", "H02J7/00"],
    },
    {
        "subjects": ["顯示面板", "OLED顯示裝置", "micro LED顯示器", "觸控顯示模組", "背光模組", "可撓式顯示器"],
        "features": ["薄膜電晶體陣列", "量子點色轉換層", "偏光片", "觸控感測電極", "封裝薄膜", "畫素驅動電路"],
        "terms": ["OLED", "micro LED", "TFT", "quantum dot", "touch panel", "refresh rate"],
        "ipc": ["G09G3/32", "H10K59/10", "G06F3/041", "G02F1/1335", "H01L27/15"],
    },
    {
        "subjects": ["半導體封裝結構", "晶圓", "鰭式場效電晶體", "半導體元件", "重佈線層結構", "晶片堆疊結構"],
        "features": ["矽穿孔", "高介電常數閘極", "銅柱凸塊", "蝕刻停止層", "氮化鎵磊晶層", "散熱蓋"],
        "terms": ["FinFET", "TSV", "wafer-level packaging", "GaN", "EUV lithography", "chiplet"],
        "ipc": ["H01L21/02", "H01L23/498", "H01L29/78", "H01L25/065", "H01L21/3065"],
    },
    {
        "subjects": ["自行車", "電動輔助自行車", "自行車變速器", "自行車煞車裝置", "折疊自行車車架", "自行車花鼓"],
        "features": ["碳纖維車架", "扭力感測器", "電池盒", "液壓碟煞", "無線變速控制器", "快拆機構"],
        "terms": ["e-bike", "derailleur", "disc brake", "carbon frame", "torque sensor", "battery"],
        "ipc": ["B62M6/45", "B62K19/00", "B62L1/00", "B62M9/12", "B62K15/00"],
    },
    {
        "subjects": ["醫療裝置", "血糖監測裝置", "導管", "穿戴式心電圖裝置", "輸液幫浦", "內視鏡"],
        "features": ["生物感測電極", "無線傳輸模組", "抗菌塗層", "微針貼片", "壓力感測器", "可充電電池"],
        "terms": ["ECG", "CGM", "catheter", "wearable device", "Bluetooth Low Energy", "biosensor"],
        "ipc": ["A61B5/00", "A61B5/145", "A61M25/00", "A61M5/142", "A61B1/00"],
    },
    {
        "subjects": ["灌溉系統", "溫室環境控制系統", "農業無人機", "土壤感測裝置", "水耕栽培設備", "稻米收穫機"],
        "features": ["土壤濕度感測器", "滴灌管路", "LED補光燈", "太陽能電池板", "養液循環泵", "影像辨識病蟲害"],
        "terms": ["smart farming", "drone", "IoT sensor", "hydroponics", "irrigation", "yield prediction"],
        "ipc": ["A01G25/16", "A01G9/14", "A01B79/00", "A01G31/00", "B64U10/13"],
    },
    {
        "subjects": ["神經網路訓練方法", "影像辨識系統", "語音辨識裝置", "機器學習模型", "人工智慧推論晶片", "自然語言處理系統"],
        "features": ["卷積神經網路", "注意力機制", "聯邦學習", "知識蒸餾", "資料增強", "量化權重"],
        "terms": ["deep learning", "neural network", "transformer", "AI accelerator", "large language model", "GPU"],
        "ipc": ["G06N3/08", "G06N3/04", "G06V10/82", "G06F18/24", "G10L15/16"],
    },
    {
        "subjects": ["太陽能發電系統", "儲能系統", "電動車充電樁", "智慧電網控制裝置", "風力發電機", "氫燃料電池系統"],
        "features": ["最大功率追蹤", "儲能電池組", "雙向變流器", "負載預測", "質子交換膜", "熱管理迴路"],
        "terms": ["photovoltaic", "energy storage", "EV charger", "smart grid", "inverter", "fuel cell"],
        "ipc": ["H02J3/38", "H02J7/35", "B60L53/30", "H02S40/38", "H01M8/04"],
    },
]
TITLE_FORMS = ["{s}", "{s}及其製造方法", "具有{f}之{s}", "改良式{s}", "{s}的控制方法", "{s}系統"]
ABSTRACT_FORMS = [
    "本發明提供一種{s}，包含{f}與{g}。藉由{f}，可提升效率並降低成本（{t}）。",
    "一種{s}，其利用{f}改善{g}的穩定性；適用於{t}相關應用。",
    "The present disclosure relates to {t} technology. 本揭露之{s}具有{f}，並以{g}減少能量損耗。",
    "本創作為一種{s}，主要由{f}、{g}所構成，兼顧輕量化與耐用度，可應用於{t}。",
]
COMPANIES = [
    "範例{a}股份有限公司", "虛構{a}科技股份有限公司", "示範{a}研究院", "Example {e} Corp. (fictional)",
    "Sample {e} Ltd. (fictional)", "想像{a}工業股份有限公司",
]
AREA_NAMES = [
    ("能源", "Cell"), ("光電", "Display"), ("半導體", "Semicon"), ("車業", "Cycle"),
    ("醫材", "Medical"), ("農業", "Agri"), ("智能", "AI Labs"), ("電力", "Power"),
]
SURNAMES = "陳林黃張李王吳劉蔡楊許鄭謝郭洪"
GIVEN = ["志明", "淑芬", "家豪", "雅婷", "冠宇", "怡君", "建宏", "美玲", "俊傑", "詩涵", "宗翰", "佳穎"]
ENGLISH_NAMES = ["Alex Sample", "Jordan Example", "Casey Placeholder", "Morgan Demo"]
FIRST_DAY, LAST_DAY = datetime.date(2010, 1, 1), datetime.date(2025, 6, 30)
LAST_PUBLISHED = datetime.date(2025, 12, 31)


def _people(rng: random.Random) -> str:
    names = [rng.choice(SURNAMES) + rng.choice(GIVEN) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.15:
        names.append(rng.choice(ENGLISH_NAMES))
    return "; ".join(dict.fromkeys(names))


def _claims(rng: random.Random, subject: str, features: list[str]) -> str:
    first = f"1. 一種{subject}，包含：{features[0]}；以及{features[1]}，連接於該{features[0]}。"
    others = [
        f"{n}. 如請求項1所述之{subject}，其中該{rng.choice(features)}{rng.choice(['為多層結構', '設置於一側', '由控制單元驅動', '具有防水功能'])}。"
        for n in range(2, rng.randint(3, 6))
    ]
    return "\n".join([first, *others])


def _numbers(rng: random.Random, kind: str, filed: datetime.date, published: datetime.date, serial: int) -> tuple[str, str]:
    an = f"{filed.year - 1911:03d}1{serial:05d}"
    if kind == "A":
        return f"TW{published.year}{serial:05d}A", an
    if kind == "U":
        return f"TWM{600000 + serial:06d}U", an
    return f"TWI{700000 + serial:06d}B", an


def records() -> list[PatentRecord]:
    rng = random.Random(SEED)
    out = []
    span = (LAST_DAY - FIRST_DAY).days
    for area, topic in enumerate(TOPICS):
        chinese_area, english_area = AREA_NAMES[area]
        companies = [form.format(a=chinese_area, e=english_area) for form in COMPANIES]
        for number in range(PER_TOPIC):
            serial = area * 1000 + number * 7 + 11
            subject = rng.choice(topic["subjects"])
            f, g = rng.sample(topic["features"], 2)
            form = rng.choice([t for t in TITLE_FORMS if not (t.endswith("系統") and subject.endswith("系統"))])
            title = form.format(s=subject, f=f)
            abstract = rng.choice(ABSTRACT_FORMS).format(s=subject, f=f, g=g, t=rng.choice(topic["terms"]))
            filed = FIRST_DAY + datetime.timedelta(days=rng.randrange(span))
            published = min(filed + datetime.timedelta(days=rng.randint(180, 900)), LAST_PUBLISHED)
            kind = "U" if area == 3 and number % 4 == 0 else rng.choice("AB")
            pn, an = _numbers(rng, kind, filed, published, serial)
            applicants = "; ".join(rng.sample(companies, rng.choice([1, 1, 1, 2])))
            ipc = "; ".join(rng.sample(topic["ipc"], rng.randint(1, 3)))
            out.append(
                PatentRecord(
                    pn=pn, title=title, abstract=abstract, claims=_claims(rng, subject, [f, g]),
                    applicants=applicants, inventors=_people(rng), ipc=ipc, an=an,
                    ad=filed.strftime("%Y%m%d"), pd=published.strftime("%Y%m%d"),
                )
            )
    # Full-width letters, as some filings have them: found by "OLED" too.
    out[30] = PatentRecord(**{**asdict(out[30]), "title": "ＯＬＥＤ顯示面板之封裝結構"})
    return out


def main() -> None:
    with OUTPUT.open("w", encoding="utf-8", newline="\n") as file:
        for record in records():
            file.write(json.dumps(asdict(record), ensure_ascii=False) + "\n")
    print(f"wrote {OUTPUT}")


if __name__ == "__main__":
    main()
