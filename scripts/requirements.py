"""Prints, one a line, what a virtual environment needs before our extension
is built into it without build isolation: the build requirements and the
dependencies (with the extras named on the command line) that pyproject.toml
declares. Each of them is then installed with its own declared build tools."""

import sys
import tomllib
from pathlib import Path

project_file = Path(__file__).resolve().parent.parent / "pyproject.toml"
data = tomllib.loads(project_file.read_text(encoding="utf-8"))
project = data["project"]
lines = list(data["build-system"]["requires"])
lines += ["cmake>=3.18", "ninja"]  # scikit-build-core finds these on PATH when not isolated
lines += project.get("dependencies", [])
for extra in sys.argv[1:]:
    lines += project.get("optional-dependencies", {})[extra]
print("\n".join(lines))
