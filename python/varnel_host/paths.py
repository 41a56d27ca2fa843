"""Where the product keeps its files.

On Windows the product folder is C:/tessaloom/VARNEL專利檢索軟體/. Elsewhere
"C:/" stands for the folder named by TESSALOOM_DRIVE_C, or the home folder:
the same rule the GUI module follows when it creates the folders.
"""

from __future__ import annotations

import os
from pathlib import Path


def drive_root() -> Path:
    if os.name == "nt":
        return Path("C:/")
    chosen = os.environ.get("TESSALOOM_DRIVE_C", "")
    return Path(chosen) if chosen else Path.home()


# The help page's address: https://PAGE_HOST:HELP_PORT/PAGE_PATH on this machine.
PAGE_HOST = "localhost"  # the name the window opens the page under
PAGE_PATH = "/VARNEL專利檢索軟體"
HELP_PORT = 34008


def product_folder() -> Path:
    return drive_root() / "tessaloom" / "VARNEL專利檢索軟體"


def database_path() -> Path:
    return product_folder() / "patents.sqlite3"


def reports_folder() -> Path:
    return product_folder() / "reports"


def certificate_folder() -> Path:
    return product_folder() / "certificate"


def glossary_path() -> Path:
    """The user's glossary of 中文,English pairs (terms/glossary.py)."""
    return product_folder() / "詞彙表.csv"


def history_path() -> Path:
    """The numbered result sets (history.History)."""
    return product_folder() / "history.jsonl"
