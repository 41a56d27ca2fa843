#!/usr/bin/env bash
# The main job: the main window attached to a worker process.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ -z "${DISPLAY:-}" ]; then
    echo "沒有顯示器 (DISPLAY 未設定)：請在桌面環境中執行，或用 'xvfb-run -a scripts/run.sh' 在無螢幕環境試用。 / No display: run this from a desktop session, or under 'xvfb-run -a'." >&2
    exit 2
fi
# python-xlib (under pyautogui) refuses to connect without an X authority
# file, even to a server that asks for none (one started without xauth):
# give it an empty one then.
if [ ! -e "${XAUTHORITY:-$HOME/.Xauthority}" ]; then
    : >.venv/empty.Xauthority
    export XAUTHORITY="$PWD/.venv/empty.Xauthority"
fi
if ! .venv/bin/python -c "import tkinter; tkinter.Tk().destroy()" 2>/dev/null; then
    echo "無法連線到顯示器 $DISPLAY：請確認 X 伺服器正在執行，且 XAUTHORITY 指向它的授權檔。 / Cannot open display $DISPLAY: check that the X server runs and XAUTHORITY names its authority file." >&2
    exit 2
fi
exec .venv/bin/varnel-host "$@"
