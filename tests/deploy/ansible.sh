#!/usr/bin/env bash
# deploy/ansible/site.yml against this machine (connection local) on the
# simulated camera, whose flash file persists between runs: the first run
# writes it (changed), the second finds it current (unchanged), a stuck flash
# cell fails, a machine without the camera is ok and unchanged. It runs the
# program of the .deb unpacked (qvflash_install=false): the suite also runs on
# developers' machines, whose /usr it leaves alone. Prints the time taken.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
# shellcheck source=tools/expect.sh
. tools/expect.sh
command -v ansible-playbook >/dev/null || bash tools/install-deps.sh  # Debian's ansible-core

version=$(sed -n 's/^project(qvflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
debs=(build-package/packages/qvflash_"$version"-*_*.deb)
[ -f "${debs[0]}" ] || cmake --workflow --preset package >/dev/null || exit 1
debs=(build-package/packages/qvflash_"$version"-*_*.deb)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "${debs[0]}" "$work/deb"
echo -e "[cameras]\nlocalhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3" \
  >"$work/inventory.ini"

play() {  # play <scene>: the playbook on a scene; its output in <scene>.log
  ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=0 ansible-playbook -i "$work/inventory.ini" -e "{
     \"ansible_become\": false, \"qvflash_install\": false, \"qvflash_try_later_delay\": 5,
     \"qvflash_command\": \"$work/deb/usr/bin/qvflash\", \"qvflash_report_dir\": \"$work/reports\",
     \"qvflash_environment\": {\"QVFLASH_SIM\": \"$work/${1%-*}.json\"},
     \"qvflash_remote_report\": \"$work/report.json\"}" deploy/ansible/site.yml >"$work/$1.log" 2>&1
}
recap() { grep -qE "^localhost +:.* $2=$3 " "$work/$1.log"; }  # recap <scene> <count> <n>
camera='{"device_path": "\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global"'
device='{"instance_id": "USB\\VID_04F2&PID_B5BD&MI_00\\6&1&0&0000", "hardware_ids": ["USB\\VID_04F2&PID_B5BD"]}'
echo "{\"cameras\": [$camera, \"flash_file\": \"good.bin\"}], \"image_devices\": [$device]}" >"$work/good.json"
echo "{\"cameras\": [$camera, \"faults\": [{\"stuck_cells\": [256]}]}], \"image_devices\": [$device]}" \
  >"$work/faulty.json"
echo '{"cameras": [], "image_devices": []}' >"$work/none.json"

declare -A rc
started=$SECONDS
for run in good-1 good-2 faulty none; do
  play $run
  rc[$run]=$?
done
echo "four playbook runs took $((SECONDS - started))s"
expect "first run passes" test "${rc[good-1]}" = 0
expect "first run changed" recap good-1 changed 1
expect "the report fetched" test -s "$work/reports/localhost.json"
expect "second run passes" test "${rc[good-2]}" = 0
expect "second run changed nothing" recap good-2 changed 0
expect "faulty camera: the run fails" test "${rc[faulty]}" != 0
expect "faulty camera: failed, the reason told" grep -q "does not hold the firmware" "$work/faulty.log"
expect "no camera: the run passes" test "${rc[none]}" = 0
expect "no camera: unchanged" recap none changed 0
[ "$failed" -eq 0 ] || tail -n 30 "$work"/*.log
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
