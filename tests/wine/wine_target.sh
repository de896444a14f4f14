# shellcheck shell=bash disable=SC2034,SC2154  # sets variables for run.sh, uses its $root
# Sourced by tests/wine/run.sh: which Windows build the Wine checks run, and
# with which Wine loader.
#
# The program's home is 32-bit Windows, and its 32-bit build is the one
# checked wherever the kernel can run 32-bit programs. Some kernels cannot
# (built without IA-32 emulation): there Wine's 32-bit loader, itself a 32-bit
# program, fails with "Exec format error", and the same checks run against
# the 64-bit build of the same sources under wine64. The 32-bit build is
# still made there, so it keeps compiling without warnings.
#
# Sets: win_presets (the presets to build), win_preset (the one checked),
# win_objdump, win_pe_format / win_pe_name (what its executable file must
# be), and puts a `wine` on PATH that runs that build.

wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64
win_presets=windows-x86
win_preset=windows-x86
win_objdump=i686-w64-mingw32-objdump
win_pe_format=pei-i386
win_pe_name="PE32 (i386)"

# Start the 32-bit loader itself: the kernel either runs it or refuses its
# format. Anything else (not installed, a broken prefix) is left to the
# 32-bit checks to report as before. (Through bash's exec: timeout's own
# execvp would hand a refused file to /bin/sh as a script.)
# shellcheck disable=SC2016  # $0 expands in that bash
wine32_probe=$(timeout 60 bash -c 'exec "$0" --version' "$wine32_loader" 2>&1)
if grep -qi 'exec format error' <<<"$wine32_probe"; then
  echo "== this kernel cannot run 32-bit programs: checking the 64-bit build under wine64"
  echo "   ($wine32_loader --version: Exec format error)"
  win_presets="windows-x86 windows-x64"
  win_preset=windows-x64
  win_objdump=x86_64-w64-mingw32-objdump
  win_pe_format=pei-x86-64
  win_pe_name="PE32+ (x86-64)"
  # /usr/bin/wine, and the wineboot and winepath scripts through it, take the
  # 32-bit loader whenever it is installed: on PATH ahead of them, a `wine`
  # (and the `wine-stable` those scripts call) that takes the 64-bit one.
  wine64_bin=$root/build-windows-x64/wine64-bin
  mkdir -p "$wine64_bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nWINELOADER=%s exec %s "$@"\n' "$wine64_loader" "$wine64_loader" \
      >"$wine64_bin/$name"
    chmod +x "$wine64_bin/$name"
  done
  export PATH=$wine64_bin:$PATH
else
  echo "== checking the 32-bit build under wine"
fi
