#!/usr/bin/env bash
# Builds qvflash and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default

# A packager's plain Release build: no preset, no warnings as errors.
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
cmake --build build-release -j2

# The benchmark once in its quick mode, so that it keeps building and running
# (it asserts no timings).
tools/bench.sh --quick

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer (Clang),
# the fault sweeps thinned to every 4th request.
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# The fuzz targets, a fixed number of runs each from their seed corpora.
bash tools/fuzz.sh

# The 32-bit Windows program (MinGW-w64 cross build), checked under Wine
# against the native build above.
bash tests/wine/run.sh

# The packages: the .deb of the native build and the .zip of the Windows
# build, with what each must hold.
bash tools/check-packages.sh

# The Linux program against the real uvcvideo driver of Debian's kernel, in a
# qemu VM, with the simulated camera plugged in over USB/IP.
bash tests/vm/run.sh
