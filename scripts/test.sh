#!/usr/bin/env bash
# Builds everything with Clang and with GCC optimised (warnings are errors
# in both), gives the fuzz targets a short run from their corpus, then builds
# with GCC under AddressSanitizer and UndefinedBehaviorSanitizer and runs
# every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
CXX=clang++ cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DX9TR_BENCH=ON >/dev/null
ninja -C build/clang -j "$jobs"
# The optimiser finds warnings of its own; the main job and the benchmarks build this way.
CXX=g++ cmake -S . -B build/gcc-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DX9TR_BENCH=ON >/dev/null
ninja -C build/gcc-release -j "$jobs"

# Fuzz smoke run. The fuzz build is a tree of its own: every library carries
# the coverage instrumentation and the sanitizers (fuzz/README.md). The run
# works on a copy of the corpus in a temporary directory, so nothing it finds
# or adds lands in the source tree; on a finding that directory is kept.
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DX9TR_SANITIZE=ON -DX9TR_FUZZ=ON -DX9TR_TESTS=OFF >/dev/null
ninja -C build/fuzz -j "$jobs" fuzz_configuration_walk fuzz_acm_interface
for target in configuration_walk acm_interface; do
    fuzz_run=$(mktemp -d -t x9tr-fuzz.XXXXXX)
    mkdir "$fuzz_run/corpus" "$fuzz_run/crashes"
    cp fuzz/corpus/$target/* "$fuzz_run/corpus/"
    fuzzer="$PWD/build/fuzz/fuzz/fuzz_$target"
    if ! (cd "$fuzz_run" &&
          ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
          "$fuzzer" -max_total_time=5 -timeout=30 -print_final_stats=1 -artifact_prefix="$fuzz_run/crashes/" \
              corpus >"$fuzz_run/fuzz.log" 2>&1); then
        tail -n 60 "$fuzz_run/fuzz.log"
        echo "fuzz_$target found a crash; its input and the whole log are in $fuzz_run" >&2
        exit 1
    fi
    sed -n "s/^stat::\(number_of_executed_units\|average_exec_per_sec\)/fuzz_$target: \1/p" "$fuzz_run/fuzz.log"
    rm -rf "$fuzz_run"
done

CXX=g++ cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DX9TR_SANITIZE=ON >/dev/null
ninja -C build/test -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build/test
ctest --output-on-failure -j "$jobs"
