#!/usr/bin/env bash
# Builds qvflash and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default

# The benchmark once in its quick mode, so that it keeps building and running
# (it asserts no timings).
tools/bench.sh --quick

# The 32-bit Windows program (MinGW-w64 cross build), checked under Wine
# against the native build above.
bash tests/wine/run.sh

# The packages: the .deb of the native build and the .zip of the Windows
# build, with what each must hold.
bash tools/check-packages.sh
