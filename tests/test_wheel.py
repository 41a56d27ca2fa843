"""The wheel a user builds with `pip wheel .` holds the whole product and,
installed into a new virtual environment, gives a working `import GUI` and
`varnel-host`."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.usefixtures("display")  # opens windows: needs the private X display

ROOT = Path(__file__).resolve().parents[1]
TEMPLATES = sorted(p.name for p in (ROOT / "model" / "格式範本").iterdir())
EXPECTED = [
    "tessaloom通用模組/__init__.py",
    "varnel_host/__main__.py",
    "varnel_host/sample_data/sample_patents.jsonl",
    "varnel_host/help_page/index.html",
    *("格式範本/" + name for name in TEMPLATES),
]

# Run from outside the source tree, so nothing can come from it.
CHECK_GUI = r'''
import json, os, sys
import GUI
folder = os.path.dirname(GUI.__file__)
print(json.dumps({"prefix": sys.prefix, "file": GUI.__file__, "window": callable(GUI.GUI),
                  "templates": sorted(os.listdir(os.path.join(folder, "格式範本")))}))
'''

SEARCH = r'''
from varnel_host import xlsx_rows  # the report's native rows and deflate
from varnel_host.stores import open_store
store = open_store()
print(store.search("輪子測試專利").total, store.count())
'''


def _run(args, **kw):
    proc = subprocess.run(args, capture_output=True, text=True, encoding="utf-8", **kw)
    assert proc.returncode == 0, f"{args}\n{proc.stdout}\n{proc.stderr}"
    return proc


@pytest.mark.wheel
def test_wheel_installs_a_working_product(tmp_path):
    _run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", str(tmp_path / "dist"),
          "-C", f"build-dir={tmp_path / 'build'}", str(ROOT)], timeout=1200)
    [wheel] = (tmp_path / "dist").glob("varnel_gui-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    for module in ("GUI.", "varnel_host/_segment.", "varnel_host/_xlsx_rows.", "varnel_host/_facets.",
                   "varnel_host/_postings."):  # the native modules
        assert [n for n in names if n.startswith(module) and n.endswith((".so", ".pyd"))], (module, names)
    assert [n for n in EXPECTED if n not in names] == []
    entry_points = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith("entry_points.txt")))
    assert b"varnel-host = varnel_host.__main__:main" in entry_points

    scratch = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(scratch)
    python = scratch / "bin" / "python"
    _run([str(python), "-m", "pip", "install", "-q", str(wheel)], timeout=1200)

    outside = tmp_path / "elsewhere"
    outside.mkdir()
    env = dict(os.environ, TESSALOOM_DRIVE_C=str(tmp_path / "drive"), PYTHONPATH="")
    found = _run([str(python), "-c", CHECK_GUI], cwd=outside, env=env, timeout=120)
    state = json.loads(found.stdout.splitlines()[-1])
    assert Path(state["file"]).is_relative_to(scratch) and Path(state["prefix"]) == scratch
    assert state["window"] and state["templates"] == TEMPLATES

    records = outside / "one.csv"
    records.write_text("pn,title\nTW I999999 B,輪子測試專利\n", encoding="utf-8")
    _run([str(scratch / "bin" / "varnel-host"), "import", str(records)], cwd=outside, env=env,
         timeout=300)
    # An import into a fresh product folder gives exactly the imported records.
    searched = _run([str(python), "-c", SEARCH], cwd=outside, env=env, timeout=120)
    assert searched.stdout.split() == ["1", "1"]
