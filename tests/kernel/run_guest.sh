#!/usr/bin/env bash
# Boots the guest (prepared on first use into GUEST_DIR) and runs COMMAND in
# it, from the host's root, against the guest's ttyS1 and ttyUSB0, whose modem
# lines the preloaded LINE_DRIVER drives. Fails with the reason when the guest
# cannot boot or the command fails; exits 77 (a skip) only where this machine
# cannot run QEMU at all.
#   run_guest.sh GUEST_DIR LINE_DRIVER COMMAND [ARG...]
set -euo pipefail
guest=$1 driver=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)

qemu=$(command -v qemu-system-x86_64 || true)
if [[ -z $qemu ]] || ! "$qemu" -accel help 2>/dev/null | grep -qx tcg; then
  echo "SKIP: this machine has no qemu-system-x86_64 with TCG to boot the guest"
  exit 77
fi
if ! "$here/prepare_guest.sh" "$guest"; then
  echo "FAIL: the guest could not be prepared (kernel and busybox packages)"
  exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkfifo "$tmp/ctl.in" "$tmp/ctl.out"
run=$(IFS=,; echo "$*")
start=$EPOCHREALTIME
# TCG only: the machines' CPUs pass no virtualization on to guests.
set +e
KERNEL_TIER_DIR=$tmp LD_PRELOAD=$driver timeout -k 5 170 "$qemu" \
  -accel tcg -m 1024 -smp 1 -nodefaults -no-user-config -display none -no-reboot \
  -kernel "$guest/vmlinuz" -initrd "$guest/initramfs.gz" \
  -append "console=ttyS0 quiet panic=-1 tier.dir=$PWD tier.run=$run" \
  -chardev file,id=con,path="$tmp/console" -serial chardev:con \
  -chardev serial,id=c1,path="$tmp/uart" -serial chardev:c1 \
  -chardev serial,id=c2,path="$tmp/usb" -device qemu-xhci -device usb-serial,id=u1,chardev=c2 \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -device virtio-serial-pci -chardev pipe,id=ctl,path="$tmp/ctl" -device virtserialport,chardev=ctl,name=ctl \
  -monitor unix:"$tmp/monitor",server=on,wait=off
status=$?
set -e
cat "$tmp/console"
echo "guest ran $(( (${EPOCHREALTIME/./} - ${start/./}) / 1000 )) ms"
if [[ $status -ne 0 ]]; then
  echo "FAIL: QEMU ended with status $status$([[ $status -ge 124 ]] && echo ' (timed out)')"
  exit 1
fi
result=$(sed -n 's/^guest result \([0-9]*\).*/\1/p' "$tmp/console" | tail -1)
if [[ -z $result ]]; then
  echo "FAIL: the guest did not boot to its command (see its console above)"
  exit 1
fi
exit "$result"
