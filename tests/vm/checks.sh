# The checks run inside the test VM (busybox sh, from /init, in /vm).
# Each scenario runs a scene twice: on the plain simulator (QVFLASH_SIM) and
# through the kernel (qvusbcam plugs the scene's cameras into vhci-hcd, and
# qvflash finds them through uvcvideo), each in its own folder with the same
# starting flash, then compares exit code, output, Dump.bin, flash files and
# the extension-unit requests.
#
# Output protocol, one line each, read by run.sh on the host:
#   QVVM PASS <name> | QVVM FAIL <name> | QVVM INFO <text> | QVVM KLOG <line>
#   | QVVM DMESG <kernel log line>

pass() { echo "QVVM PASS $1"; }
fail() { echo "QVVM FAIL $1"; }
info() { while IFS= read -r line; do echo "QVVM INFO $(echo "$line" | cut -c1-200)"; done; }
check() {  # check <name> <command...>
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

# Bounds: one qvflash run, and plugging or unplugging the cameras.
run_limit=120
plug_limit=30

echo
# The driver stack: the module list is in load order (dependencies first).
loaded=yes
while read -r module; do
  insmod "modules/$module" 2>&1 | info
  grep -q "^$(basename "$module" .ko | tr - _) " /proc/modules || loaded=no
done <modules/order
check modules-load [ "$loaded" = yes ]
check vhci-attach-file [ -w /sys/devices/platform/vhci_hcd.0/attach ]

# The number of uvcvideo interfaces bound.
bound_cameras() {
  ls -d /sys/bus/usb/drivers/uvcvideo/*:* 2>/dev/null | wc -l
}
# The video nodes of uvcvideo cameras (other drivers' nodes, such as
# vivid's, do not count).
video_nodes() {
  local n=0 node
  for node in /sys/class/video4linux/video*; do
    case "$(readlink -f "$node/device/driver" 2>/dev/null)" in */uvcvideo) n=$((n + 1)) ;; esac
  done
  echo "$n"
}
# The capture nodes of uvcvideo cameras (the first node of each), by name.
capture_nodes() {
  local node
  for node in /sys/class/video4linux/video*; do
    case "$(readlink -f "$node/device/driver" 2>/dev/null)" in */uvcvideo) ;; *) continue ;; esac
    [ "$(cat "$node/index")" = 0 ] && basename "$node"
  done
}
# wait_for <seconds> <command...>: true once the command is.
wait_for() {
  local limit=$(($1 * 10))
  shift
  while ! "$@"; do
    limit=$((limit - 1))
    [ "$limit" -gt 0 ] || return 1
    usleep 100000
  done
}
cameras_up() {  # two video nodes (capture and metadata) per camera
  [ "$(bound_cameras)" -ge "$1" ] && [ "$(video_nodes)" -ge $(($1 * 2)) ]
}
cameras_gone() {
  [ "$(bound_cameras)" -eq 0 ] && [ "$(video_nodes)" -eq 0 ]
}

server_pid=
# start_server <dir> <scene> <cameras>: plugs the scene's cameras in.
start_server() {
  (cd "$1" && exec ./qvusbcam "$2" >server.out 2>&1) &
  server_pid=$!
  if ! wait_for "$plug_limit" cameras_up "$3"; then
    echo "cameras did not come up; server said:" | info
    tail -n 5 "$1/server.out" | info
    dmesg | tail -n 10 | info
    return 1
  fi
}
# stop_server: unplugs the cameras (the server writes its flash files and
# trace on the way out).
stop_server() {
  [ -n "$server_pid" ] || return 0
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=
  wait_for "$plug_limit" cameras_gone || { echo "cameras still present" | info; return 1; }
}

# The extension-unit requests of a trace: the driver's own requests ("# "
# lines) and the simulator's sleeps and end mark left out.
xu_requests() {
  grep -v -e '^# ' -e '^SLEEP ' -e '^END ' "$1"
}
same_file() {  # same_file <a> <b>
  [ -f "$1" ] && [ -f "$2" ] && cmp -s "$1" "$2"
}
not_same() {  # not_same <a> <b>: both there, contents differ
  [ -f "$1" ] && [ -f "$2" ] && ! cmp -s "$1" "$2"
}
same_requests() {  # same_requests <sim trace> <usb trace>
  xu_requests "$1" >"$1.xu"
  xu_requests "$2" >"$2.xu"
  [ -s "$1.xu" ] && diff "$1.xu" "$2.xu" >"$2.diff" && return 0
  echo "requests: simulator -, kernel +" | info
  grep '^[-+][0-9]' "$2.diff" | head -n 6 | info
  return 1
}

# prepare <name> <scene> <flash files...>: the two run folders, each with
# the scene, the program and the same random starting flash (or a copy of
# the file $flash_from when set).
flash_from=
prepare() {
  local name=$1 scene=$2 flash
  shift 2
  rm -rf "/tmp/$name"
  mkdir -p "/tmp/$name/sim" "/tmp/$name/usb"
  for flash in "$@"; do
    if [ -n "$flash_from" ]; then
      cp "$flash_from" "/tmp/$name/$flash"
    else
      dd if=/dev/urandom of="/tmp/$name/$flash" bs=1024 count=64 2>/dev/null
    fi
  done
  for side in sim usb; do
    cp "scenes/$scene" qvflash "/tmp/$name/$side/"
    for flash in "$@"; do cp "/tmp/$name/$flash" "/tmp/$name/$side/"; done
  done
  cp qvusbcam "/tmp/$name/usb/"
}
# run_qvflash <dir> [args]: exit code in <dir>/rc, output in <dir>/out.
run_qvflash() {
  local dir=$1
  shift
  (cd "$dir" && timeout -s KILL "$run_limit" ./qvflash "$@" >out 2>err; echo $? >rc)
}

# scenario <name> <scene> <cameras> <args> <flash files...>: runs the scene on
# the plain simulator and through the kernel; leaves /tmp/<name>/{sim,usb}.
# When `hook` names a function, it runs as `<hook> <usb dir> before` once the
# cameras are up and `<hook> <usb dir> after` after the tool (then `hook` is
# cleared).
hook=
scenario() {
  local name=$1 scene=$2 cameras=$3 args=$4
  shift 4
  prepare "$name" "$scene" "$@"
  local sim=/tmp/$name/sim usb=/tmp/$name/usb
  (cd "$sim" && QVFLASH_SIM=$sim/$scene timeout -s KILL "$run_limit" ./qvflash $args \
    >out 2>err; echo $? >rc)
  local klog_start
  klog_start=$(dmesg | wc -l)
  if start_server "$usb" "$scene" "$cameras"; then
    [ -z "$hook" ] || "$hook" "$usb" before
    run_qvflash "$usb" $args
    [ -z "$hook" ] || "$hook" "$usb" after
  else
    echo 255 >"$usb/rc"
  fi
  hook=
  stop_server || echo "unplug failed" >>"$usb/err"
  dmesg | tail -n +$((klog_start + 1)) >"$usb/klog"
  echo "$name: exit $(cat "$usb/rc") (simulator $(cat "$sim/rc")), output: $(tr '\n' '|' <"$usb/out")," \
    "at $(cut -d ' ' -f 1 /proc/uptime) s" | info
  [ -s "$usb/err" ] && head -n 3 "$usb/err" | info
  return 0
}
# Checks common to the scenarios compared with the simulator.
compare_runs() {  # compare_runs <name> <flash files...>
  local name=$1 flash
  shift
  local sim=/tmp/$name/sim usb=/tmp/$name/usb
  check "$name-exit-code" same_file "$sim/rc" "$usb/rc"
  check "$name-output" same_file "$sim/out" "$usb/out"
  check "$name-requests" same_requests "$sim/trace.txt" "$usb/trace.txt"
  for flash in "$@"; do
    check "$name-$flash" same_file "$sim/$flash" "$usb/$flash"
  done
  check "$name-tool-files" same_tool_files "$sim" "$usb"
}
# The files the tool leaves beside itself (the dump, the kept image copy):
# the same ones, with the same contents.
same_tool_files() {
  local f
  for f in Dump.bin tmp; do
    if [ -e "$1/$f" ] || [ -e "$2/$f" ]; then
      same_file "$1/$f" "$2/$f" || { echo "$f differs or is missing" | info; return 1; }
    fi
  done
}
# expect_result <name> <dir> <exit code> <last output line>
expect_result() {
  [ "$(cat "$2/rc")" = "$3" ] && [ "$(tail -n 1 "$2/out")" = "$4" ]
}

# --- No camera ---------------------------------------------------------------------
# Nothing plugged in: the walk over the system's video nodes finds no camera,
# and the run ends as on a simulator without cameras.
no_camera() {
  local dir=/tmp/no-camera
  rm -rf "$dir" && mkdir -p "$dir/sim" "$dir/usb"
  cp scenes/no_camera.json qvflash "$dir/sim/"
  cp qvflash "$dir/usb/"
  (cd "$dir/sim" && QVFLASH_SIM=$dir/sim/no_camera.json timeout -s KILL "$run_limit" \
    ./qvflash -dbg >out 2>err; echo $? >rc)
  run_qvflash "$dir/usb" -dbg
  echo "no-camera: exit $(cat "$dir/usb/rc"), output: $(tr '\n' '|' <"$dir/usb/out")" | info
  same_file "$dir/sim/rc" "$dir/usb/rc" && same_file "$dir/sim/out" "$dir/usb/out" &&
    expect_result no-camera "$dir/usb" 1 Fail
}
check no-camera no_camera

# --- Dumps and updates ----------------------------------------------------------
# Families 104 (chip ID 0x8A) and 106 (0xB0): dump and terse update.
for family in 104 106; do
  scenario "dump-$family" "family$family.json" 1 -dump flash.bin
  compare_runs "dump-$family" flash.bin
  check "dump-$family-passes" expect_result "dump-$family" "/tmp/dump-$family/usb" 0 Pass
  check "dump-$family-dump-is-flash" same_file "/tmp/dump-$family/usb/Dump.bin" \
    "/tmp/dump-$family/flash.bin"
done
# A camera whose flash-data control is 64 bytes long (`read_block_length`):
# the read-out sizes its blocks from GET-LENGTH, so each GET has the length
# uvcvideo fixed at the control's first use, and the dump is the simulator's.
scenario dump-blocks-64 read_blocks_64.json 1 -dump flash.bin
compare_runs dump-blocks-64 flash.bin
check dump-blocks-64-passes expect_result dump-blocks-64 /tmp/dump-blocks-64/usb 0 Pass
check dump-blocks-64-dump-is-flash same_file /tmp/dump-blocks-64/usb/Dump.bin \
  /tmp/dump-blocks-64/flash.bin
check dump-blocks-64-short-gets grep -q '^0 GET 15 64 ' /tmp/dump-blocks-64/usb/trace.txt
# Terse updates on 104, 106 and the families with their own download steps:
# 105 (0xA0, enable control first; another flash part) and 108 (0xD0).
for family in 104 105 106 108; do
  scenario "update-$family" "family$family.json" 1 "" flash.bin
  compare_runs "update-$family" flash.bin
  check "update-$family-passes" expect_result "update-$family" "/tmp/update-$family/usb" 0 Pass
  check "update-$family-flash-written" not_same "/tmp/update-$family/flash.bin" \
    "/tmp/update-$family/usb/flash.bin"
done
# The requests went through the driver: it asked each control's length and
# capabilities itself before passing the tool's first query on.
check update-104-driver-queries grep -q '^# 0 INFO ' /tmp/update-104/usb/trace.txt

# A verbose update: same output (identity line included) and the kept image.
scenario update-dbg family104.json 1 -dbg flash.bin
compare_runs update-dbg flash.bin
check update-dbg-passes expect_result update-dbg /tmp/update-dbg/usb 0 Pass
check update-dbg-tmp-kept [ -f /tmp/update-dbg/usb/tmp ]
# No system bus here: the update went on (passes, above) and said so.
check update-dbg-no-bus-said grep -q \
  '^qvflash: idle sleep is not held off while the camera is written (no system bus at ' \
  /tmp/update-dbg/usb/err
# The driver described the unit's controls (declared, GET_INFO's bits).
check update-dbg-controls-described eval \
  '! grep -q "Could not check the camera.s controls" /tmp/update-dbg/usb/err'

# --- Knowing before and after ------------------------------------------------------
# The inventory through the driver: the same rows as on the simulator but for
# the camera ID and the system path (the last two columns: the kernel's are
# usb-<busnum>-<devpath> and v4l:...), the same requests, and no flash byte
# changed. Then an update only where needed, read back; and the same once
# more on what it left, which is current: not written, no download mode.
same_rows() {  # same_rows <a> <b>: the inventories without camera ID and path
  sed -E 's/  +[^ ]+  +[^ ]+$//' "$1" >"$1.rows"
  sed -E 's/  +[^ ]+  +[^ ]+$//' "$2" >"$2.rows"
  [ -s "$1.rows" ] && cmp -s "$1.rows" "$2.rows"
}
no_download_mode() { ! grep -q '^0 SET 9 ' "$1"; }
for family in 104 106; do
  scenario "list-$family" "family$family.json" 1 --list flash.bin
  check "list-$family-exit-code" same_file "/tmp/list-$family/sim/rc" "/tmp/list-$family/usb/rc"
  check "list-$family-rows" same_rows "/tmp/list-$family/sim/out" "/tmp/list-$family/usb/out"
  check "list-$family-requests" same_requests "/tmp/list-$family/sim/trace.txt" \
    "/tmp/list-$family/usb/trace.txt"
  check "list-$family-differs" grep -q ' differs ' "/tmp/list-$family/usb/out"
  check "list-$family-camera-id" grep -Eq ' usb-[0-9]+-[0-9.]+  ' "/tmp/list-$family/usb/out"
  check "list-$family-flash-untouched" same_file "/tmp/list-$family/flash.bin" \
    "/tmp/list-$family/usb/flash.bin"

  scenario "verify-$family" "family$family.json" 1 "--if-needed --verify" flash.bin
  compare_runs "verify-$family" flash.bin
  check "verify-$family-passes" expect_result "verify-$family" "/tmp/verify-$family/usb" 0 Pass
  check "verify-$family-read-back" grep -q 'updated and verified' "/tmp/verify-$family/usb/err"

  flash_from=/tmp/verify-$family/usb/flash.bin
  scenario "current-$family" "family$family.json" 1 "--if-needed --verify" flash.bin
  flash_from=
  compare_runs "current-$family" flash.bin
  check "current-$family-passes" expect_result "current-$family" "/tmp/current-$family/usb" 0 Pass
  check "current-$family-up-to-date" grep -q 'up to date' "/tmp/current-$family/usb/err"
  check "current-$family-flash-untouched" same_file "/tmp/current-$family/flash.bin" \
    "/tmp/current-$family/usb/flash.bin"
  check "current-$family-no-download-mode" no_download_mode "/tmp/current-$family/usb/trace.txt"
done

# --- Identity ------------------------------------------------------------------
# Another vendor's camera: the update is refused.
scenario other-vendor other_vendor.json 1 -dbg flash.bin
compare_runs other-vendor flash.bin
check other-vendor-refused expect_result other-vendor /tmp/other-vendor/usb 1 Fail
check other-vendor-flash-untouched same_file /tmp/other-vendor/flash.bin \
  /tmp/other-vendor/usb/flash.bin

# Two cameras: the first (another vendor) is passed over, the second updated.
scenario two-cameras two_cameras.json 2 -dbg flash0.bin flash1.bin
compare_runs two-cameras flash0.bin flash1.bin
check two-cameras-passes expect_result two-cameras /tmp/two-cameras/usb 0 Pass
check two-cameras-first-untouched same_file /tmp/two-cameras/flash0.bin \
  /tmp/two-cameras/usb/flash0.bin

# The lookup through the system's registry on its own: vendor, product and
# revision of each camera, as the kernel read them from the device; the
# cameras' places (busnum, devpath, speed) go to <dir>/places.
# probe_identities <dir>
probe_identities() {
  local dir=$1 dev
  timeout -s KILL "$run_limit" ./usb_identity_probe >"$dir/probe" 2>&1
  : >"$dir/places"
  for dev in /sys/bus/usb/devices/*; do
    [ -f "$dev/idVendor" ] && [ "$(cat "$dev/bDeviceClass")" != 09 ] || continue  # no hubs
    echo "$(cat "$dev/idVendor") $(cat "$dev/idProduct") $(cat "$dev/bcdDevice")"
    echo "$(cat "$dev/busnum") $(cat "$dev/devpath") $(cat "$dev/speed")" >>"$dir/places"
  done | tr a-f A-F | sort >"$dir/kernel"
  echo "probe: $(tr '\n' '|' <"$dir/probe") kernel: $(tr '\n' '|' <"$dir/kernel")" | info
}
# identities_match <dir>: the probe found each camera's own identity.
identities_match() {
  cut -d ' ' -f 2- "$1/probe" | sort >"$1/probe.sorted"
  cmp -s "$1/probe.sorted" "$1/kernel" &&
    grep -q '^046D 0825 0317$' "$1/kernel" && grep -q '^04F2 B5BD 0215$' "$1/kernel"
}
# identity_matches_sysfs <name> <scene>: in /tmp/<name>.
identity_matches_sysfs() {
  local dir=/tmp/$1
  rm -rf "$dir" && mkdir -p "$dir"
  cp "scenes/$2" qvusbcam "$dir/"
  start_server "$dir" "$2" 2 || { stop_server; return 1; }
  probe_identities "$dir"
  stop_server
  identities_match "$dir"
}
check identity-lookup identity_matches_sysfs identity two_cameras.json

# Two cameras on port 1 of vhci's high-speed and super-speed root hubs (one
# controller, so one name in both bus_infos): another vendor's camera on
# the first, the target on the second. Each keeps its own identity: the
# target is updated, the other left alone, as on the simulator.
scenario same-port same_port.json 2 -dbg flash0.bin flash1.bin
compare_runs same-port flash0.bin flash1.bin
check same-port-passes expect_result same-port /tmp/same-port/usb 0 Pass
check same-port-other-vendor-untouched same_file /tmp/same-port/flash0.bin \
  /tmp/same-port/usb/flash0.bin
check same-port-identity-lookup identity_matches_sysfs same-port-identity same_port.json
# The setup itself: the same devpath on two buses, at 480 and 5000 Mb/s.
one_port_two_buses() {
  local places=/tmp/same-port-identity/places
  echo "places: $(tr '\n' '|' <"$places")" | info
  [ "$(cut -d ' ' -f 2 "$places" | sort -u)" = 1 ] &&
    [ "$(cut -d ' ' -f 1 "$places" | sort -u | wc -l)" -eq 2 ] &&
    grep -q ' 480$' "$places" && grep -q ' 5000$' "$places"
}
check same-port-one-port-two-buses one_port_two_buses

# The node opened is the node enumerated: the two cameras' capture nodes in
# /dev swapped (as a container's remapped /dev, or numbers reused after a
# replug can do). Neither node is the camera sysfs names for it: both are
# passed over, nothing is written.
swap_capture_nodes() {
  local nodes first second
  nodes=$(capture_nodes)
  first=$(echo "$nodes" | head -n 1)
  second=$(echo "$nodes" | tail -n 1)
  if [ "$2" = before ]; then
    echo "$first $second" >"$1/swapped"
    rm -f "/dev/$first" "/dev/$second"
    mknod "/dev/$first" c $(tr ':' ' ' <"/sys/class/video4linux/$second/dev")
    mknod "/dev/$second" c $(tr ':' ' ' <"/sys/class/video4linux/$first/dev")
  else
    # devtmpfs leaves nodes it did not make; the unplug must find none.
    rm -f "/dev/$first" "/dev/$second"
  fi
}
hook=swap_capture_nodes
scenario node-swap two_cameras.json 2 -dbg flash0.bin flash1.bin
check node-swap-swapped eval '[ "$(wc -w </tmp/node-swap/usb/swapped)" -eq 2 ]'
check node-swap-fails expect_result node-swap /tmp/node-swap/usb 1 Fail
check node-swap-flash0-untouched same_file /tmp/node-swap/flash0.bin /tmp/node-swap/usb/flash0.bin
check node-swap-flash1-untouched same_file /tmp/node-swap/flash1.bin /tmp/node-swap/usb/flash1.bin

# The active configuration: a camera whose configuration 1 is
# vendor-specific and whose video function is in configuration 2, which the
# kernel chooses. The units are read from the second.
record_configuration() {
  [ "$2" = before ] || return 0
  local node
  node=$(capture_nodes | head -n 1)
  readlink -f "/sys/class/video4linux/$node/device" >"$1/interface"
  cat "$(dirname "$(cat "$1/interface")")/bConfigurationValue" >"$1/configuration"
}
hook=record_configuration
scenario two-configurations two_configurations.json 1 "" flash.bin
compare_runs two-configurations flash.bin
check two-configurations-passes expect_result two-configurations /tmp/two-configurations/usb 0 Pass
check two-configurations-second-active eval '[ "$(cat /tmp/two-configurations/usb/configuration)" = 2 ]'

# Another program streams from the camera (a small capture program holds
# the stream): the camera stack's capture pin counts one instance then, and
# none before or after. Asked as the update asks it (camera_in_use_probe).
hold_stream() {
  local node
  node=$(capture_nodes | head -n 1)
  if [ "$2" = before ]; then
    ./camera_in_use_probe >"$1/probe.free" 2>&1
    ./stream_holder "/dev/$node" >"$1/holder.out" 2>"$1/holder.err" &
    holder_pid=$!
    wait_for 10 grep -q holding "$1/holder.out"
    ./camera_in_use_probe >"$1/probe.held" 2>&1
  else
    kill -0 "$holder_pid" 2>/dev/null && echo alive >"$1/holder.alive"
    kill "$holder_pid" 2>/dev/null
    wait "$holder_pid" 2>/dev/null
    ./camera_in_use_probe >"$1/probe.released" 2>&1
    echo "probe: free $(cat "$1/probe.free"), held $(cat "$1/probe.held"), released" \
    "$(cat "$1/probe.released"); holder: $(cat "$1/holder.out" "$1/holder.err" | tr '\n' ' ')" | info
  fi
}
hook=hold_stream
scenario in-use family104.json 1 "" flash.bin
check in-use-holder-streams grep -q 'holding 2 buffers, streaming' /tmp/in-use/usb/holder.out
check in-use-stack-free eval '[ "$(cat /tmp/in-use/usb/probe.free)" = "0 in-use 0" ]'
check in-use-stack-held eval '[ "$(cat /tmp/in-use/usb/probe.held)" = "0 in-use 1" ]'
check in-use-stack-released eval '[ "$(cat /tmp/in-use/usb/probe.released)" = "0 in-use 0" ]'
check in-use-holder-kept-its-stream [ -f /tmp/in-use/usb/holder.alive ]
# The update asks before its first request that changes the camera, and
# stops: nothing of the held camera is written, and the person is told why.
check in-use-refused expect_result in-use /tmp/in-use/usb 1 Fail
check in-use-flash-untouched same_file /tmp/in-use/flash.bin /tmp/in-use/usb/flash.bin
check in-use-reason-told grep -q 'another program is using the camera' /tmp/in-use/usb/err

# --- The camera held for the write ---------------------------------------------------
# The tool holds the stream of the camera's capture nodes from before its
# first writing request until the engine returns (the camera answers in its
# modelled time, so the download lasts a while): a capture program started
# in the middle of the download cannot start (EBUSY) and the write ends
# well; the USB device's power/control reads "on" meanwhile and its old
# value afterwards. Then the same camera already streaming: refused with the
# long options' "try again later" (exit code 4), no download-mode request.
held_write() {
  local dir=/tmp/held node device tool holder
  rm -rf "$dir" && mkdir -p "$dir"
  cp scenes/held.json qvflash qvusbcam "$dir/"
  dd if=/dev/urandom of="$dir/flash.start" bs=1024 count=64 2>/dev/null
  cp "$dir/flash.start" "$dir/flash.bin"
  start_server "$dir" held.json 1 || { stop_server; return 0; }
  node=$(capture_nodes | head -n 1)
  device=$(dirname "$(readlink -f "/sys/class/video4linux/$node/device")")
  echo auto >"$device/power/control"
  (cd "$dir" && timeout -s KILL "$run_limit" ./qvflash --verify >out 2>err; echo $? >rc) &
  tool=$!
  wait_for 60 grep -q '^0 SET 9 01' "$dir/trace.txt"
  cat "$device/power/control" >"$dir/power.during"
  ./stream_holder "/dev/$node" >"$dir/holder.out" 2>"$dir/holder.err"
  grep -q '^0 SET 9 00' "$dir/trace.txt" || echo yes >"$dir/holder.mid-write"
  wait "$tool"
  cat "$device/power/control" >"$dir/power.after"

  ./stream_holder "/dev/$node" >"$dir/streaming.out" 2>&1 &
  holder=$!
  wait_for 10 grep -q holding "$dir/streaming.out"
  grep -c '^0 SET 9 ' "$dir/trace.txt" >"$dir/downloads.before"
  (cd "$dir" && timeout -s KILL "$run_limit" ./qvflash --verify >out2 2>err2; echo $? >rc2)
  grep -c '^0 SET 9 ' "$dir/trace.txt" >"$dir/downloads.after"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  stop_server
  echo "held: exit $(cat "$dir/rc") then $(cat "$dir/rc2"); holder: $(tr '\n' ' ' <"$dir/holder.err");" \
    "power $(cat "$dir/power.during") then $(cat "$dir/power.after")" | info
}
held_write
check held-stream-start-refused grep -q 'VIDIOC_REQBUFS: Device or resource busy' /tmp/held/holder.err
check held-refused-mid-write [ -f /tmp/held/holder.mid-write ]
check held-write-passes expect_result held /tmp/held 0 Pass
check held-write-verified grep -q 'updated and verified' /tmp/held/err
check held-flash-written not_same /tmp/held/flash.start /tmp/held/flash.bin
check held-kept-awake eval '[ "$(cat /tmp/held/power.during)" = on ]'
check held-power-restored eval '[ "$(cat /tmp/held/power.after)" = auto ]'
check held-streaming-try-later eval '[ "$(cat /tmp/held/rc2)" = 4 ]'
check held-streaming-nothing-written eval \
  '[ "$(cat /tmp/held/downloads.before)" = "$(cat /tmp/held/downloads.after)" ]'

# --- Refused requests ---------------------------------------------------------------
# The camera stalls the request; the driver reads the request error code and
# fails the ioctl. In the middle of the download: the update fails as on the
# simulator, with the same requests before and after.
scenario request-fault request_fault.json 1 -dbg flash.bin
compare_runs request-fault flash.bin
check request-fault-fails expect_result request-fault /tmp/request-fault/usb 1 Fail
check request-fault-driver-stall grep -q 'Failed to query .*: -32 ' /tmp/request-fault/usb/klog
# A request never answered during the flash identification: the driver gives
# up after its own timeout and unlinks it.
scenario request-timeout request_timeout.json 1 -dbg flash.bin
compare_runs request-timeout flash.bin
check request-timeout-fails expect_result request-timeout /tmp/request-timeout/usb 1 Fail
check request-timeout-driver-timeout grep -q 'Failed to query .*: -110 ' \
  /tmp/request-timeout/usb/klog

# A camera that goes silent in the middle of the download and never answers
# again (the request that meets the silence and every one after it are
# refused with ERROR_SEM_TIMEOUT, which the server never answers): the
# driver times out the first one (5 s) and the download ends there, as on
# the simulator; the camera is sent only the request that leaves download
# mode, once (it times out too), so the run costs two driver timeouts, not
# one for each of the hundreds of requests left (a hang would meet
# run_limit).
scenario silent silent.json 1 -dbg flash.bin
compare_runs silent flash.bin
check silent-fails expect_result silent /tmp/silent/usb 1 Fail
check silent-two-driver-timeouts eval \
  '[ "$(grep -c "Failed to query .*: -110 " /tmp/silent/usb/klog)" = 2 ]'
check silent-reason-told grep -q 'the camera stopped answering' /tmp/silent/usb/err
# -dbg shows the driver's errno behind the status.
check silent-errno-told grep -q '^qvflash: system error 110 (ETIMEDOUT)$' /tmp/silent/usb/err

# A camera that was only slow: family 106's third download block is carried
# out but answered after the driver gave up (`stall`). The download ends
# there, yet the camera still gets the request that leaves download mode and
# the chip reset after it, once, and answers them: the chip is not left in
# download mode. "Fail" with the reason; one driver timeout.
scenario stall-106 stall_106.json 1 -dbg flash.bin
compare_runs stall-106 flash.bin
check stall-106-fails expect_result stall-106 /tmp/stall-106/usb 1 Fail
check stall-106-one-driver-timeout eval \
  '[ "$(grep -c "Failed to query .*: -110 " /tmp/stall-106/usb/klog)" = 1 ]'
check stall-106-leaves-and-resets eval \
  '[ "$(xu_requests /tmp/stall-106/usb/trace.txt | grep -A 11 "^0 SET 10 !80070079" | sed -n "2p;12p" | tr "\n" "|")" = "0 SET 9 00|0 SET 3 01|" ]'

# A reply shorter than asked: the tool's first request (the extension
# unit's probe in the count, a 2-byte GET) gets 1 byte. uvcvideo on 6.1
# logs it and returns the byte count from the ioctl, the rest of the buffer
# stale; the stack fails the request, so the camera is not counted: "Fail",
# nothing written. (The plain simulator knows no short reply.)
scenario short-reply short_reply.json 1 -dbg flash.bin
check short-reply-fails expect_result short-reply /tmp/short-reply/usb 1 Fail
check short-reply-flash-untouched same_file /tmp/short-reply/flash.bin \
  /tmp/short-reply/usb/flash.bin
check short-reply-driver-short grep -q 'Failed to query (GET_CUR) UVC control 2 on unit 2: 1 (exp. 2)' \
  /tmp/short-reply/usb/klog

# A unit that lacks a control the update uses only at its very end (family
# 106's download commit, control 12; the unit declared with gaps, as
# uvcvideo allows): the driver would refuse it with ENOENT after the whole
# download. Asked before the update's first request, with nothing sent to
# the camera's controls for it: "Fail" with the control named, the flash
# untouched, and no request of the update, as on the simulator.
scenario undeclared-control undeclared_control.json 1 -dbg flash.bin
compare_runs undeclared-control flash.bin
check undeclared-control-fails expect_result undeclared-control /tmp/undeclared-control/usb 1 Fail
check undeclared-control-flash-untouched same_file /tmp/undeclared-control/flash.bin \
  /tmp/undeclared-control/usb/flash.bin
check undeclared-control-named grep -q 'control 12, the download commit' \
  /tmp/undeclared-control/usb/err
check undeclared-control-no-download eval \
  '! xu_requests /tmp/undeclared-control/usb/trace.txt | grep -q "^0 SET 9 "'

# --- Unplug in the middle of an update -------------------------------------------
scenario unplug unplug.json 1 "" flash.bin
check unplug-fails expect_result unplug /tmp/unplug/usb 1 Fail
# As on the simulator, where every request after the unplug fails without
# effect: the same output and the same flash left behind.
check unplug-output same_file /tmp/unplug/sim/out /tmp/unplug/usb/out
check unplug-flash.bin same_file /tmp/unplug/sim/flash.bin /tmp/unplug/usb/flash.bin
# The camera went away where the scene says: it answered the simulator's
# first requests, up to the unplug, and nothing after.
unplugged_on_time() {
  local n
  n=$(sed -n 's/.*"unplug_after": *\([0-9]*\).*/\1/p' scenes/unplug.json)
  xu_requests /tmp/unplug/sim/trace.txt | head -n "$n" >/tmp/unplug/sim/first.xu
  xu_requests /tmp/unplug/usb/trace.txt >/tmp/unplug/usb/all.xu
  [ "$(wc -l </tmp/unplug/usb/all.xu)" -eq "$n" ] &&
    cmp -s /tmp/unplug/sim/first.xu /tmp/unplug/usb/all.xu
}
check unplug-requests unplugged_on_time

# --- The camera's return after its chip reset ---------------------------------------
# Family 106 resets its chip after the update; this camera drops off the bus
# on it and comes back about a second later on the same port as a new
# device. The read-back waits for the same camera ID and passes, as on the
# simulator. A process keeps the old capture node open meanwhile, so its
# number stays taken and the camera comes back under another one.
usb_place() {  # usb_place <capture node>: busnum and devpath, as in a camera ID
  local dev
  dev=$(readlink -f "/sys/class/video4linux/$1/device/..")
  echo "usb-$(cat "$dev/busnum")-$(cat "$dev/devpath")"
}
hold_old_node() {
  local node
  [ "$2" = before ] || wait_for "$plug_limit" cameras_up 1
  node=$(capture_nodes | head -n 1)
  echo "$node $(usb_place "$node")" >"$1/node-$2"
  if [ "$2" = before ]; then
    sleep 600 <"/dev/$node" &
    echo $! >"$1/holder"
  else
    kill "$(cat "$1/holder")"
  fi
}
back_elsewhere() {  # another node, the same place, which is the report's camera ID
  local before after
  before=$(cat "$1/node-before") after=$(cat "$1/node-after")
  echo "reset: before $before, after $after" | info
  [ "${before#* }" = "${after#* }" ] && [ "${before% *}" != "${after% *}" ] &&
    grep -q "\"camera_id\": \"${after#* }\"" "$1/r.json"
}
hook=hold_old_node
scenario reenumerates reenumerates.json 1 "--verify --json r.json" flash.bin
compare_runs reenumerates flash.bin
check reenumerates-passes expect_result reenumerates /tmp/reenumerates/usb 0 Pass
check reenumerates-came-back grep -q '"came_back": true' /tmp/reenumerates/usb/r.json
check reenumerates-new-node back_elsewhere /tmp/reenumerates/usb
# A second camera that never comes back: the wait ends (15 s), "Fail".
scenario reenumerates-never reenumerates_never.json 2 "--all --verify" flash0.bin flash1.bin
compare_runs reenumerates-never flash0.bin flash1.bin
check reenumerates-never-fails expect_result reenumerates-never /tmp/reenumerates-never/usb 1 Fail
check reenumerates-never-named grep -q 'did not come back after its reset' \
  /tmp/reenumerates-never/usb/err
# Two target cameras, the first with a second (infrared) capture function
# that re-enumerates after its reset (family 106), the second family 104:
# uvcvideo gives the first USB device two capture nodes; --list has one row
# per USB device and --all --verify writes each chip once and reads both back.
count_places() {  # capture nodes and the USB devices they belong to
  local node
  for node in $(capture_nodes); do usb_place "$node"; done >"$1/places-$2"
  echo "capture nodes $2: $(capture_nodes | tr '\n' ' ')" | info
}
one_device_two_nodes() {
  [ "$(wc -l <"$1/places-before")" = 3 ] && [ "$(sort -u "$1/places-before" | wc -l)" = 2 ]
}
written_once() { [ "$(grep -c '^0 SET 9 01' "$1")" = 1 ] && [ "$(grep -c '^1 SET 9 01' "$1")" = 1 ]; }
scenario two-functions-list two_functions.json 3 --list flash0.bin flash1.bin
check two-functions-list-rows same_rows /tmp/two-functions-list/sim/out \
  /tmp/two-functions-list/usb/out
check two-functions-list-one-row-per-device \
  eval "[ \"\$(grep -Ec ' usb-[0-9]+-[0-9.]+  ' /tmp/two-functions-list/usb/out)\" = 2 ]"
hook=count_places
scenario two-functions two_functions.json 3 "--all --verify --json r.json" flash0.bin flash1.bin
compare_runs two-functions flash0.bin flash1.bin
check two-functions-two-nodes-one-device one_device_two_nodes /tmp/two-functions/usb
check two-functions-passes expect_result two-functions /tmp/two-functions/usb 0 Pass
check two-functions-written-once written_once /tmp/two-functions/usb/trace.txt
check two-functions-came-back grep -q '"came_back": true' /tmp/two-functions/usb/r.json

# --- The way back ---------------------------------------------------------------------
# An update with --verify that keeps its backup, then --restore of that
# backup (checked against its sidecar): the flash is the starting flash
# byte for byte and --list shows
# the camera as before the update (the node's path aside: family 106
# comes back from its reset on another node). On the simulator and through
# the kernel alike; family 106 restores through the download and its reset.
way_back_steps() {  # way_back_steps <dir>: <step>.rc/.out/.err per step
  local dir=$1 step
  # The update makes the backup (read twice, with its sidecar) and waits
  # for a camera that re-enumerates after its reset, to read it back.
  for step in list-before update restore list-after; do
    case $step in
      update) set -- --if-needed --verify --backup backup.bin ;;
      restore) set -- --restore backup.bin ;;
      *) set -- --list ;;
    esac
    (cd "$dir" && timeout -s KILL "$run_limit" ./qvflash "$@" >"$step.out" 2>"$step.err"
      echo $? >"$step.rc")
  done
}
listed_as_before() {  # the rows without their last column, the path
  [ -s "$1/list-before.out" ] &&
    [ "$(sed 's/ *[^ ]*$//' "$1/list-before.out")" = "$(sed 's/ *[^ ]*$//' "$1/list-after.out")" ]
}
way_back() {  # way_back <name> <scene>
  local name=$1 scene=$2
  prepare "$name" "$scene" flash.bin
  local sim=/tmp/$name/sim usb=/tmp/$name/usb
  (export QVFLASH_SIM=$sim/$scene && way_back_steps "$sim")
  if start_server "$usb" "$scene" 1; then way_back_steps "$usb"; fi
  stop_server || echo "unplug failed" | info
  echo "$name: restore exit $(cat "$usb/restore.rc" 2>/dev/null)," \
    "errors: $(tr '\n' '|' <"$usb/restore.err" 2>/dev/null)" | info
  check "$name-restore-passes" eval "[ \"\$(cat $usb/restore.rc)\" = 0 ] &&
    [ \"\$(tail -n 1 $usb/restore.out)\" = Pass ]"
  check "$name-restore-as-simulated" same_file "$sim/restore.out" "$usb/restore.out"
  check "$name-updated-between" eval "[ \"\$(cat $usb/update.rc)\" = 0 ]"
  check "$name-flash-restored" same_file "$usb/flash.bin" "/tmp/$name/flash.bin"
  check "$name-backup-is-flash" same_file "$usb/backup.bin" "/tmp/$name/flash.bin"
  check "$name-listed-as-before" listed_as_before "$usb"
}
way_back way-back-104 family104.json
way_back way-back-106 reenumerates.json

# --- Other drivers' capture nodes ---------------------------------------------------
# The kernel's vivid test driver, two instances, each with its capture,
# output, VBI, radio, SDR, metadata and touch nodes, as a laptop's camera
# image processor or a board's platform capture driver has many. The tool
# walks only uvcvideo's nodes: it opens none of vivid's (so it waits for
# none and says nothing about them). The V4L2 core logs every open of a
# node whose dev_debug has the file-operations bit (0x04).
vivid_loaded=yes
while read -r module; do
  insmod "modules/$module" $([ "$module" = vivid.ko ] && echo n_devs=2) 2>&1 | info
  grep -q "^$(basename "$module" .ko | tr - _) " /proc/modules || vivid_loaded=no
done <modules/vivid
check vivid-loads [ "$vivid_loaded" = yes ]
: >/tmp/vivid-nodes
for node in /sys/class/video4linux/*; do
  case "$(readlink -f "$node/device/driver" 2>/dev/null)" in */uvcvideo) continue ;; esac
  echo 4 >"$node/dev_debug" && basename "$node" >>/tmp/vivid-nodes
done
echo "vivid nodes: $(tr '\n' ' ' </tmp/vivid-nodes)" | info
# The instrument works: an open of a vivid node is logged.
vivid_open_logged() {
  local node
  node=$(head -n 1 /tmp/vivid-nodes)
  : <"/dev/$node"
  dmesg | grep -q " $node: open"
}
check vivid-open-is-logged vivid_open_logged
# vivid_nodes_opened <kernel log>: true when a vivid node was opened.
vivid_nodes_opened() {
  local node
  while read -r node; do
    grep -q " $node: open" "$1" && { echo "$node opened" | info; return 0; }
  done </tmp/vivid-nodes
  return 1
}
# An update with vivid's nodes present: as on the simulator (the same
# requests, output and flash), and none of vivid's nodes opened.
scenario vivid family104.json 1 "" flash.bin
compare_runs vivid flash.bin
check vivid-passes expect_result vivid /tmp/vivid/usb 0 Pass
check vivid-nodes-not-opened eval '! vivid_nodes_opened /tmp/vivid/usb/klog'
# Without a camera, run by a user who may open none of vivid's nodes: "Fail"
# as without any node, and no line about vivid's nodes on standard error.
no_camera_unprivileged() {
  local dir=/tmp/vivid-user
  rm -rf "$dir" && mkdir -p "$dir" && cp qvflash "$dir/" && chown -R 1000:1000 "$dir"
  mkdir -p /etc
  grep -q '^tester:' /etc/passwd 2>/dev/null ||
    echo 'tester:x:1000:1000:tester:/tmp:/bin/sh' >>/etc/passwd
  grep -q '^tester:' /etc/group 2>/dev/null || echo 'tester:x:1000:' >>/etc/group
  timeout -s KILL "$run_limit" su -s /bin/sh tester -c \
    "cd $dir && ./qvflash -dbg >out 2>err; echo \$? >rc"
  echo "unprivileged: exit $(cat "$dir/rc"), output: $(tr '\n' '|' <"$dir/out"), errors: $(tr '\n' '|' <"$dir/err")" | info
  # The reason for no camera names /dev/video* as a place to get access to;
  # a line about a node would name the node itself.
  expect_result vivid-user "$dir" 1 Fail && ! grep -q '/dev/video[0-9]' "$dir/err"
}
check vivid-unprivileged-says-nothing no_camera_unprivileged

# --- The kernel's own words ---------------------------------------------------------
dmesg | grep 'Found UVC' | while IFS= read -r line; do echo "QVVM KLOG $line"; done
check driver-found-camera eval "dmesg | grep -q 'Found UVC'"
# The whole kernel log, kept by the host in build-vm/vm/dmesg.txt.
dmesg | while IFS= read -r line; do echo "QVVM DMESG $line"; done
