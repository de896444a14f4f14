# The checks run inside the test VM (busybox sh, from /init, in /vm).
# Output protocol, one line each, read by run.sh on the host:
#   QVVM PASS <name> | QVVM FAIL <name> | QVVM INFO <text> | QVVM KLOG <line>

pass() { echo "QVVM PASS $1"; }
fail() { echo "QVVM FAIL $1"; }
info() { while IFS= read -r line; do echo "QVVM INFO $line"; done; }

# The driver stack: the module list is in load order (dependencies first).
loaded=yes
while read -r module; do
  insmod "modules/$module" 2>&1 | info || true
  grep -q "^$(basename "$module" .ko | tr - _) " /proc/modules || loaded=no
done < modules/order
[ "$loaded" = yes ] && pass modules-load || fail modules-load
[ -w /sys/devices/platform/vhci_hcd.0/attach ] && pass vhci-attach-file || fail vhci-attach-file
