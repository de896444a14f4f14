#!/usr/bin/env bash
# Makes both packages and checks what they hold:
#  - from the native build (build/), `cpack -G DEB`: usr/bin/qvflash, its
#    manual page, README and license; the packaged program reports the
#    project's version;
#  - from the Windows build (build-windows-x86/), `cpack -G ZIP`:
#    qvflash.exe, README, license and an example setting.ini side by side.
# Builds what is missing. Prints "N passed, M failed"; exits 0 only when
# nothing failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

passed=0
failed=0
expect() {  # expect <description> <command...>
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
  fi
}
listed() {  # listed <listing> <path>: the path is a line of the listing
  grep -qxF "$2" <<<"$1"
}

version=$(sed -n 's/^project(qvflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
expect "project version found" test -n "$version"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== .deb from the native build"
cmake --preset default >/dev/null || exit 1
cmake --build --preset default --target qvflash || exit 1
rm -rf build/packages
(cd build && cpack -G DEB >/dev/null) || exit 1
deb=$(ls build/packages/qvflash_"$version"_*.deb 2>/dev/null | head -n 1)
expect "the .deb is made" test -f "$deb"
if [ -f "$deb" ]; then
  files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||')
  echo "$files" | grep -v '/$'
  for f in usr/bin/qvflash usr/share/man/man1/qvflash.1 usr/share/doc/qvflash/README.md \
    usr/share/doc/qvflash/LICENSE; do
    expect ".deb holds $f" listed "$files" "$f"
  done
  expect ".deb version $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
  expect ".deb depends on the C library" grep -q libc6 <<<"$(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -x "$deb" "$work/deb"
  expect "packaged program prints its version" \
    test "$("$work/deb/usr/bin/qvflash" --version | head -n 1)" = "qvflash $version"
  expect "manual page carries the version" \
    grep -q "qvflash $version" "$work/deb/usr/share/man/man1/qvflash.1"
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
  for f in qvflash.exe README.md LICENSE.txt setting.ini; do
    expect ".zip holds $f" listed "$files" "$top/$f"
  done
  mkdir -p "$work/zip"
  (cd "$work/zip" && cmake -E tar xf "$root/$zip")
  expect "packaged setting.ini leaves GPIO alone" grep -q '^GPIO=0' "$work/zip/$top/setting.ini"
  expect "packaged qvflash.exe is a PE32 program" \
    bash -c "i686-w64-mingw32-objdump -f '$work/zip/$top/qvflash.exe' | grep -q 'pei-i386'"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
