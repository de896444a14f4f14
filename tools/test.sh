#!/usr/bin/env bash
# Builds qvflash and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step's start and the time taken so far, to see where the time goes.
step() { echo "== [$((SECONDS / 60))m$((SECONDS % 60))s] $1"; }

step "dependencies"
bash tools/install-deps.sh
step "default build and suite"
cmake --preset default
cmake --build --preset default
ctest --preset default

# A packager's plain Release build: no preset, no warnings as errors. The
# suite is built and run by the presets above and below; here only what is
# shipped, which the benchmark then reuses.
step "plain Release build"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQVFLASH_BUILD_TESTS=OFF
cmake --build build-release -j2

# The benchmark once in its quick mode, so that it keeps building and running
# (it asserts no timings).
step "quick benchmark"
tools/bench.sh --quick

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer (Clang),
# the fault sweeps thinned to every 4th request.
step "sanitizer build and suite"
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# The fuzz targets, a fixed number of runs each from their seed corpora.
step "fuzz targets"
bash tools/fuzz.sh

# The 32-bit Windows program (MinGW-w64 cross build), checked under Wine
# against the native build above.
step "Windows program under Wine"
bash tests/wine/run.sh

# The packages: the .deb of the native build and the .zip of the Windows
# build, with what each must hold.
step "packages"
bash tools/check-packages.sh

# The Ansible playbook of deploy/ansible/ against this machine on the
# simulated camera, with the .deb the step above made.
step "Ansible playbook"
bash tests/deploy/ansible.sh

# The Linux program against the real uvcvideo driver of Debian's kernel, in a
# qemu VM, with the simulated camera plugged in over USB/IP.
step "VM against uvcvideo"
bash tests/vm/run.sh
step "all passed"
