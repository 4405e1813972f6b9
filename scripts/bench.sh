#!/usr/bin/env bash
# Builds and runs the benchmarks (Release, no sanitizers). Arguments go to
# the benchmark program, e.g. --benchmark_filter=Collection.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
CXX=g++ cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DX9TR_TESTS=OFF -DX9TR_BENCH=ON >/dev/null
ninja -C build/bench x9tr_bench >/dev/null
exec build/bench/bench/x9tr_bench "$@"
