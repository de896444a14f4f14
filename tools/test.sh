#!/usr/bin/env bash
# Builds qvflash and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default

# The 32-bit Windows program (MinGW-w64 cross build), checked under Wine
# against the native build above.
bash tests/wine/run.sh

# The Linux program against the real uvcvideo driver of Debian's kernel, in a
# qemu VM, with the simulated camera plugged in over USB/IP.
bash tests/vm/run.sh
