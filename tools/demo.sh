#!/usr/bin/env bash
# Builds qvflash and runs it on the simulated camera of examples/: a verbose
# update ("-dbg"), then a dump ("-dump"), showing the flash before and after.
# Works from a fresh clone and can be run again and again: everything it
# writes lives in build/demo/, which it lays out anew each time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh native
cmake --preset default >/dev/null
cmake --build --preset default --target qvflash

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
# The tool keeps "tmp" and writes "Dump.bin" beside its executable: run a
# copy in the demo folder so that nothing lands elsewhere.
cp build/app/qvflash "$demo/qvflash"
cp examples/scene.json "$demo/scene.json"
# The camera's flash as an older firmware left it: 64 KB of a text pattern.
old_firmware() {  # the first $1 bytes of it (yes ends by SIGPIPE: no pipefail here)
  head -c "$1" < <(yes "qvflash demo: old firmware 0.9 ")
}
old_firmware 65536 > "$demo/flash.bin"

show() {  # the first 32 bytes of a file
  od -A x -t x1z -N 32 "$1"
}

echo
echo "== flash before the update"
show "$demo/flash.bin"

run() {  # runs the tool in the demo folder; prints its exit code
  local status=0
  # Backups and the history (long options) stay in the demo folder.
  (cd "$demo" && XDG_STATE_HOME=$PWD/state QVFLASH_SIM=scene.json ./qvflash "$@") || status=$?
  echo
  echo "-- exit code $status"
  return "$status"
}

echo
echo "== qvflash -dbg (verbose update)"
run -dbg
echo "== flash after the update"
show "$demo/flash.bin"
if cmp -s <(head -c 32 "$demo/flash.bin") <(old_firmware 32); then
  echo "the flash did not change" >&2
  exit 1
fi
echo "kept image copy: $(stat -c %s "$demo/tmp") bytes in $demo/tmp"

echo
echo "== qvflash -dump"
run -dump
echo "== Dump.bin ($(stat -c %s "$demo/Dump.bin") bytes)"
show "$demo/Dump.bin"
if cmp -s "$demo/Dump.bin" "$demo/flash.bin"; then
  echo "Dump.bin equals the simulated flash."
else
  echo "Dump.bin differs from the simulated flash" >&2
  exit 1
fi
echo
echo "request trace of the dump: $(wc -l < "$demo/trace.txt") lines in $demo/trace.txt"
