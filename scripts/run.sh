#!/usr/bin/env bash
# Builds the x9tr program and runs it; with no arguments it runs the main
# job on the built-in default handset. Arguments go to x9tr.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
CXX=g++ cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DX9TR_TESTS=OFF >/dev/null
ninja -C build/release x9tr >/dev/null
exec build/release/tools/x9tr "$@"
