#!/usr/bin/env bash
# Builds what the benchmarks need and runs them: Google Benchmark's table,
# then the summary of every figure against its goal. About three minutes on
# two cores; keep the machine otherwise idle for figures worth comparing.
#
# Usage: bench/run.sh [build directory] [Google Benchmark options...]
#   e.g. bench/run.sh build --benchmark_filter=throughput
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAIREX_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target pairex_bench
exec "$build/bench/pairex_bench" "$@"
