#!/usr/bin/env bash
# Builds qvflash and runs it on the simulated camera of examples/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target qvflash
echo "qvflash built at build/app/qvflash; the simulated camera arrives next."
