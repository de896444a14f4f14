#!/usr/bin/env bash
# The playbook of deploy/ansible/ as a fleet runs it, against this machine
# (connection local) with the simulated camera, whose flash lives in a file
# the scene names and so persists from one run to the next: the first run
# writes the camera (changed), the second finds it current (unchanged), a
# camera whose flash has a stuck cell fails, a machine without the camera is
# ok and unchanged. The program run is the one
# packed in the .deb, unpacked: the suite runs on developers' machines too,
# whose /usr it leaves alone (the role's install task is skipped with
# qvflash_install=false). Prints "N passed, M failed" and the time taken.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
root=$PWD
# shellcheck source=tools/expect.sh
. tools/expect.sh

# Debian's ansible-core (tools/install-deps.sh).
command -v ansible-playbook >/dev/null || bash tools/install-deps.sh

version=$(sed -n 's/^project(qvflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$(ls build-package/packages/qvflash_"$version"-*_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
  cmake --workflow --preset package >/dev/null || exit 1
  deb=$(ls build-package/packages/qvflash_"$version"-*_*.deb | head -n 1)
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/deb"

cat >"$work/inventory.ini" <<INVENTORY
[cameras]
localhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3
INVENTORY
# play <name> <scene>: runs the playbook on <scene>, its output in <name>.log.
play() {
  cat >"$work/vars.json" <<VARS
{"ansible_become": false, "qvflash_install": false,
 "qvflash_command": "$work/deb/usr/bin/qvflash",
 "qvflash_environment": {"QVFLASH_SIM": "$work/$2"},
 "qvflash_remote_report": "$work/remote-report.json",
 "qvflash_report_dir": "$work/reports", "qvflash_try_later_delay": 5}
VARS
  ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCALHOST_WARNING=0 \
    ansible-playbook -i "$work/inventory.ini" -e "@$work/vars.json" \
    "$root/deploy/ansible/site.yml" >"$work/$1.log" 2>&1
  echo $? >"$work/$1.rc"
}
recap() {  # recap <name> <ok|changed|failed> <n>
  grep -qE "^localhost +:.* $2=$3 " "$work/$1.log"
}
for scene in good faulty; do
  faults='[]'
  [ $scene = faulty ] && faults='[{"stuck_cells": [256]}]'
  cat >"$work/$scene.json" <<SCENE
{"cameras": [{"device_path": "\\\\\\\\?\\\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c40&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\\\global",
              "flash_file": "$scene.bin", "faults": $faults}],
 "image_devices": [{"instance_id": "USB\\\\VID_04F2&PID_B5BD&MI_00\\\\6&1A2B3C40&0&0000",
                    "hardware_ids": ["USB\\\\VID_04F2&PID_B5BD&REV_0100"], "address": 3}]}
SCENE
done

echo '{"cameras": [], "image_devices": []}' >"$work/none.json"

started=$SECONDS
play first good.json
play second good.json
play faulty faulty.json
play none none.json
took=$((SECONDS - started))

expect "first run passes" test "$(cat "$work/first.rc")" = 0
expect "first run changed" recap first changed 1
expect "first run: the report fetched" test -s "$work/reports/localhost.json"
expect "second run passes" test "$(cat "$work/second.rc")" = 0
expect "second run changed nothing" recap second changed 0
expect "faulty camera: the run fails" test "$(cat "$work/faulty.rc")" != 0
expect "faulty camera: failed" recap faulty failed 1
expect "faulty camera: the reason told" grep -q "does not hold the firmware" "$work/faulty.log"
expect "no camera on the machine: ok, unchanged" recap none changed 0
expect "no camera on the machine: not failed" recap none failed 0
if [ "$failed" -ne 0 ]; then
  for run in first second faulty none; do sed "s/^/$run: /" "$work/$run.log"; done
fi
echo "four playbook runs took ${took}s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
