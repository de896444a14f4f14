#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test qvflash.
# Does nothing when everything is already there.
#
#   tools/install-deps.sh          everything (native build, tests, packages,
#                                  the Windows cross build and Wine)
#   tools/install-deps.sh native   only the native build and its tests
set -euo pipefail

what=${1:-all}
case $what in
  all | native) ;;
  *)
    echo "usage: $0 [all|native]" >&2
    exit 2
    ;;
esac

packages=(cmake g++ make libgtest-dev nlohmann-json3-dev)
if [ "$what" = all ]; then
  # Clang with its sanitizer and libFuzzer runtimes (the asan preset and
  # tools/fuzz.sh).
  packages+=(clang libclang-rt-14-dev)
  # The benchmark (tools/bench.sh).
  packages+=(libbenchmark-dev)
  # The .deb package's runtime dependencies (dpkg-shlibdeps), its checks
  # (lintian; the staging root's shell is busybox-static) and the reading of
  # the Windows program's version resource (python3).
  packages+=(dpkg-dev lintian busybox-static python3)
  # The 32-bit Windows build (MinGW-w64 cross compiler) and Wine to test it.
  packages+=(g++-mingw-w64-i686 wine wine32:i386)
  # The 64-bit build of the same sources and wine64, which the Wine checks
  # use where the kernel cannot run 32-bit programs.
  packages+=(g++-mingw-w64-x86-64 wine64)
  # The VM that checks the Linux build against the kernel's uvcvideo driver.
  packages+=(qemu-system-x86 busybox-static cpio kmod xz-utils)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # wine32 is a package of the i386 architecture.
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

# The playbook of deploy/ansible/, run by tests/deploy/ansible.sh: the engine
# alone (its recommended "ansible" package is hundreds of megabytes of
# collections the role does not use).
if [ "$what" = all ] && ! dpkg-query -W -f='${Status}' ansible-core 2>/dev/null |
  grep -q 'install ok installed'; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  [ ${#missing[@]} -gt 0 ] || $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends ansible-core
fi
