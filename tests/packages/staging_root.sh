#!/usr/bin/env bash
# staging_root.sh <qvflash .deb> <empty folder>
#
# A clean root with nothing but the runtime packages the .deb depends on
# (copied, status and files, from this machine's own installed packages);
# then `dpkg --root` installs the .deb, the installed tool runs inside the
# root (chroot, own network namespace so that its single-instance guard is
# its own) on the simulated camera:
#  - as a non-root technician in the video group, from writable current
#    directories (one whose name is not UTF-8): dump, plain update, -dbg
#    update, setting.ini from the current directory;
#  - as root: the dump still goes to the current directory, never /usr/bin;
# and `dpkg -r` must leave the root exactly as it was before the install.
# Prints "staging: N passed, M failed". Needs root.
set -uo pipefail
deb=$1
stage=$2
rootfs=$stage/root
here=$(cd "$(dirname "$0")/../.." && pwd)

# shellcheck source=tools/expect.sh
. "$here/tools/expect.sh"
finish() {
  echo "staging: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

mkdir -p "$rootfs/var/lib/dpkg/info" "$rootfs/var/lib/dpkg/updates" "$rootfs/tmp"
chmod 1777 "$rootfs/tmp"
: >"$rootfs/var/lib/dpkg/status"
# The merged /usr of this machine, as its root has it.
for d in bin sbin lib lib32 lib64 libx32; do
  if [ -L "/$d" ]; then
    target=$(readlink "/$d")
    mkdir -p "$rootfs/${target#/}"
    ln -s "$target" "$rootfs/$d"
  fi
done

# The runtime packages, transitively: the first alternative of each
# dependency, without versions and architecture qualifiers.
names() { tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:.*//; s/[[:space:]]//g' | grep -v '^$'; }
arch=$(dpkg --print-architecture)
# base-files: the folders every Debian root has (/usr/bin among them), owned
# by a package, as dpkg keeps them.
queue=$( (echo base-files; dpkg-deb -f "$deb" Depends Pre-Depends | sed 's/^[A-Za-z-]*: //') | names)
done_list=" "
while [ -n "$queue" ]; do
  p=$(head -n 1 <<<"$queue")
  queue=$(tail -n +2 <<<"$queue")
  case $done_list in *" $p "*) continue ;; esac
  done_list="$done_list$p "
  # This machine's own architecture's instance (others, such as i386 for
  # Wine, may be installed too), else an Architecture: all package.
  q=$p:$arch
  dpkg-query -W -f='${Status}' "$q" 2>/dev/null | grep -q 'install ok installed' || q=$p
  # A virtual package (awk): the installed package that provides it.
  dpkg-query -W -f='${Status}' "$q" 2>/dev/null | grep -q 'install ok installed' ||
    q=$(dpkg-query -W -f='${Package}:${Architecture} ${Status} ,${Provides},\n' |
      awk -v p="$p" '/install ok installed/ && index($0, "," p ",") + index($0, ", " p ",") + index($0, ", " p " (") + index($0, "," p " (") {print $1; exit}')
  [ -n "$q" ] || q=$p
  name=${q%%:*}
  if [ "$name" != "$p" ]; then
    case $done_list in *" $name "*) continue ;; esac
    done_list="$done_list$name "
  fi
  dpkg-query -W -f='${Status}' "$q" 2>/dev/null | grep -q 'install ok installed' || {
    echo "not installed here: $p" >&2
    continue
  }
  { dpkg-query -s "$q"; echo; } >>"$rootfs/var/lib/dpkg/status"
  for list in "/var/lib/dpkg/info/$name.list" "/var/lib/dpkg/info/$name:$arch.list"; do
    [ -f "$list" ] && cp "$list" "$rootfs/var/lib/dpkg/info/"
  done
  while IFS= read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
      mkdir -p "$rootfs$path"
    elif [ -e "$path" ] || [ -L "$path" ]; then
      cp -a --parents "$path" "$rootfs" 2>/dev/null
    fi
  done < <(dpkg-query -L "$q")
  queue=$(printf '%s\n%s\n' "$queue" "$(dpkg-query -W -f='${Depends},${Pre-Depends}' "$q" | names)" |
    grep -v '^$')
done
echo "runtime packages in the root:$done_list"

# What the check itself brings: a shell (static busybox) out of /usr, the
# technician's home and the scene of the simulated camera.
tech=4242
video=$(getent group video | cut -d: -f3)
expect "the system has a video group" test -n "$video"
mkdir -p "$rootfs/proc" "$rootfs/check" "$rootfs/home/tech/work" "$rootfs/home/tech/caf"$'\xe9' "$rootfs/srv/scene" "$rootfs/root/work"
cp /bin/busybox "$rootfs/check/busybox" || { echo "no /bin/busybox (busybox-static)" >&2; failed=$((failed + 1)); finish; }
cp "$here/examples/scene.json" "$rootfs/srv/scene/scene.json"
chown -R "$tech:$tech" "$rootfs/home/tech" "$rootfs/srv/scene"

snapshot() {  # everything but the package database and the people's files
  (cd "$rootfs" && find . \( -path ./var/lib/dpkg -o -path ./home -o -path ./srv -o -path ./root \) -prune \
    -o -printf '%p %y %m %U %s %l\n' | sort)
}
snapshot >"$stage/before"
bin_before=$(LC_ALL=C ls -A "$rootfs/usr/bin")

echo "-- dpkg -i"
dpkg --root="$rootfs" -i "$deb" || { failed=$((failed + 1)); finish; }
expect "installed /usr/bin/qvflash" test -x "$rootfs/usr/bin/qvflash"
expect "installed manual page" test -f "$rootfs/usr/share/man/man1/qvflash.1.gz"

# run <uid> <folder> <qvflash arguments...>: the installed tool in the root,
# with the simulated camera; standard output, error and exit code in
# $stage/out, err, rc.
run() {
  local uid=$1 folder=$2
  shift 2
  local user=()
  [ "$uid" -eq 0 ] || user=(--userspec="$tech:$tech" --groups="$video,$tech")
  # Own network namespace (the single-instance guard is an abstract socket),
  # own /proc (the tool reads /proc/self/exe).
  unshare --net --mount --pid --fork --mount-proc="$rootfs/proc" chroot "${user[@]}" "$rootfs" /check/busybox env -i PATH=/usr/bin:/bin \
    QVFLASH_SIM=/srv/scene/scene.json /check/busybox sh -c 'cd "$1" && shift && exec /usr/bin/qvflash "$@"' \
    sh "$folder" "$@" >"$stage/out" 2>"$stage/err"
  echo $? >"$stage/rc"
  echo "[uid $uid in $folder] qvflash $* -> exit $(cat "$stage/rc")"
  sed 's/^/  stdout: /' "$stage/out"
  echo
  sed 's/^/  stderr: /' "$stage/err"
}
out_is() { [ "$(cat "$stage/out")" = "$(printf '%b' "$1")" ]; }
out_and_rc() { out_is "$1" && rc_is "$2"; }
rc_is() { [ "$(cat "$stage/rc")" = "$1" ]; }
err_is() { [ "$(cat "$stage/err")" = "$1" ]; }
size_is() { [ -f "$1" ] && [ "$(stat -c %s "$1")" = "$2" ]; }
usr_bin_only_qvflash() {
  [ "$(LC_ALL=C ls -A "$rootfs/usr/bin")" = "$(printf '%s\nqvflash\n' "$bin_before" | grep -v '^$' | LC_ALL=C sort)" ]
}
tmp_empty() { [ -z "$(ls -A "$rootfs/tmp")" ]; }

echo "-- the installed tool as a technician in the video group"
w=/home/tech/work
run "$tech" "$w" -dump
expect "dump: Pass, exit 0" out_and_rc 'Checking, Please wiat...\nDump FW ok.\nPass' 0
expect "dump: Dump.bin in the current directory" size_is "$rootfs$w/Dump.bin" 65536
expect "dump: one line says where" err_is "Dump.bin written to $w/Dump.bin"
expect "dump: Dump.bin belongs to the technician" test "$(stat -c %u "$rootfs$w/Dump.bin")" = "$tech"

run "$tech" "$w"
expect "plain update: Pass, exit 0" out_and_rc 'Checking, Please wiat...\nPass' 0
expect "plain update: no tmp in the current directory" test ! -e "$rootfs$w/tmp"
expect "plain update: the private temporary file is gone" tmp_empty
expect "plain update: nothing on standard error" err_is ""

run "$tech" "$w" -dbg
expect "verbose update: exit 0" rc_is 0
expect "verbose update: tmp kept in the current directory" size_is "$rootfs$w/tmp" 32786
# The root has no system bus: the update goes on, and says so.
no_bus="qvflash: idle sleep is not held off while the camera is written (no system bus at \
/run/dbus/system_bus_socket: No such file or directory): keep the machine awake until Pass or Fail"
expect "verbose update: one line says where, one that the machine may sleep" \
  err_is "tmp kept as $w/tmp"$'\n'"$no_bus"

printf '[SETTING]\r\nGPIO=1\r\n' >"$rootfs$w/setting.ini"
run "$tech" "$w"
expect "setting.ini of the current directory: exit 0" rc_is 0
expect "setting.ini of the current directory is applied (GPIO register written)" \
  grep -qx '0 SET 2 41 20' "$rootfs/srv/scene/trace.txt"

odd=/home/tech/caf$'\xe9'
run "$tech" "$odd" -dump
expect "dump from a folder whose name is not UTF-8" size_is "$rootfs$odd/Dump.bin" 65536
expect "that folder named byte for byte" err_is "Dump.bin written to $odd/Dump.bin"

run "$tech" /usr/share -dump
expect "an unwritable current directory: Fail, exit 1" rc_is 1

echo "-- the installed tool as root"
run 0 /root/work -dump
expect "root: dump in the current directory" size_is "$rootfs/root/work/Dump.bin" 65536
run 0 /root/work -dbg
expect "root: verbose update keeps tmp in the current directory" size_is "$rootfs/root/work/tmp" 32786

expect "nothing but the program added to /usr/bin" usr_bin_only_qvflash
expect "nothing left in /tmp" tmp_empty

echo "-- dpkg -r"
dpkg --root="$rootfs" -r qvflash || failed=$((failed + 1))
snapshot >"$stage/after"
expect "dpkg -r leaves the root as it was" diff "$stage/before" "$stage/after"
finish
