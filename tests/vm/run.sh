#!/usr/bin/env bash
# Checks the Linux build of qvflash against the real uvcvideo driver of
# Debian's 6.1 kernel: a qemu VM (no KVM) boots that kernel with a busybox
# initramfs, loads vhci-hcd and uvcvideo, and the emulated camera (qvusbcam)
# plugs simulated cameras in over USB/IP. The checks themselves run inside
# the VM (checks.sh) and compare each run through the driver with the same
# scene on the plain simulator. See tests/vm/README.md.
#
# Prints the kernel's "Found UVC" lines, one PASS/FAIL line per check and
# last "N passed, M failed"; exits 0 only when every check passed and the VM
# finished.
#
# Environment: QVFLASH_VM_TIMEOUT bounds the VM's run in seconds (default
# 480: the checks take about 270 s on a 2-core machine without KVM).
set -uo pipefail
# depmod and modprobe live in /usr/sbin, outside a user's usual PATH.
export PATH=$PATH:/usr/sbin:/sbin
cd "$(dirname "$0")/../.."
root=$PWD
here=$root/tests/vm
bw=$root/build-vm
vm_timeout=${QVFLASH_VM_TIMEOUT:-480}

die() {
  echo "tests/vm: $*" >&2
  echo "0 passed, 1 failed"
  exit 1
}

# --- Static Linux programs for the VM ---------------------------------------
# A separate build: no tests, everything linked statically (the initramfs has
# no C library).
echo "== static build (build-vm)"
mkdir -p "$bw/vm"
build_log=$bw/vm/build.log
{
  cmake -S "$root" -B "$bw" -DQVFLASH_BUILD_TESTS=OFF -DQVFLASH_VM_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_EXE_LINKER_FLAGS=-static -s" &&
    cmake --build "$bw" --target qvflash qvusbcam usb_identity_probe \
      camera_in_use_probe stream_holder -j2
} >"$build_log" 2>&1 || { tail -n 20 "$build_log" >&2; die "build failed (see $build_log)"; }
qvflash=$bw/app/qvflash
qvusbcam=$bw/sim/usbip/qvusbcam
probe=$bw/tests/vm/usb_identity_probe
in_use_probe=$bw/tests/vm/camera_in_use_probe
holder=$bw/tests/vm/stream_holder

# --- Debian's kernel, cached in the build folder ----------------------------
kdir=$bw/kernel
mkdir -p "$kdir"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
# linux-image-amd64 depends on the versioned image package of the release.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1
}
kpkg=$(kernel_package)
[ -n "$kpkg" ] || kpkg=$(cat "$kdir/package" 2>/dev/null)  # what an earlier run cached
if [ -z "$kpkg" ]; then
  $sudo_cmd apt-get update -qq >/dev/null 2>&1
  kpkg=$(kernel_package)
fi
[ -n "$kpkg" ] || die "no linux-image-amd64 in the package lists"
kver=${kpkg#linux-image-}
kroot=$kdir/$kver
if [ ! -f "$kroot/boot/vmlinuz-$kver" ] || [ ! -f "$kroot/lib/modules/$kver/modules.dep" ]; then
  echo "== kernel $kpkg"
  # Only one kernel is kept: an older release's package and tree go.
  find "$kdir" -mindepth 1 -maxdepth 1 ! -name package -exec rm -rf {} +
  (cd "$kdir" && apt-get download "$kpkg" >/dev/null 2>&1) ||
    { $sudo_cmd apt-get update -qq >/dev/null 2>&1 &&
      (cd "$kdir" && apt-get download "$kpkg" >/dev/null 2>&1); } ||
    die "apt-get download $kpkg failed"
  dpkg-deb -x "$kdir"/"$kpkg"_*.deb "$kroot" || die "cannot unpack $kpkg"
  depmod -b "$kroot" "$kver" || die "depmod failed"
  echo "$kpkg" >"$kdir/package"
fi

# --- The initramfs ------------------------------------------------------------
echo "== initramfs"
stage=$bw/vm/initramfs
rm -rf "$stage"
mkdir -p "$stage"/{bin,proc,sys,dev,tmp,vm/modules}
cp /bin/busybox "$stage/bin/busybox" || die "no /bin/busybox (busybox-static)"
# ldd fails on a program that needs no shared library.
! ldd /bin/busybox >/dev/null 2>&1 || die "/bin/busybox is not statically linked (busybox-static)"
cp "$here/init" "$stage/init"
chmod +x "$stage/init"
cp "$here/checks.sh" "$stage/vm/"
cp -r "$here/scenes" "$stage/vm/scenes"
cp "$qvflash" "$qvusbcam" "$probe" "$in_use_probe" "$holder" "$stage/vm/" ||
  die "programs missing"
# The drivers and everything they need, in load order: modules/order for the
# cameras (vhci-hcd, uvcvideo), loaded first; modules/vivid for the test
# driver vivid, loaded later (only what uvcvideo did not bring).
# add_modules <list> <module...>
add_modules() {
  local list=$stage/vm/modules/$1
  shift
  : >"$list"
  for m in "$@"; do
    modprobe -d "$kroot" -S "$kver" --show-depends "$m" || die "no module $m"
  done | sed -n 's/^insmod \([^ ]*\).*/\1/p' | awk '!seen[$0]++' | while read -r ko; do
    name=$(basename "$ko")
    name=${name%.xz}
    [ -f "$stage/vm/modules/$name" ] && continue
    case "$ko" in
      *.ko.xz) xz -dc "$ko" >"$stage/vm/modules/$name" ;;
      *) cp "$ko" "$stage/vm/modules/$name" ;;
    esac
    echo "$name" >>"$list"
  done
  [ -s "$list" ] || die "no modules for $*"
}
add_modules order vhci-hcd uvcvideo
add_modules vivid vivid
initrd=$bw/vm/initrd.gz
(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd" || die "cpio failed"

# --- Boot --------------------------------------------------------------------
echo "== VM (kernel $kver, at most ${vm_timeout}s)"
console=$bw/vm/console.log
start=$(date +%s)
timeout --kill-after=10 "$vm_timeout" qemu-system-x86_64 -accel tcg -m 768 -smp 1 \
  -nographic -no-reboot -nic none \
  -kernel "$kroot/boot/vmlinuz-$kver" -initrd "$initrd" \
  -append "console=ttyS0 quiet panic=-1" </dev/null >"$console" 2>&1
status=$?
echo "== VM ran $(($(date +%s) - start))s (qemu status $status)"

# --- Results -----------------------------------------------------------------
passed=0
failed=0
details=""
# The console may put terminal control bytes before a line. The kernel's
# lines come first.
results=$(tr -d '\r' <"$console" | grep -o 'QVVM .*')
sed -n 's/^QVVM KLOG //p' <<<"$results"
sed -n 's/^QVVM DMESG //p' <<<"$results" >"$bw/vm/dmesg.txt"
while IFS= read -r line; do
  case "$line" in
    "QVVM INFO "*) details+="  ${line#QVVM INFO }"$'\n' ;;
    "QVVM PASS "*) echo "PASS ${line#QVVM PASS }"; passed=$((passed + 1)) ;;
    "QVVM FAIL "*) echo "FAIL ${line#QVVM FAIL }"; failed=$((failed + 1)) ;;
  esac
done <<<"$results"
if ! grep -qx 'QVVM DONE' <<<"$results"; then
  echo "FAIL vm-finished (see $console)"
  failed=$((failed + 1))
fi
# What each run printed and found, shown when something failed.
[ "$failed" -eq 0 ] || printf 'details:\n%s' "$details"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
