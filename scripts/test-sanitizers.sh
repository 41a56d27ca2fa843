#!/usr/bin/env bash
# The whole test suite against a build of the GUI module instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer (leak detection on), in its
# own virtual environment .venv-asan. Safe to re-run.
#   GUI_LEAK_PROBE=ON  runs the tests against a build that leaks one object on
#   purpose (build/asan-probe), to show that this stage fails on a leak.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null   # system packages and the normal build
. scripts/venv.sh
probe=${GUI_LEAK_PROBE:-OFF}
GUI_LEAK_PROBE=OFF GUI_SANITIZE=address,undefined venv_install .venv-asan \
    "$(readlink -f .venv/bin/python3.11)" -C build-dir=build/asan -C cmake.build-type=Debug
if [ "$probe" = ON ]; then
    rm -rf build/asan-probe/site
    GUI_LEAK_PROBE=ON GUI_SANITIZE=address,undefined .venv-asan/bin/python -m pip install -q \
        --no-build-isolation --no-deps --target build/asan-probe/site \
        -C build-dir=build/asan-probe -C cmake.build-type=Debug .
    export PYTHONPATH="$PWD/build/asan-probe/site${PYTHONPATH:+:$PYTHONPATH}"
fi

LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:detect_stack_use_after_return=0"
# The probe's report shows the whole stack, down to init_window (slower).
[ "$probe" != ON ] || ASAN_OPTIONS+=":fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$PWD/.ci/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87"
# Python objects through malloc, so that the sanitizer sees each of them.
export PYTHONMALLOC=malloc
exec .venv-asan/bin/python -m pytest -q -p no:cacheprovider -m "not wheel" "$@"
