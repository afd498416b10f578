#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, the whole tree instrumented, in a
# build directory of their own, and lets each target search for a bounded
# time. A crash is written into tests/hostile/fuzz/regressions/<target>/:
# keep it there (commit it), and the ordinary test suite replays it for good.
#
# Usage: tests/hostile/fuzz/run_fuzz.sh [build directory] [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/../../.."
build=${1:-build-fuzz}
seconds=${2:-25}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAIREX_BUILD_BENCH=OFF \
  -DPAIREX_FUZZ=ON -DPAIREX_FUZZ_SECONDS="$seconds" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags"
cmake --build "$build" -j2 --target fuzz_all
ctest --test-dir "$build" -L fuzz --output-on-failure
