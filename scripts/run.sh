#!/usr/bin/env bash
# The main job: the main window attached to a worker process.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ -z "${DISPLAY:-}" ]; then
    echo "No display: run this from a desktop session, or under 'xvfb-run -a' to try it headless." >&2
    exit 2
fi
exec .venv/bin/varnel-host "$@"
