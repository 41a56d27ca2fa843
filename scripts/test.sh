#!/usr/bin/env bash
# The whole test suite, on a private virtual display that the tests start.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python -m pytest -q "$@"
