#!/usr/bin/env bash
# Builds the 32-bit Windows program and checks it under Wine (where the kernel
# cannot run 32-bit programs, its 64-bit build under wine64: wine_target.sh):
#  - the file is a PE32 console program that needs only DLLs Windows ships,
#    and its resources hold the four firmware images;
#  - the backend's own checks (win32_checks.exe);
#  - without a simulator, the real DirectShow enumeration finds no camera;
#  - a second instance is refused through the real named mutex;
#  - --help and --version answer alike, before any guard or scene; a refused
#    command line exits 2 alike;
#  - an interrupt and a closed pipe while the camera is written do not end
#    the run; idle sleep is held off while it is written (win32_checks.exe);
#  - simulator scenarios give the same output bytes, exit code, Dump.bin,
#    flash contents, kept image copy and request trace as the native build;
#  - the real DirectShow / Kernel Streaming path, with a stand-in camera
#    filter registered in the prefix, dumps the flash with the same requests
#    as the simulator run; the enumeration copes with long, missing and
#    unbindable device entries.
# Prints "N passed, M failed"; exits 0 only when nothing failed.
#
# Environment: QVFLASH_NATIVE names the native qvflash to compare with
# (default: build/app/qvflash, built with the default preset if missing).
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAILED: $*" >&2
}
expect() {  # expect <description> <command...>
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; fi
}

# shellcheck source=tests/wine/wine_target.sh
. tests/wine/wine_target.sh  # the build this machine's Wine can run
echo "== Windows build"
for preset in $win_presets; do
  cmake --preset "$preset" >/dev/null || exit 1
  cmake --build --preset "$preset" --target qvflash win32_checks hold_guard qv_fake_camera || exit 1
done
bw=$root/build-$win_preset
exe=$bw/app/qvflash.exe

native=${QVFLASH_NATIVE:-$root/build/app/qvflash}
if [ ! -x "$native" ]; then
  cmake --preset default >/dev/null && cmake --build --preset default --target qvflash || exit 1
fi

export WINEPREFIX=$bw/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko installer prompts
unset DISPLAY
wine_run() { timeout 120 wine "$@"; }
echo "== Wine prefix"
timeout 300 wineboot -i >/dev/null 2>&1
stop_wine() { timeout 30 wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT

# The stand-in camera filter of the real-path checks below; registered only
# while they run (a leftover from an interrupted run is removed first).
fake_clsid='{5C3B7A10-9D2E-4F61-A8B4-3E7C2D1F0A95}'
image_device_key='HKLM\System\CurrentControlSet\Enum\USB\VID_04F2&PID_B5BD&MI_00'
# A flatbed scanner without a serial number: the fourth "&" token of its
# instance ID, "0", occurs in the stand-in camera's path.
scanner_key='HKLM\System\CurrentControlSet\Enum\USB\VID_04B8&PID_0142'
image_class='{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}'
camera_class='{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}'
category="HKCR\\CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance"
fake_instance="$category\\$fake_clsid"
unregister_fake() {
  local key
  for key in "$fake_instance" "$category\\qv-long" "$category\\qv-nopath" "$category\\qv-plain"; do
    timeout 60 wine reg delete "$key" /f >/dev/null 2>&1
  done
  timeout 60 wine reg delete "HKCR\\CLSID\\$fake_clsid" /f >/dev/null 2>&1
  timeout 60 wine reg delete "$image_device_key" /f >/dev/null 2>&1
  timeout 60 wine reg delete "$scanner_key" /f >/dev/null 2>&1
  return 0
}
register_fake() {
  local dll
  dll=$(winepath -w "$bw/tests/wine/qv_fake_camera.dll")
  timeout 60 wine reg add "HKCR\\CLSID\\$fake_clsid\\InprocServer32" /ve /d "$dll" /f &&
    timeout 60 wine reg add "HKCR\\CLSID\\$fake_clsid\\InprocServer32" /v ThreadingModel \
      /d Both /f &&
    timeout 60 wine reg add "$fake_instance" /v CLSID /d "$fake_clsid" /f &&
    timeout 60 wine reg add "$fake_instance" /v FriendlyName /d "Quorvel stand-in camera" /f &&
    timeout 60 wine reg add "$fake_instance" /v DevicePath /d "$fake_device_path" /f
} >/dev/null 2>&1
fake_device_path='\\?\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\global'
unregister_fake

work=$bw/wine-tests
rm -rf "$work"
mkdir -p "$work"

# --- The executable file -------------------------------------------------
echo "== executable"
headers=$($win_objdump -p "$exe")
expect "$win_pe_name" grep -q "file format $win_pe_format" <<<"$headers"
expect "console subsystem" grep -q 'Subsystem.*(Windows CUI)' <<<"$headers"
# Only DLLs that are part of Windows (no MinGW runtime DLLs).
system_dlls='^(kernel32|msvcrt|ole32|oleaut32|setupapi|cfgmgr32|advapi32|user32|shell32|ntdll)\.dll$'
dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers")
expect "imports some DLLs" test -n "$dlls"
for dll in $dlls; do
  expect "$dll is a system DLL" grep -Eq "$system_dlls" <<<"$dll"
done

# The four images, read from qvflash.exe through the resource API.
expect "qvflash.exe resources hold the four images" \
  wine_run "$bw/tests/wine/win32_checks.exe" --resources-of "$(winepath -w "$exe")"

echo "== backend checks"
expect "win32_checks" wine_run "$bw/tests/wine/win32_checks.exe"
# Standard error as a file, a pipe and the NUL device: never a console.
error_is_terminal() { wine_run "$bw/tests/wine/win32_checks.exe" --error-is-terminal | tr -d '\r'; }
expect "stderr to a file: not a terminal" \
  test "$(error_is_terminal 2>"$work/stderr-file")" = "not a terminal"
expect "stderr to a pipe: not a terminal" \
  test "$(error_is_terminal 2> >(cat >/dev/null))" = "not a terminal"
expect "stderr to /dev/null: not a terminal" \
  test "$(error_is_terminal 2>/dev/null)" = "not a terminal"
# On a pseudo-terminal Wine gives the program a console: there it is one.
# (Wine draws that console with cursor sequences, taken out here.)
on_terminal() {  # on_terminal <command>: what the terminal showed, as text
  timeout 120 script -qec "$1" /dev/null | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r'
}
expect "stderr on a terminal: a console" \
  grep -qx terminal <<<"$(on_terminal "wine '$bw/tests/wine/win32_checks.exe' --error-is-terminal")"
# QuickEdit: off while the tool runs, the console's mode as it was after.
quickedit=$(on_terminal "wine '$bw/tests/wine/win32_checks.exe' --quickedit" | grep '^quickedit:')
IFS=: read -r _ qe_before qe_during qe_after <<<"$quickedit"
expect "QuickEdit on before the run" test $((0x${qe_before:-0} & 0x40)) -ne 0
expect "QuickEdit off during the run" test -n "$qe_during" -a $((0x${qe_during:-40} & 0x40)) -eq 0
expect "console mode restored after the run" test -n "$qe_after" -a "$qe_after" = "$qe_before"

# The executable's path: 259 characters fit the 260-character buffer with
# its terminator; 260 would be cut short and are refused.
exe_path_length() {  # exe_path_length <folder name length>: the program's own answer
  local dir
  dir=$work/long/$(printf 'd%.0s' $(seq 1 "$1"))
  mkdir -p "$dir"
  cp "$bw/tests/wine/win32_checks.exe" "$dir/c.exe"
  (cd "$work" && wine_run "$dir/c.exe" --executable-path | tr -d '\r')
  rm -rf "$work/long"
}
# The path is <prefix>\<folder>\c.exe: the prefix, 7 characters and the folder.
prefix_length=$(winepath -w "$work/long" | tr -d '\r\n' | wc -c)
fill=$((259 - prefix_length - 7))
expect "a 259-character executable path is used" test "$(exe_path_length "$fill")" = 259
expect "a 260-character executable path is refused" \
  test "$(exe_path_length $((fill + 1)))" = refused

# --- Runs of the tool ----------------------------------------------------
# Each run gets its own folder with a copy of the program, since the tool
# writes "tmp" and "Dump.bin" beside its executable.
run_win() {  # run_win <dir> <args...>: stdout, stderr and rc files in <dir>
  local dir=$1
  shift
  cp "$exe" "$dir/qvflash.exe"
  (cd "$dir" && wine_run ./qvflash.exe "$@" >stdout 2>stderr; echo $? >rc)
}
# Backups and the history of a native run stay in its folder, never the
# home; a Windows run keeps them under the Wine prefix's LOCALAPPDATA.
run_native() {
  local dir=$1
  shift
  cp "$native" "$dir/qvflash"
  (cd "$dir" && XDG_STATE_HOME=$PWD/state timeout 60 ./qvflash "$@" >stdout 2>stderr; echo $? >rc)
  # This machine has no system bus to hold idle sleep off through; Windows
  # holds it through the system call, and says nothing.
  sed -i '/^qvflash: idle sleep is not held off while the camera is written /d' "$dir/stderr"
}

echo "== no simulator: the real camera enumeration"
d=$work/real
mkdir -p "$d"
(unset QVFLASH_SIM; run_win "$d")
expect "no camera: output Fail" cmp -s "$d/stdout" <(printf 'Fail')
expect "no camera: exit 1" grep -qx 1 "$d/rc"
(unset QVFLASH_SIM; run_win "$d" -dbg)
expect "no camera, verbose: message" cmp -s "$d/stdout" <(printf 'No Quorvel camera found\nFail')
expect "no camera, verbose: exit 1" grep -qx 1 "$d/rc"

echo "== second instance"
# start_holder <dir> [mode]: another copy's guard, held until <dir>/stop
# appears (its process id in $holder), waited for until <dir>/ready does.
start_holder() {
  wine_run "$bw/tests/wine/hold_guard.exe" "$(winepath -w "$1")\\ready" \
    "$(winepath -w "$1")\\stop" 60 ${2:+"$2"} &
  holder=$!
  for _ in $(seq 1 600); do
    [ -e "$1/ready" ] && break
    sleep 0.1
  done
}
d=$work/second
mkdir -p "$d"
start_holder "$d"
expect "guard holder started" test -e "$d/ready"
(unset QVFLASH_SIM; run_win "$d")
expect "second instance: message and Fail" \
  cmp -s "$d/stdout" <(printf 'There is already an instance of this application running.Fail')
expect "second instance: exit 1" grep -qx 1 "$d/rc"
# Help needs no guard: answered while another copy holds it.
(unset QVFLASH_SIM; run_win "$d" --help)
expect "second instance: --help still answered" grep -q '^Usage: qvflash ' "$d/stdout"
expect "second instance: --help exit 0" grep -qx 0 "$d/rc"
touch "$d/stop"
wait "$holder"
expect "guard holder ended cleanly" test $? -eq 0
# Once the holder is gone the guard is free again.
(unset QVFLASH_SIM; run_win "$d")
expect "after the holder: runs (no camera)" cmp -s "$d/stdout" <(printf 'Fail')

# A copy in another session is seen through the Global\ name alone; an
# older copy in this session holds only the name without a prefix.
for mode in global session; do
  d=$work/second-$mode
  mkdir -p "$d"
  start_holder "$d" "$mode"
  expect "$mode guard holder started" test -e "$d/ready"
  (unset QVFLASH_SIM; run_win "$d")
  expect "$mode name held: refused" \
    cmp -s "$d/stdout" <(printf 'There is already an instance of this application running.Fail')
  touch "$d/stop"
  wait "$holder"
done

# Two copies of the tool itself: while the first walks twenty simulated
# devices on the real clock (300 ms each), a second one is refused.
slow_scene() {
  local cameras="" i
  for i in $(seq 1 20); do
    cameras+="${cameras:+, }{\"device_path\": \"\\\\\\\\?\\\\pci#camera$i\"}"
  done
  printf '{"clock": "real", "trace": "trace.txt", "cameras": [%s]}\n' "$cameras"
}
d=$work/two-copies
mkdir -p "$d/first" "$d/second"
slow_scene >"$d/first/scene.json"
(export QVFLASH_SIM=scene.json; run_win "$d/first") &
first=$!
for _ in $(seq 1 600); do
  grep -q '^SLEEP' "$d/first/trace.txt" 2>/dev/null && break
  sleep 0.1
done
(unset QVFLASH_SIM; run_win "$d/second")
expect "tool against tool: second refused" \
  cmp -s "$d/second/stdout" <(printf 'There is already an instance of this application running.Fail')
wait "$first"
expect "tool against tool: the first ran on (no USB camera)" cmp -s "$d/first/stdout" <(printf 'Fail')
expect "tool against tool: the first walked every device" \
  test "$(grep -c '^SLEEP 300$' "$d/first/trace.txt")" -eq 20

echo "== help and version"
# Answered before any camera or scene: the same bytes as the native build,
# exit 0, even with a scene that cannot be read.
for arg in --help -h '-?' '/?' --version; do
  d=$work/help/${arg//[\/?]/_}
  mkdir -p "$d/native" "$d/win"
  (export QVFLASH_SIM=missing.json; run_native "$d/native" "$arg")
  (export QVFLASH_SIM=missing.json; run_win "$d/win" "$arg")
  expect "$arg: output equal to the native build's" cmp -s "$d/native/stdout" "$d/win/stdout"
  expect "$arg: exit 0" grep -qx 0 "$d/win/rc"
  expect "$arg: nothing on standard error" test ! -s "$d/win/stderr"
done
expect "--help: the usage" grep -q '^Usage: qvflash ' "$work/help/--help/win/stdout"
expect "--version: the version" grep -q '^qvflash [0-9]' "$work/help/--version/win/stdout"

echo "== refused command lines"
# An unknown long option or a switch in the wrong case: exit 2 before any
# scene or camera, the same words on standard error as the native build's.
for arg in --dump -DUMP /dbg --help=1 -list '-dump '; do
  d=$work/refused/${arg//[\/?= ]/_}
  mkdir -p "$d/native" "$d/win"
  (export QVFLASH_SIM=missing.json; run_native "$d/native" "$arg")
  (export QVFLASH_SIM=missing.json; run_win "$d/win" "$arg")
  expect "$arg: exit 2" grep -qx 2 "$d/win/rc"
  expect "$arg: nothing on standard output" test ! -s "$d/win/stdout"
  expect "$arg: standard error equal to the native build's" cmp -s "$d/native/stderr" "$d/win/stderr"
  expect "$arg: the usage follows the reason" grep -q '^Usage: qvflash ' "$d/win/stderr"
done

# --- Simulator scenarios, compared with the native build ------------------
camera_path='\\\\?\\usb#vid_04f2&pid_b5bd&mi_00#6&1a2b3c4d&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global'
image_device='{
      "instance_id": "USB\\VID_04F2&PID_B5BD&MI_00\\6&1A2B3C4D&0&0000",
      "hardware_ids": ["USB\\VID_04F2&PID_B5BD&REV_0100"],
      "address": 3,
      "grandparent_id": "USB\\ROOT_HUB30\\4&2E1B7C0&0&0"
    }'
other_device='{
      "instance_id": "USB\\VID_046D&PID_0825&MI_00\\6&1A2B3C4D&0&0000",
      "hardware_ids": ["USB\\VID_046D&PID_0825&REV_0012"],
      "address": 1,
      "grandparent_id": "USB\\ROOT_HUB30\\4&2E1B7C0&0&0"
    }'

scene() {  # scene <camera keys> <image device>: a one-camera scene
  cat <<JSON
{
  "clock": "virtual",
  "trace": "trace.txt",
  "cameras": [
    {
      "device_path": "$camera_path",
      "flash_file": "flash.bin"$1
    }
  ],
  "image_devices": [ $2 ]
}
JSON
}

# compare <name> <scene text> <setup function or ""> <args...>
compare() {
  local name=$1 text=$2 setup=$3
  shift 3
  local base=$work/sim/$name
  for side in native win; do
    mkdir -p "$base/$side"
    printf '%s\n' "$text" >"$base/$side/scene.json"
    yes "old camera firmware 0.9 " | head -c 65536 >"$base/$side/flash.bin"
    if [ -n "$setup" ]; then (cd "$base/$side" && "$setup"); fi
  done
  (export QVFLASH_SIM=scene.json; run_native "$base/native" "$@")
  (export QVFLASH_SIM=scene.json; run_win "$base/win" "$@")
  local f
  for f in stdout stderr rc trace.txt flash.bin Dump.bin tmp victim camera.bin; do
    if [ -e "$base/native/$f" ] || [ -e "$base/win/$f" ]; then
      expect "$name: $f equal to the native build's" cmp -s "$base/native/$f" "$base/win/$f"
    fi
  done
  # The report names the time of day of the run and of each camera.
  local times='s/"\(time\|started\|ended\)": "[0-9TZ:-]*"/"\1": "T"/'
  if [ -e "$base/native/report.json" ] || [ -e "$base/win/report.json" ]; then
    expect "$name: report.json equal to the native build's (times aside)" \
      cmp -s <(sed "$times" "$base/native/report.json") <(sed "$times" "$base/win/report.json")
  fi
}
# expect_output <name> <stdout> <rc>: the Windows run's absolute outcome
expect_output() {
  expect "$1: output" cmp -s "$work/sim/$1/win/stdout" <(printf '%s' "$2")
  expect "$1: exit code" grep -qx "$3" "$work/sim/$1/win/rc"
}

echo "== simulator scenarios"
compare update "$(scene '' "$image_device")" ""
expect_output update $'Checking, Please wiat...\nPass' 0
expect "update: flash changed" \
  bash -c "! cmp -s '$work/sim/update/win/flash.bin' <(yes 'old camera firmware 0.9 ' | head -c 65536)"
expect "update: no tmp left" test ! -e "$work/sim/update/win/tmp"
# Standard error is a file here, not a console: no progress bar.
expect "update: nothing on standard error" test ! -s "$work/sim/update/win/stderr"
# With standard error on a console, the bar is drawn there and standard
# output stays the same bytes.
d=$work/sim/update-console
mkdir -p "$d"
cp "$exe" "$d/qvflash.exe"
scene '' "$image_device" >"$d/scene.json"
yes "old camera firmware 0.9 " | head -c 65536 >"$d/flash.bin"
shown=$(cd "$d" && on_terminal "TERM=xterm QVFLASH_SIM=scene.json wine ./qvflash.exe 2>&1 >stdout")
expect "update on a console: the bar reaches 100%" grep -Eq '100% *finished' <<<"$shown"
expect "update on a console: output unchanged" cmp -s "$d/stdout" "$work/sim/update/win/stdout"

compare update-verbose "$(scene '' "$image_device")" "" -dbg
expect "update-verbose: nothing on standard error" \
  test ! -s "$work/sim/update-verbose/win/stderr"
expect "update-verbose: tmp kept, 32786 bytes" \
  test "$(stat -c %s "$work/sim/update-verbose/win/tmp" 2>/dev/null)" = 32786

compare dump "$(scene ', "chip_id": 106' "$image_device")" "" -dump
expect_output dump $'Checking, Please wiat...\nDump FW ok.\nPass' 0
expect "dump: Dump.bin equals the flash" \
  cmp -s "$work/sim/dump/win/Dump.bin" "$work/sim/dump/win/flash.bin"

compare private-route "$(scene ', "route": "private", "chip_id": 171' "$image_device")" "" -dbg
compare secondary-guid-dump \
  "$(scene ', "route": "both", "xu_guid": "secondary", "flash": "MX25L512"' "$image_device")" "" -dump
compare family-106 "$(scene ', "chip_id": 180, "flash": "W25X05CL"' "$image_device")" "" -dbg
compare mismatch "$(scene '' "$other_device")" "" -dbg
expect_output mismatch \
  $'Checking, Please wiat...\nDevice 0 VID/PID not match (0x046D/0x0825)\nFail' 1
compare checksum-fault "$(scene ', "faults": [{"checksum_xor": 1}]' "$image_device")" "" -dbg
compare unplugged "$(scene ', "faults": [{"unplug_after": 40}]' "$image_device")" ""
gpio_on() { printf '[SETTING]\r\nGPIO=1\r\n' >setting.ini; }
compare gpio "$(scene '' "$image_device")" gpio_on -dbg
# setting.ini read through the Windows profile: register 0x2041 gets bit 0x02.
expect "gpio: register 0x2041 addressed" grep -q '^0 SET 2 41 20$' "$work/sim/gpio/win/trace.txt"
expect "gpio: not without the setting" \
  bash -c "! grep -q '^0 SET 2 41 20$' '$work/sim/update-verbose/win/trace.txt'"
# The long options that work on cameras: the inventory, an update only where
# needed, the read-back, the report and a named dump, byte for byte as on
# the native build (the report included: the simulated clock times it).
updated_by_native() {  # setup: the flash holds what an update leaves
  cp "$native" ./qvflash-native
  QVFLASH_SIM=scene.json ./qvflash-native >/dev/null 2>&1
  rm -f qvflash-native trace.txt
}
compare list "$(scene ', "chip_id": 180' "$image_device")" "" --list --json report.json
expect "list: the camera's firmware differs" grep -q ' differs ' "$work/sim/list/win/stdout"
expect "list: exit 0" grep -qx 0 "$work/sim/list/win/rc"
expect "list: flash untouched" \
  cmp -s "$work/sim/list/win/flash.bin" <(yes 'old camera firmware 0.9 ' | head -c 65536)
compare list-current "$(scene '' "$image_device")" updated_by_native --list
expect "list-current: current" grep -q ' current ' "$work/sim/list-current/win/stdout"
compare if-needed-current "$(scene '' "$image_device")" updated_by_native \
  --if-needed --verify --json report.json
expect_output if-needed-current $'Checking, Please wiat...\nPass' 0
expect "if-needed-current: no download mode" \
  bash -c "! grep -q '^0 SET 9 ' '$work/sim/if-needed-current/win/trace.txt'"
compare verify-stuck "$(scene ', "faults": [{"stuck_cells": [256]}]' "$image_device")" "" \
  --verify --no-backup
expect_output verify-stuck $'Checking, Please wiat...\nFail' 1
expect "verify-stuck: the first differing address" \
  grep -q 'verify failed: 1 byte differs, the first at 0x0100' "$work/sim/verify-stuck/win/stderr"
compare dump-named "$(scene '' "$image_device")" "" --dump camera.bin
expect "dump-named: camera.bin equals the flash" \
  cmp -s "$work/sim/dump-named/win/camera.bin" "$work/sim/dump-named/win/flash.bin"

# A report that cannot be written (a folder has its name) is refused before
# any camera, through the Windows file calls: exit 2, nothing sent. A camera
# in use refused with "try again later" (4); both streams into one file
# ("2>&1"): the reason starts its own line after "Fail".
d=$work/sim/outputs-first
mkdir -p "$d/r.json"
scene '' "$image_device" >"$d/scene.json"
(export QVFLASH_SIM=scene.json; run_win "$d" --all --json r.json)
expect "outputs-first: exit 2" grep -qx 2 "$d/rc"
expect "outputs-first: nothing was done" grep -q 'nothing was done' "$d/stderr"
expect "outputs-first: no camera request" bash -c "! grep -q '^0 ' '$d/trace.txt' 2>/dev/null"
d=$work/sim/in-use-shared
mkdir -p "$d"
cp "$exe" "$d/qvflash.exe"
scene ', "streaming": true' "$image_device" >"$d/scene.json"
# The redirection is cmd's, as a batch file makes it: Wine gives the streams
# of a Linux shell's "2>&1" two objects it cannot compare.
(cd "$d" && QVFLASH_SIM=scene.json wine_run cmd /c "qvflash.exe --if-needed >both 2>&1"; echo $? >rc)
expect "in-use-shared: exit 4" grep -qx 4 "$d/rc"
expect "in-use-shared: the reason on a line of its own" \
  grep -q '^qvflash: another program is using the camera' "$d/both"

compare bad-scene '{"clock": "virtual", "cameras": [], "no_such_key": 1}' ""
expect_output bad-scene 'Fail' 1

# The write phase on the real clock: once the camera is in download mode,
# Ctrl-C (SIGINT, which Wine hands to the console control handler as
# CTRL_C_EVENT) does not end the tool, and a reader that goes away does not
# either; both runs end in the update's own Pass and the flash the native
# update wrote.
echo "== write phase"
real_clock_camera() {  # real_clock_camera <dir>
  mkdir -p "$1"
  cp "$exe" "$1/qvflash.exe"
  scene '' "$image_device" | sed 's/"clock": "virtual"/"clock": "real"/' >"$1/scene.json"
  yes "old camera firmware 0.9 " | head -c 65536 >"$1/flash.bin"
}
updated_flash=$work/sim/update/native/flash.bin
d=$work/write-phase/interrupt
real_clock_camera "$d"
# timeout hands the interrupt on to the program it runs.
(cd "$d" && QVFLASH_SIM=scene.json exec timeout 120 wine ./qvflash.exe >stdout 2>stderr) &
tool=$!
for _ in $(seq 1 6000); do
  grep -qx '0 SET 9 01' "$d/trace.txt" 2>/dev/null && break
  sleep 0.01
done
expect "interrupt: the camera entered download mode" grep -qx '0 SET 9 01' "$d/trace.txt"
kill -INT "$tool"
wait "$tool"
echo $? >"$d/rc"
expect "interrupt: the run went on to Pass" \
  cmp -s "$d/stdout" <(printf 'Checking, Please wiat...\nPass')
expect "interrupt: exit 0" grep -qx 0 "$d/rc"
expect "interrupt: the notice on standard error" \
  grep -qx 'The camera is being written: wait for Pass or Fail; do not unplug it.' \
  <(tr -d '\r' <"$d/stderr")
expect "interrupt: the flash holds the update" cmp -s "$d/flash.bin" "$updated_flash"

d=$work/write-phase/closed-pipe
real_clock_camera "$d"
(cd "$d" && QVFLASH_SIM=scene.json timeout 120 wine ./qvflash.exe -dbg 2>stderr
  echo $? >rc) | grep -m1 -q 'start update'
expect "closed pipe: exit 0" grep -qx 0 "$d/rc"
expect "closed pipe: the flash holds the update" cmp -s "$d/flash.bin" "$updated_flash"

# Names outside the ANSI code page. The scene path is read from the wide
# environment and the scene's own files are found beside it; a scene that
# cannot be read there ends in the documented "Fail" with its message.
echo "== names outside the code page"
d=$work/unicode
folder='Zürich_カメラ'
mkdir -p "$d/$folder"
scene '' "$image_device" >"$d/$folder/scene.json"
yes "old camera firmware 0.9 " | head -c 65536 >"$d/$folder/flash.bin"
(export LC_ALL=C.UTF-8 QVFLASH_SIM="$folder\\scene.json"; run_win "$d")
expect "scene in $folder: update passes" \
  cmp -s "$d/stdout" <(printf 'Checking, Please wiat...\nPass')
expect "scene in $folder: exit 0" grep -qx 0 "$d/rc"
expect "scene in $folder: trace written beside the scene" test -s "$d/$folder/trace.txt"
expect "scene in $folder: flash updated" \
  bash -c "! cmp -s '$d/$folder/flash.bin' <(yes 'old camera firmware 0.9 ' | head -c 65536)"
(export LC_ALL=C.UTF-8 QVFLASH_SIM="$folder\\missing.json"; run_win "$d")
expect "missing scene in $folder: Fail" cmp -s "$d/stdout" <(printf 'Fail')
expect "missing scene in $folder: exit 1" grep -qx 1 "$d/rc"
expect "missing scene in $folder: message" \
  grep -qF "$folder\\missing.json: cannot read the scene file" "$d/stderr"

# The switch is compared as the system holds the command line: a full-width
# "－ｄｂｇ" or "－ｄｕｍｐ" is no switch (a code-page copy of it could read
# "-dbg").
echo "== arguments"
args=$(export LC_ALL=C.UTF-8; wine_run "$bw/tests/wine/win32_checks.exe" --arguments \
  '－ｄｂｇ' '-dump' | tr -d '\r')
expect "full-width -dbg arrives as its own characters" \
  test "$(sed -n 1p <<<"$args")" = 'FF0D FF44 FF42 FF47'
expect "-dump arrives as itself" test "$(sed -n 2p <<<"$args")" = '002D 0064 0075 006D 0070'
outer_lc_all=${LC_ALL-}
export LC_ALL=C.UTF-8  # the arguments reach Wine as UTF-8
compare fullwidth-dbg "$(scene '' "$image_device")" "" '－ｄｂｇ'
expect_output fullwidth-dbg $'Checking, Please wiat...\nPass' 0
compare fullwidth-dump "$(scene '' "$image_device")" "" '－ｄｕｍｐ'
expect_output fullwidth-dump $'Checking, Please wiat...\nPass' 0
expect "fullwidth-dump: no Dump.bin" test ! -e "$work/sim/fullwidth-dump/win/Dump.bin"
if [ -n "$outer_lc_all" ]; then LC_ALL=$outer_lc_all; else unset LC_ALL; fi

# A link planted at an output name is replaced, never written through.
plant_dump_link() {
  printf 'precious' >victim
  ln -s victim Dump.bin
}
plant_tmp_link() {
  printf 'precious' >victim
  ln -s victim tmp
}
compare dump-link "$(scene '' "$image_device")" plant_dump_link -dump
expect "dump-link: the link's target is untouched" \
  cmp -s "$work/sim/dump-link/win/victim" <(printf 'precious')
expect "dump-link: Dump.bin is a file of its own" test ! -L "$work/sim/dump-link/win/Dump.bin"
compare tmp-link "$(scene '' "$image_device")" plant_tmp_link -dbg
expect "tmp-link: the link's target is untouched" \
  cmp -s "$work/sim/tmp-link/win/victim" <(printf 'precious')

# --- The real DirectShow / Kernel Streaming path --------------------------
# A stand-in filter (tests/wine/qv_fake_camera.dll, backed by the simulator)
# registered in the prefix as a video input device: the tool runs without
# QVFLASH_SIM, through the system device enumerator, the moniker's property
# bag, BindToObject and the filter's IKsControl / IKsTopologyInfo or private
# interface. The requests must be those of the simulator run of the native
# build (sleeps apart: they are real here).
echo "== real camera path with a stand-in filter"
unregister_fake
expect "stand-in filter registered" register_fake

# real_path <name> <camera keys> <args...>
real_path() {
  local name=$1 keys=$2
  shift 2
  local base=$work/real-path/$name text
  text=$(scene "$keys" "$image_device")
  for side in native win; do
    mkdir -p "$base/$side"
    printf '%s\n' "$text" >"$base/$side/scene.json"
    yes "old camera firmware 0.9 " | head -c 65536 >"$base/$side/flash.bin"
  done
  (export QVFLASH_SIM=scene.json; run_native "$base/native" "$@")
  (
    unset QVFLASH_SIM
    export QVFLASH_FAKE_CAMERA_SCENE QVFLASH_FAKE_CAMERA_LOG
    QVFLASH_FAKE_CAMERA_SCENE=$(winepath -w "$base/win/scene.json")
    QVFLASH_FAKE_CAMERA_LOG=$(winepath -w "$base/win/pin.log")
    run_win "$base/win" "$@"
  )
  local f
  for f in stdout rc Dump.bin flash.bin; do
    if [ -e "$base/native/$f" ] || [ -e "$base/win/$f" ]; then
      expect "$name: $f equal to the simulator run's" cmp -s "$base/native/$f" "$base/win/$f"
    fi
  done
  expect "$name: same requests as the simulator run" \
    cmp -s <(grep -v -e '^SLEEP' -e '^END' "$base/native/trace.txt") \
    <(grep -v -e '^SLEEP' -e '^END' "$base/win/trace.txt")
}
real_path ks-dump '' -dump
expect "ks-dump: Dump FW ok, Pass" \
  cmp -s "$work/real-path/ks-dump/win/stdout" <(printf 'Checking, Please wiat...\nDump FW ok.\nPass')
expect "ks-dump: Dump.bin equals the flash" \
  cmp -s "$work/real-path/ks-dump/win/Dump.bin" "$work/real-path/ks-dump/win/flash.bin"
real_path private-dump ', "route": "private", "chip_id": 106' -dump
real_path secondary-dump ', "route": "both", "xu_guid": "secondary", "nodes": ["other", "xu"]' -dump
# Wine's SetupAPI cannot report a device's address or parent, so the USB
# identity of the stand-in camera stays unknown: the update must be refused
# with the flash untouched.
d=$work/real-path/update
mkdir -p "$d"
scene '' "$image_device" >"$d/scene.json"
yes "old camera firmware 0.9 " | head -c 65536 >"$d/flash.bin"
(
  unset QVFLASH_SIM
  export QVFLASH_FAKE_CAMERA_SCENE
  QVFLASH_FAKE_CAMERA_SCENE=$(winepath -w "$d/scene.json")
  run_win "$d" -dbg
)
expect "update without a USB identity: refused" grep -q 'VID/PID not match' "$d/stdout"
expect "update without a USB identity: exit 1" grep -qx 1 "$d/rc"
expect "update without a USB identity: flash untouched" \
  cmp -s "$d/flash.bin" <(yes "old camera firmware 0.9 " | head -c 65536)

# The stand-in camera's device node in the Camera setup class only (as
# Windows' in-box driver installs cameras), behind a scanner without a
# serial number in the Image class whose token occurs in the camera's path:
# the camera's own node is found by its whole instance ID, without the
# address property Wine cannot report, and the update runs through the real
# DirectShow / Kernel Streaming path with the simulator run's requests.
echo "== Camera class and the camera's own identity"
register_node() {  # register_node <key> <instance> <class> <first hardware ID>
  timeout 60 wine reg add "$1\\$2" /v ClassGUID /d "$3" /f &&
    timeout 60 wine reg add "$1\\$2" /v HardwareID /t REG_MULTI_SZ /d "$4\\0${4%&REV_*}" /f
} >/dev/null 2>&1
expect "scanner registered in the Image class" \
  register_node "$scanner_key" '5&1A2B3C4D&0&2' "$image_class" 'USB\VID_04B8&PID_0142&REV_0100'
expect "camera registered in the Camera class" \
  register_node "$image_device_key" '6&1A2B3C4D&0&0000' "$camera_class" \
  'USB\VID_04F2&PID_B5BD&REV_0100'
listing=$(wine_run "$bw/tests/wine/win32_checks.exe" --list-camera-devices | tr -d '\r')
expect "Camera-class list holds the camera" \
  grep -qxF 'device USB\VID_04F2&PID_B5BD&MI_00\6&1A2B3C4D&0&0000' <<<"$listing"
listing=$(wine_run "$bw/tests/wine/win32_checks.exe" --list-image-devices | tr -d '\r')
expect "Image-class list holds only the scanner" \
  test "$(grep -c '^device ' <<<"$listing")-$(grep -c '^device .*VID_04B8' <<<"$listing")" = 1-1
real_path camera-class-update '' -dbg
expect "camera-class-update: found and updated" \
  cmp -s "$work/real-path/camera-class-update/win/stdout" \
  "$work/real-path/camera-class-update/native/stdout"
expect "camera-class-update: Pass" grep -q 'Pass$' "$work/real-path/camera-class-update/win/stdout"
expect "camera-class-update: exit 0" grep -qx 0 "$work/real-path/camera-class-update/win/rc"
expect "camera-class-update: flash changed" \
  bash -c "! cmp -s '$work/real-path/camera-class-update/win/flash.bin' \
    <(yes 'old camera firmware 0.9 ' | head -c 65536)"

# The camera held for the write: the stand-in's capture pin, connected to
# the null renderer through Wine's own filter graph before the request that
# enters download mode (its log counts the SET requests so far) and given
# back after the update's last request.
d=$work/real-path/camera-class-update/win
download=$(grep '^0 SET ' "$d/trace.txt" | grep -n '^0 SET 9 01' | head -1 | cut -d: -f1)
expect "camera-class-update: held before download mode" \
  test "$(sed -n 's/^connected //p' "$d/pin.log")" -lt "${download:-0}"
expect "camera-class-update: given back after the last request" \
  test "$(sed -n 's/^released //p' "$d/pin.log")" = "$(grep -c '^0 SET ' "$d/trace.txt")"
# Windows' camera driver need not answer the pin's global instance count
# (the stand-in then refuses it, as the driver does): the pin's connection,
# refused with ERROR_BUSY while another program streams, stops the update
# with "try again later", nothing written. A dry run holds the camera and
# gives it back.
QVFLASH_FAKE_CAMERA_PIN_COUNT=none real_path held-in-use ', "streaming": true' --if-needed
d=$work/real-path/held-in-use/win
expect "held-in-use: exit 4" grep -qx 4 "$d/rc"
expect "held-in-use: refused as busy, never held" \
  test "$(grep -v '^end' "$d/pin.log")" = 'refused 800700AA'
expect "held-in-use: no download request" bash -c "! grep -q '^0 SET 9 ' '$d/trace.txt'"
real_path held-dry-run '' --dry-run
d=$work/real-path/held-dry-run/win
expect "held-dry-run: held once and given back" \
  test "$(cut -d' ' -f1 "$d/pin.log" | tr '\n' ' ')" = 'connected released end '
expect "held-dry-run: no download request" bash -c "! grep -q '^0 SET 9 ' '$d/trace.txt'"

# Another program streams from the camera: its capture pin's global
# instance count, asked through the system's IKsControl, stops the update
# before any request that changes the camera.
echo "== camera in use"
real_path in-use ', "streaming": true' -dbg
expect "in-use: exit 1" grep -qx 1 "$work/real-path/in-use/win/rc"
expect "in-use: flash untouched" \
  cmp -s "$work/real-path/in-use/win/flash.bin" <(yes "old camera firmware 0.9 " | head -c 65536)
expect "in-use: no download request" bash -c "! grep -q '^0 SET 9 ' '$work/real-path/in-use/win/trace.txt'"
real_path pins-unsupported ', "streaming": "unsupported"' -dbg
expect "pins-unsupported: the update goes on" grep -qx 0 "$work/real-path/pins-unsupported/win/rc"
expect "pins-unsupported: said under -dbg" \
  grep -q 'Could not check whether another program is using the camera' \
  "$work/real-path/pins-unsupported/win/stderr"

# A unit without a control the update uses only at the end of the download
# (family 106's commit): the filter hands out the unit's descriptor
# (property 0) through the system's IKsControl, and the update does not
# start.
echo "== a control the update needs"
real_path undeclared-control ', "chip_id": 176, "undeclared_controls": [12]' -dbg
expect "undeclared-control: exit 1" grep -qx 1 "$work/real-path/undeclared-control/win/rc"
expect "undeclared-control: flash untouched" cmp -s \
  "$work/real-path/undeclared-control/win/flash.bin" <(yes "old camera firmware 0.9 " | head -c 65536)
expect "undeclared-control: no download request" \
  bash -c "! grep -q '^0 SET 9 ' '$work/real-path/undeclared-control/win/trace.txt'"
expect "undeclared-control: the control named" grep -q 'control 12, the download commit' \
  "$work/real-path/undeclared-control/win/stderr"
# A unit that declares every control the update uses but has a gap before
# them (control 4): the stand-in filter hands out the unit's descriptor
# (property 0) through the system's IKsControl, and Windows' driver would
# hide every control after the gap, so the update does not start. Basic
# support alone would have let it go on.
real_path hidden-control ', "undeclared_controls": [4]' -dbg
expect "hidden-control: exit 1" grep -qx 1 "$work/real-path/hidden-control/win/rc"
expect "hidden-control: flash untouched" cmp -s \
  "$work/real-path/hidden-control/win/flash.bin" <(yes "old camera firmware 0.9 " | head -c 65536)
expect "hidden-control: no download request" \
  bash -c "! grep -q '^0 SET 9 ' '$work/real-path/hidden-control/win/trace.txt'"
expect "hidden-control: the control named" \
  grep -q 'control 7, the flash command index, is hidden by the driver after the gap at control 4' \
  "$work/real-path/hidden-control/win/stderr"
expect "camera-class-update: the controls were described" \
  bash -c "! grep -q 'Could not check the camera.s controls' \
    '$work/real-path/camera-class-update/win/stderr'"

# The privacy setting: every camera filter refuses to be created with
# E_ACCESSDENIED. The walk passes the camera over and notes why.
echo "== camera privacy"
d=$work/real-path/privacy
mkdir -p "$d"
scene ', "bind_object": "0x80070005"' "$image_device" >"$d/scene.json"
yes "old camera firmware 0.9 " | head -c 65536 >"$d/flash.bin"
counted=$(
  export QVFLASH_FAKE_CAMERA_SCENE
  QVFLASH_FAKE_CAMERA_SCENE=$(winepath -w "$d/scene.json")
  wine_run "$bw/tests/wine/win32_checks.exe" --count-cameras | tr -d '\r'
)
expect "privacy: no camera counted" grep -qx 'count 0 0' <<<"$counted"
expect "privacy: the reason noted with E_ACCESSDENIED" grep -qx 'note 2 80070005' <<<"$counted"
(
  unset QVFLASH_SIM
  export QVFLASH_FAKE_CAMERA_SCENE
  QVFLASH_FAKE_CAMERA_SCENE=$(winepath -w "$d/scene.json")
  run_win "$d" -dbg
)
expect "privacy: no camera, Fail" cmp -s "$d/stdout" <(printf 'No Quorvel camera found\nFail')
expect "privacy: exit 1" grep -qx 1 "$d/rc"
timeout 60 wine reg delete "$image_device_key" /f >/dev/null 2>&1
timeout 60 wine reg delete "$scanner_key" /f >/dev/null 2>&1

# The enumeration's wrappers on devices of other shapes: a DevicePath longer
# than the 256 bytes the tool reads (cut there, never beyond), none at all
# (the read fails and writes nothing), and a filter that cannot be created
# (its failure comes back unchanged).
echo "== enumeration details"
timeout 60 wine reg delete "$fake_instance" /f >/dev/null 2>&1
long_path="\\\\?\\usb#$(printf 'a%.0s' $(seq 1 300))"
{
  timeout 60 wine reg add "$category\\qv-long" /v CLSID /d "$fake_clsid" /f
  timeout 60 wine reg add "$category\\qv-long" /v DevicePath /d "$long_path" /f
  timeout 60 wine reg add "$category\\qv-nopath" /v CLSID /d "$fake_clsid" /f
  timeout 60 wine reg add "$category\\qv-plain" /v CLSID /d "$fake_clsid" /f
  timeout 60 wine reg add "$category\\qv-plain" /v DevicePath /d '\\?\usb#vid_04f2&pid_b5bd' /f
} >/dev/null 2>&1
listing=$(unset QVFLASH_FAKE_CAMERA_SCENE; wine_run "$bw/tests/wine/win32_checks.exe" \
  --list-video-inputs | tr -d '\r')
expect "three devices listed" test "$(grep -c '^00000000 ' <<<"$listing")" -eq 3
expect "long DevicePath cut at 256 bytes" \
  grep -qxF "00000000 00000000 80004005 256 ${long_path:0:256}" <<<"$listing"
expect "missing DevicePath: read fails, nothing written" \
  grep -Eqx '00000000 8[0-9A-F]{7} 80004005 0 ' <<<"$listing"
expect "plain DevicePath read whole" \
  grep -qxF '00000000 00000000 80004005 25 \\?\usb#vid_04f2&pid_b5bd' <<<"$listing"
expect "enumeration S_OK" grep -qx 'enumeration 00000000' <<<"$listing"

# The device registry: an Image-class device entered in the prefix is
# listed with its instance ID and first hardware ID. (Wine cannot report
# its address: the property read fails, so the identity lookup passes it
# over.)
echo "== device registry"
{
  timeout 60 wine reg add "$image_device_key\\6&1A2B3C4D&0&0000" /v ClassGUID \
    /d '{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}' /f
  timeout 60 wine reg add "$image_device_key\\6&1A2B3C4D&0&0000" /v HardwareID /t REG_MULTI_SZ \
    /d 'USB\VID_04F2&PID_B5BD&REV_0100\0USB\VID_04F2&PID_B5BD' /f
} >/dev/null 2>&1
listing=$(wine_run "$bw/tests/wine/win32_checks.exe" --list-image-devices | tr -d '\r')
expect "Image-class device listed by its instance ID" \
  grep -qxF 'device USB\VID_04F2&PID_B5BD&MI_00\6&1A2B3C4D&0&0000' <<<"$listing"
expect "first hardware ID read" grep -qxF 'hardware-id USB\VID_04F2&PID_B5BD&REV_0100' <<<"$listing"
expect "address property asked for" grep -q '^address ' <<<"$listing"
expect "list ends with ERROR_NO_MORE_ITEMS" grep -qx 'end 259' <<<"$listing"
unregister_fake

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
