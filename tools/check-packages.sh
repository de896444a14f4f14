#!/usr/bin/env bash
# Makes both packages and checks them as a distribution, an IT department
# and their users would:
#  - the .deb from the `package` workflow preset (Release, hardened, no
#    tests): what it holds, its control fields, lintian with no error and no
#    warning, a stripped and hardened program, and, on a staging root made
#    of this machine's runtime packages, `dpkg -i`, the installed tool run
#    as a non-root member of the video group (and as root) on the simulated
#    camera from a writable current directory, and `dpkg -r` leaving the
#    root as it was;
#  - the .zip from the Windows build: qvflash.exe, README.txt, LICENSE.txt
#    and setting.ini with CRLF line ends, and the version resource and
#    application manifest of qvflash.exe (read from its PE resources).
# Builds what is missing. Prints "N passed, M failed"; exits 0 only when
# nothing failed. Needs root for the staging root (chroot).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# shellcheck source=tools/expect.sh
. tools/expect.sh
listed() {  # listed <listing> <path>: the path is a line of the listing
  grep -qxF "$2" <<<"$1"
}
# Every line of the file ends with CRLF, the last one included.
crlf_only() {
  [ -s "$1" ] && [ "$(grep -c '' "$1")" = "$(grep -c $'\r$' "$1")" ] &&
    [ "$(tail -c 2 "$1" | od -An -tx1 | tr -d ' \n')" = "0d0a" ]
}

version=$(sed -n 's/^project(qvflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
expect "project version found" test -n "$version"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== .deb from the package preset"
rm -rf build-package/packages
cmake --workflow --preset package >"$work/package.log" 2>&1 || {
  cat "$work/package.log" >&2
  exit 1
}
deb=$(ls build-package/packages/qvflash_"$version"-*_*.deb 2>/dev/null | head -n 1)
expect "the .deb is made" test -f "$deb"
if [ -f "$deb" ]; then
  files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||')
  echo "$files" | grep -v '/$'
  for f in usr/bin/qvflash usr/share/man/man1/qvflash.1.gz usr/share/doc/qvflash/README.md \
    usr/share/doc/qvflash/copyright usr/share/doc/qvflash/changelog.Debian.gz; do
    expect ".deb holds $f" listed "$files" "$f"
  done
  expect ".deb holds no file outside /usr" bash -c "! grep -v '^usr/' <<<'$files' | grep -v '^\$'"
  expect "the license is in copyright, not an extra file" \
    bash -c "! grep -q 'usr/share/doc/qvflash/LICENSE' <<<'$files'"

  debversion=$(dpkg-deb -f "$deb" Version)
  expect ".deb version $version-<revision>" bash -c "[[ '$debversion' == $version-* ]]"
  expect ".deb depends on the C library" grep -q libc6 <<<"$(dpkg-deb -f "$deb" Depends)"
  expect "maintainer with an address" \
    grep -qE '^[^<]+ <[^@ ]+@[^> ]+>$' <<<"$(dpkg-deb -f "$deb" Maintainer)"
  expect "an extended description" test "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 3

  echo "-- lintian"
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1
  cat "$work/lintian.txt"
  expect "lintian: no error, no warning" bash -c "! grep -qE '^[EW]: ' '$work/lintian.txt'"

  dpkg-deb -x "$deb" "$work/deb"
  program=$work/deb/usr/bin/qvflash
  expect "packaged program prints its version" \
    test "$("$program" --version | head -n 1)" = "qvflash $version"
  expect "the program is stripped" bash -c "! readelf -S '$program' | grep -q '\.symtab'"
  expect "the program is a PIE" bash -c "readelf -h '$program' | grep -q 'DYN'"
  expect "RELRO" bash -c "readelf -lW '$program' | grep -q GNU_RELRO"
  expect "immediate binding (BIND_NOW)" bash -c "readelf -dW '$program' | grep -qE 'BIND_NOW|FLAGS_1.*NOW'"
  expect "stack protector" bash -c "readelf --dyn-syms -W '$program' | grep -q __stack_chk_fail"
  expect "_FORTIFY_SOURCE" bash -c "readelf --dyn-syms -W '$program' | grep -qE '__[a-z_]+_chk@'"
  expect "manual page compressed, with the version" \
    bash -c "zcat '$work/deb/usr/share/man/man1/qvflash.1.gz' | grep -q 'qvflash $version'"
  expect "changelog names this version" \
    bash -c "zcat '$work/deb/usr/share/doc/qvflash/changelog.Debian.gz' | head -n 1 | grep -qF '($debversion)'"
  expect "copyright holds the license" \
    grep -q 'Permission is hereby granted' "$work/deb/usr/share/doc/qvflash/copyright"
  guide=$work/deb/usr/share/doc/qvflash/README.md
  expect "the README is the users' one: long options, exit codes, where files go" \
    bash -c "grep -qF -- '--if-needed' '$guide' && grep -qF '| 2 |' '$guide' && grep -qF 'current directory' '$guide'"
  expect "the README leaves building, tests and the simulator out" \
    bash -c "! grep -qiE 'tools/|simulat|QVFLASH_SIM' '$guide'"

  echo "-- dpkg -i, runs, dpkg -r on a staging root"
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: the staging root needs root (chroot)" >&2
    failed=$((failed + 1))
  else
    bash tests/packages/staging_root.sh "$deb" "$work/stage" >"$work/stage.log" 2>&1
    stage_rc=$?
    cat "$work/stage.log"
    stage_passed=$(sed -n 's/^staging: \([0-9]*\) passed, \([0-9]*\) failed$/\1/p' "$work/stage.log")
    stage_failed=$(sed -n 's/^staging: \([0-9]*\) passed, \([0-9]*\) failed$/\2/p' "$work/stage.log")
    passed=$((passed + ${stage_passed:-0}))
    failed=$((failed + ${stage_failed:-1}))
    [ "$stage_rc" -eq 0 ] || [ "${stage_failed:-1}" -ne 0 ] || failed=$((failed + 1))
  fi
fi

echo "== .zip from the Windows build"
cmake --preset windows-x86 >/dev/null || exit 1
cmake --build --preset windows-x86 --target qvflash || exit 1
rm -rf build-windows-x86/packages
(cd build-windows-x86 && cpack -G ZIP >/dev/null) || exit 1
zip=build-windows-x86/packages/qvflash-$version-win32.zip
expect "the .zip is made" test -f "$zip"
if [ -f "$zip" ]; then
  files=$(cd "$work" && cmake -E tar tf "$root/$zip")
  echo "$files" | grep -v '/$'
  top=qvflash-$version-win32
  for f in qvflash.exe README.txt LICENSE.txt setting.ini; do
    expect ".zip holds $f" listed "$files" "$top/$f"
  done
  expect ".zip holds no developers' README" bash -c "! grep -q 'README.md' <<<'$files'"
  mkdir -p "$work/zip"
  (cd "$work/zip" && cmake -E tar xf "$root/$zip")
  for f in README.txt LICENSE.txt setting.ini; do
    expect "$f has CRLF line ends only" crlf_only "$work/zip/$top/$f"
  done
  expect "packaged setting.ini leaves GPIO alone" grep -q '^GPIO=0' "$work/zip/$top/setting.ini"
  readme=$work/zip/$top/README.txt
  expect "README.txt names the version" grep -qF "$version" "$readme"
  expect "README.txt tells the exit codes and where files go" \
    bash -c "grep -q 'ERRORLEVEL' '$readme' && grep -q 'Dump.bin' '$readme' && grep -q 'Program Files' '$readme'"
  expect "README.txt tells the long options, exit code 2, camera privacy, the console window" \
    bash -c "grep -qF -- '--list' '$readme' && grep -q '^  2 ' '$readme' && grep -qF 'Privacy' '$readme' && grep -qF 'close the console window' '$readme'"
  expect "README.txt leaves the simulator out" bash -c "! grep -qiE 'simulat|QVFLASH_SIM|scene' '$readme'"
  exe=$work/zip/$top/qvflash.exe
  expect "packaged qvflash.exe is a PE32 program" \
    bash -c "i686-w64-mingw32-objdump -f '$exe' | grep -q 'pei-i386'"
  echo "-- version resource and manifest"
  python3 tests/packages/pe_resources.py "$exe" >"$work/pe.txt" 2>&1
  cat "$work/pe.txt"
  pe() { grep -qxF "$1" "$work/pe.txt"; }
  expect "fixed file version $version.0" pe "FileVersion(fixed) $version.0"
  expect "fixed product version $version.0" pe "ProductVersion(fixed) $version.0"
  for entry in "FileVersion=$version" "ProductVersion=$version" "ProductName=qvflash" \
    "OriginalFilename=qvflash.exe"; do
    expect "version string $entry" pe "$entry"
  done
  expect "a FileDescription" grep -q '^FileDescription=.\+' "$work/pe.txt"
  expect "a LegalCopyright" grep -q '^LegalCopyright=Copyright' "$work/pe.txt"
  expect "manifest: asInvoker" pe "manifest: requestedExecutionLevel asInvoker"
  for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    expect "manifest: supportedOS $os" pe "manifest: supportedOS {$os}"
  done
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
