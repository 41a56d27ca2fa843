"""Import speed: a USPTO weekly-bulk-like XML file and a 100,000-row Lens CSV.

    python bench/bench_ingest.py [--documents 4000] [--rows 100000] [--store]

The inputs are built from the test fixtures by repeating them with changed
numbers (each USPTO document padded with a description of about 40 KB, the
size of a real grant). Printed: MB of XML parsed per second and Lens rows read
per second (reading, mapping and checking each record, without the database);
with --store also the whole import into a fresh database, records per second.
"""

from __future__ import annotations

import argparse
import io
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import ingest_fixtures as fx  # noqa: E402

from varnel_host.ingest import FileInfo, Importer, finish  # noqa: E402
from varnel_host.ingest.tables import lens_csv  # noqa: E402
from varnel_host.ingest.xmldocs import uspto_xml  # noqa: E402
from varnel_host.store import PatentStore  # noqa: E402

DESCRIPTION = "<description id=\"description\">" + "".join(
    f'<p id="p-{i:04d}" num="{i:04d}">In one embodiment the session manager receives a message, looks up the '
    "dialog it belongs to and, when none is found, creates a new session for it before the application "
    "is told; the acknowledgement is then returned to the user agent client.</p>\n"
    for i in range(160)
) + "</description>\n"


def uspto_bulk(documents: int) -> bytes:
    template = fx.USPTO_GRANT.replace("</abstract>", "</abstract>\n" + DESCRIPTION)
    return "".join(template.format(number=f"{9_000_000 + i:08d}") for i in range(documents)).encode("utf-8")


def lens_rows(rows: int) -> bytes:
    header, rest = fx.LENS_CURRENT.split("\r\n", 1)
    first, second = rest.rstrip("\r\n").split("\r\n2,")
    second = "2," + second
    body = []
    for i in range(rows // 2):
        body.append(first.replace("US 9000001 B2", f"US {9_000_000 + i} B2", 1))
        body.append(second.replace("US 2020/0000002 A1", f"US 2020/{i:07d} A1", 1))
    return ("\r\n".join([header, *body]) + "\r\n").encode("utf-8")


def timed(reader, data: bytes) -> tuple[float, int]:
    start = time.perf_counter()
    count = 0
    for _, item in reader(io.BytesIO(data), FileInfo()):
        finish(item)
        count += 1
    return time.perf_counter() - start, count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=4000, help="USPTO documents in the bulk file")
    parser.add_argument("--rows", type=int, default=100_000, help="rows of the Lens CSV")
    parser.add_argument("--store", action="store_true", help="also import both into a fresh database")
    args = parser.parse_args()

    xml = uspto_bulk(args.documents)
    seconds, count = timed(uspto_xml, xml)
    print(f"USPTO bulk XML: {len(xml) / 1e6:.1f} MB, {count} documents, {seconds:.2f} s, "
          f"{len(xml) / 1e6 / seconds:.1f} MB/s parsed")
    table = lens_rows(args.rows)
    seconds, count = timed(lens_csv, table)
    print(f"Lens CSV: {len(table) / 1e6:.1f} MB, {count} rows, {seconds:.2f} s, {count / seconds:,.0f} rows/s read")
    if args.store:
        with tempfile.TemporaryDirectory() as folder:
            for name, data in (("bulk.xml", xml), ("lens.csv", table)):
                path = Path(folder) / name
                path.write_bytes(data)
                with PatentStore(Path(folder) / f"{name}.sqlite3") as store:
                    start = time.perf_counter()
                    Importer(store, lambda line: None, progress_stream=io.StringIO()).run([path])
                    seconds = time.perf_counter() - start
                    print(f"import {name} into a fresh database: {store.count()} records, {seconds:.2f} s, "
                          f"{store.count() / seconds:,.0f} records/s")


if __name__ == "__main__":
    main()
