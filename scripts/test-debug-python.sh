#!/usr/bin/env bash
# The window tests under Debian's debug build of CPython 3.11 (reference
# counting checks, sys.gettotalrefcount), with the GUI module built for it,
# in its own virtual environment .venv-dbg. Safe to re-run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null   # Xvfb, fonts and the normal build
need_apt=()
command -v python3.11d >/dev/null || need_apt+=(python3.11-dbg)
python3.11d -c "import tkinter" 2>/dev/null || need_apt+=(python3-tk-dbg)
# Pillow and cffi have no wheels for the debug ABI: they build from source.
for pkg in libjpeg-dev zlib1g-dev libfreetype-dev libffi-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi
if [ ! -x .venv-dbg/bin/python ]; then
    python3.11d -m venv .venv-dbg
fi
.venv-dbg/bin/python -m pip install -q --upgrade pip
.venv-dbg/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<4" "cmake>=3.18" ninja
# Pillow's wheels are built for the release ABI and would skew the debug
# interpreter's reference total: build it for this interpreter.
if ! .venv-dbg/bin/python -c "import PIL._imaging as m, sys; sys.exit(not m.__file__.endswith('311d-x86_64-linux-gnu.so'))" 2>/dev/null; then
    .venv-dbg/bin/python -m pip install -q --force-reinstall --no-deps --no-binary pillow pillow
fi
.venv-dbg/bin/python -m pip install -q --no-build-isolation -C build-dir=build/dbg \
    -C cmake.build-type=Debug ".[test]"
exec .venv-dbg/bin/python -m pytest -q -p no:cacheprovider "$@"
