#!/usr/bin/env bash
# Installs everything the product and its tests need, then builds and
# installs the GUI extension into .venv. Safe to re-run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/venv.sh

need_apt=()
command -v Xvfb >/dev/null || need_apt+=(xvfb)
command -v xauth >/dev/null || need_apt+=(xauth)
command -v xdotool >/dev/null || need_apt+=(xdotool)
# grep reads all of it: with -q, fc-list could die of SIGPIPE and fail the pipe.
fc-list 2>/dev/null | grep -i "Noto Sans CJK" >/dev/null || need_apt+=(fonts-noto-cjk)
command -v g++ >/dev/null || need_apt+=(g++)
# The tests of the PostgreSQL store start a throw-away server of their own.
ls /usr/lib/postgresql/15/bin/initdb >/dev/null 2>&1 || need_apt+=(postgresql-15)

# The machine's python3.11 with a working tkinter, else Debian's.
PY=""
for candidate in python3.11 /usr/bin/python3.11; do
    if command -v "$candidate" >/dev/null && "$candidate" -c "import tkinter, venv" 2>/dev/null; then
        PY=$(command -v "$candidate"); break
    fi
done
[ -n "$PY" ] || need_apt+=(python3.11 python3.11-venv python3.11-dev python3-tk)

apt_install "${need_apt[@]}"
[ -n "$PY" ] || PY=/usr/bin/python3.11

venv_install .venv "$PY" -C build-dir=build/dev
