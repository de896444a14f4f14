#!/usr/bin/env bash
# Builds the benchmark in Release and prints its tables: per operation the
# extension-unit requests, bytes and modelled time on the simulated camera
# against the protocol's floor, growth with cameras and image size, and the
# host's own cost (docs/performance.md).
#
#   tools/bench.sh [--quick] [Google Benchmark options]
#
# --quick runs every table once and the host-time benchmarks briefly (CI).
# The last line of the output is the family-104 update's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

# The same folder and options as a packager's plain Release build (no
# warnings as errors), with the benchmark switched on.
mkdir -p build-release
log=build-release/bench-build.log
{
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQVFLASH_BENCH=ON &&
    cmake --build build-release --target qvflash_bench -j2
} >"$log" 2>&1 || { cat "$log"; exit 1; }

exec build-release/bench/qvflash_bench "$@"
