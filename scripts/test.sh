#!/usr/bin/env bash
# Builds everything with Clang (warnings are errors), then builds with GCC
# under AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
CXX=clang++ cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DX9TR_BENCH=ON >/dev/null
ninja -C build/clang -j "$jobs"

CXX=g++ cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DX9TR_SANITIZE=ON >/dev/null
ninja -C build/test -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build/test
ctest --output-on-failure -j "$jobs"
