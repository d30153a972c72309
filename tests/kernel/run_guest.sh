#!/usr/bin/env bash
# Boots the guest (prepared on first use into GUEST_DIR) and runs COMMAND in
# it, from the folder it was started in, against the guest's ttyS1 and
# ttyUSB0, whose modem lines the preloaded LINE_DRIVER drives, and the USB
# chips the tests emulate on its dummy UDCs. Fails with the reason when the
# guest cannot be prepared or boot or the command fails; exits 77 (a skip)
# only where this machine cannot run QEMU at all.
#   run_guest.sh GUEST_DIR LINE_DRIVER COMMAND [ARG...]
set -euo pipefail
guest=$(realpath -m "$1") driver=$2
shift 2

if ! qemu-system-x86_64 -accel help 2>/dev/null | grep -qx tcg; then
  echo "SKIP: this machine has no qemu-system-x86_64 with TCG to boot the guest"
  exit 77
fi
tmp=$(mktemp -d)
unprepared="FAIL: the guest could not be prepared (kernel and busybox packages)"
trap 'rm -rf "$tmp"; [[ -s $guest/vmlinuz ]] || echo "$unprepared"' EXIT

# The guest: the kernel that linux-image-amd64 depends on, busybox and the
# driver modules with their dependencies, in an initramfs whose /init mounts
# the host's root read-only (9p) and runs the command that the file "args" of
# the tier's own share names, one word a line: the build, which stays
# reachable at its host path, the folder, the command and its arguments. Its
# /tmp, /run and /var/lock are its own. The packages are unpacked here, never
# installed.
if [[ ! -s $guest/vmlinuz ]]; then (
  cd "$tmp"
  apt-get update >/dev/null
  kernel=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  apt-get download "$kernel" busybox-static >/dev/null
  for deb in ./*.deb; do dpkg-deb -x "$deb" unpacked; done
  release=${kernel#linux-image-}
  # The kernel package has no modules.dep: make one on the copy, then take the
  # wanted modules with everything they need, in loading order.
  depmod -b unpacked "$release"
  mkdir -p root/bin root/dev root/new "$guest"
  cp unpacked/bin/busybox root/bin/
  # Four dummy UDCs, one for each emulated chip.
  modules="virtio_pci 9pnet_virtio 9p virtio_console xhci_pci usbserial ftdi_sio
           dummy_hcd configfs libcomposite usb_f_fs ch341 pl2303 cp210x cdc-acm"
  modprobe -d unpacked -S "$release" -a --show-depends $modules |
    awk '$1 == "insmod" && !seen[$2]++ {print $2}' >root/modules
  cp $(<root/modules) root/
  sed -i 's/dummy_hcd.ko$/& num=4/' root/modules
  mknod -m 600 root/dev/console c 5 1
  install -m 755 /dev/stdin root/init <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
while read -r m options; do insmod /${m##*/} $options; done </modules
mkdir /tier /hosttmp
mount -t 9p -o trans=virtio,version=9p2000.L,ro tier /tier
mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /new
mount -o bind /new/tmp /hosttmp
set --
while IFS= read -r word; do set -- "$@" "$word"; done </tier/args
for fs in proc:proc sysfs:sys devtmpfs:dev tmpfs:tmp tmpfs:run; do mount -t ${fs%:*} none /new/${fs#*:}; done
mount -t configfs none /new/sys/kernel/config
mkdir /new/run/lock
[ -L /new/var/lock ] || mount -t tmpfs none /new/var/lock
# A build or folder under the host's /tmp, shown again through the guest's own.
for dir in "$1" "$2"; do
  case $dir in /tmp/*) mkdir -p "/new$dir" && mount -o bind "/hosttmp${dir#/tmp}" "/new$dir";; esac
done
shift
echo "guest ready after $(cut -d' ' -f1 /new/proc/uptime) s"
chroot /new /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp sh -c 'cd "$0" && "$@"' "$@"
echo "guest result $?"
# An init that ends makes the kernel panic: power off instead.
poweroff -f
EOF
  (cd root && find . | cpio -o -H newc --quiet | gzip -1) >"$guest/initramfs.gz"
  cp unpacked/boot/vmlinuz-"$release" "$guest/vmlinuz.new"
  mv "$guest/vmlinuz.new" "$guest/vmlinuz"  # last: it marks the guest as prepared
) fi

mkfifo "$tmp/ctl.in" "$tmp/ctl.out" "$tmp/monitor.in" "$tmp/monitor.out"
# Paths go as they are, blanks and all: a line each in a file the guest reads,
# and the preloaded driver by a link of a name without blanks.
printf '%s\n' "$(cd "$guest/.." && pwd)" "$PWD" "$@" >"$tmp/args"
ln -s "$(realpath "$driver")" "$tmp/line_driver.so"
start=$EPOCHREALTIME status=0
# TCG only: the machines' CPUs pass no virtualization on to guests.
KERNEL_TIER_DIR=$tmp LD_PRELOAD=$tmp/line_driver.so timeout -k 5 170 qemu-system-x86_64 \
  -accel tcg -m 1024 -smp 1 -nodefaults -no-user-config -display none -no-reboot -serial file:"$tmp/console" \
  -kernel "$guest/vmlinuz" -initrd "$guest/initramfs.gz" -append "console=ttyS0 quiet panic=-1" \
  -chardev serial,id=c1,path="$tmp/uart" -serial chardev:c1 -device qemu-xhci \
  -chardev serial,id=c2,path="$tmp/usb" -device usb-serial,id=u1,chardev=c2 \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$tmp",mount_tag=tier,security_model=none,readonly=on \
  -device virtio-serial-pci -chardev pipe,id=ctl,path="$tmp/ctl" -device virtserialport,chardev=ctl,name=ctl \
  -chardev pipe,id=mon,path="$tmp/monitor" -mon mon || status=$?
cat "$tmp/console" || true
echo "guest ran $(( (${EPOCHREALTIME/./} - ${start/./}) / 1000 )) ms"
if [[ $status -ne 0 ]]; then
  echo "FAIL: QEMU ended with status $status$([[ $status -ge 124 ]] && echo ' (timed out)')"
  exit 1
fi
result=$(sed -n 's/^guest result \([0-9]*\).*/\1/p' "$tmp/console" | tail -1)
[[ -n $result ]] || { echo "FAIL: the guest did not boot to its command (see its console above)"; exit 1; }
exit "$result"
