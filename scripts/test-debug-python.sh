#!/usr/bin/env bash
# The test suite under Debian's debug build of CPython 3.11 (reference
# counting checks, sys.gettotalrefcount), with the GUI module built for it,
# in its own virtual environment .venv-dbg. Safe to re-run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null   # Xvfb, fonts and the normal build
. scripts/venv.sh
need_apt=()
command -v python3.11d >/dev/null || need_apt+=(python3.11-dbg)
python3.11d -c "import tkinter" 2>/dev/null || need_apt+=(python3-tk-dbg)
# PyPI has no wheels for the debug ABI (cp311d): every compiled dependency
# builds from source, against these headers.
for pkg in libjpeg-dev zlib1g-dev libfreetype-dev libffi-dev libxml2-dev libxslt1-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
apt_install "${need_apt[@]}"
venv_install .venv-dbg "$(command -v python3.11d)" -C build-dir=build/dbg -C cmake.build-type=Debug
# A Pillow built for the release ABI would skew the debug interpreter's
# reference total.
if ! .venv-dbg/bin/python -c "import PIL._imaging as m, sys; sys.exit(not m.__file__.endswith('311d-x86_64-linux-gnu.so'))" 2>/dev/null; then
    .venv-dbg/bin/python -m pip install -q --force-reinstall --no-deps --no-binary pillow pillow
fi
exec .venv-dbg/bin/python -m pytest -q -p no:cacheprovider -m "not wheel" "$@"
