#!/usr/bin/env bash
# Runs the GUI benchmarks and prints every figure with its ratio.
#
#   bench/run_all.sh            # full run, about 10 minutes
#   bench/run_all.sh --quick    # few runs: checks that the scripts work, figures are rough
#   bench/run_all.sh --host     # also the host benchmarks (report, search, import) when present
#
# Without DISPLAY a private Xvfb is started (and stopped at the end), so no
# window opens on the user's screen. Folders the window creates on "drive C:"
# go to a scratch folder (TESSALOOM_DRIVE_C).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY="$ROOT/.venv/bin/python"
QUICK=0
HOST=0
for arg in "$@"; do
    case "$arg" in
        --quick) QUICK=1 ;;
        --host) HOST=1 ;;
        *) echo "usage: $0 [--quick] [--host]" >&2; exit 2 ;;
    esac
done

SCRATCH=$(mktemp -d -t varnel-bench-XXXXXX)
XVFB_PID=""
cleanup() {
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; wait "$XVFB_PID" 2>/dev/null || true; fi
    rm -rf "$SCRATCH"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
    command -v Xvfb >/dev/null || { echo "Xvfb is not installed and DISPLAY is not set" >&2; exit 1; }
    # Xvfb writes its display number to fd 3 once it accepts clients.
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$SCRATCH/display" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$SCRATCH/display" ] && break; sleep 0.1; done
    [ -s "$SCRATCH/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$SCRATCH/display")"
    # python-xlib (under pyautogui) wants an authority file to read: an empty one.
    : >"$SCRATCH/xauthority"
    export XAUTHORITY="$SCRATCH/xauthority"
fi
mkdir -p "$SCRATCH/drive-c"
export TESSALOOM_DRIVE_C="$SCRATCH/drive-c"

if [ "$QUICK" = 1 ]; then
    IMPORT=(--runs 3); WINDOW=(--runs 3); POLLER=(--ticks 1000 --reps 1 --idle 2)
    MEMORY=(--cycles 12 --receipts 5000)
else
    IMPORT=(); WINDOW=(); POLLER=(); MEMORY=()
fi

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), DISPLAY=$DISPLAY"
cd "$ROOT"
# The benchmarks print only on stdout; python-xlib's warnings about the empty
# authority file go to stderr of the children, which the scripts discard.
for step in "bench_import.py ${IMPORT[*]-}" "bench_window.py ${WINDOW[*]-}" \
            "bench_poller.py ${POLLER[*]-}" "bench_memory.py ${MEMORY[*]-}"; do
    echo
    echo "== $step"
    # shellcheck disable=SC2086  # the step carries its own arguments
    "$PY" bench/$step
done

if [ "$HOST" = 1 ]; then
    for script in bench_report.py bench_search.py bench_ingest.py; do
        if [ -f "bench/$script" ]; then
            echo
            echo "== $script"
            PYTHONPATH="$ROOT/python" "$PY" "bench/$script"
        fi
    done
fi
