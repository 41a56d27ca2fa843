#!/usr/bin/env bash
# Installs everything the product and its tests need, then builds and
# installs the GUI extension into .venv. Safe to re-run.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
command -v Xvfb >/dev/null || need_apt+=(xvfb)
command -v xauth >/dev/null || need_apt+=(xauth)
command -v xdotool >/dev/null || need_apt+=(xdotool)
fc-list 2>/dev/null | grep -qi "Noto Sans CJK" || need_apt+=(fonts-noto-cjk)
command -v g++ >/dev/null || need_apt+=(g++)

# The machine's python3.11 with a working tkinter, else Debian's.
PY=""
for candidate in python3.11 /usr/bin/python3.11; do
    if command -v "$candidate" >/dev/null && "$candidate" -c "import tkinter, venv" 2>/dev/null; then
        PY=$(command -v "$candidate"); break
    fi
done
[ -n "$PY" ] || need_apt+=(python3.11 python3.11-venv python3.11-dev python3-tk)

if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    echo "Installing system packages: ${need_apt[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi
[ -n "$PY" ] || PY=/usr/bin/python3.11

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c "import tkinter" 2>/dev/null; then
    rm -rf .venv
    "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<4" "cmake>=3.18" ninja "setuptools>=70.1"
.venv/bin/python -m pip install -q --no-build-isolation ".[test]"
