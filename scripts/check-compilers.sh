#!/usr/bin/env bash
# Builds the GUI module with g++ and with clang++ (Debian's), every warning
# an error: -Wall -Wextra from CMakeLists.txt plus -Werror. Safe to re-run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null   # cmake, ninja and pybind11 in .venv
. scripts/venv.sh
command -v clang++ >/dev/null || apt_install clang
PATH="$PWD/.venv/bin:$PATH"
for cxx in g++ clang++; do
    cmake -S . -B "build/werror-$cxx" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
        -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
        -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
    cmake --build "build/werror-$cxx"
    echo "$cxx: the GUI module builds with -Wall -Wextra -Werror"
done
