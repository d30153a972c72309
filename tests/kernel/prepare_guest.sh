#!/usr/bin/env bash
# Prepares the guest that the kernel tier boots: the kernel that
# linux-image-amd64 depends on, busybox, and the driver modules with their
# dependencies, in an initramfs whose /init mounts the host's root read-only
# (9p, with a tmpfs overlay), chroots into it and runs the command given on
# the kernel command line. Kept in OUT and made only when missing. The
# packages are unpacked here, never installed on the host.
set -euo pipefail
out=$1
[[ -s $out/vmlinuz && -s $out/initramfs.gz ]] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
kernel=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [[ -z $kernel ]] || ! apt-get download "$kernel" busybox-static >/dev/null 2>&1; then
  apt-get update >/dev/null
  kernel=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  apt-get download "$kernel" busybox-static >/dev/null
fi
for deb in ./*.deb; do dpkg-deb -x "$deb" unpacked; done
release=${kernel#linux-image-}

# The kernel package has no modules.dep: make one on a copy, then take the
# wanted modules with everything they need, in loading order.
depmod -b unpacked "$release"
mkdir -p root/bin root/dev root/proc root/sys root/new root/lower root/upper
cp unpacked/bin/busybox root/bin/
for module in virtio_pci 9pnet_virtio 9p overlay virtio_console xhci_pci usbserial ftdi_sio; do
  modprobe -d unpacked -S "$release" --show-depends "$module" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' >order
while read -r path; do
  cp "$path" root/"$(basename "$path")"
  basename "$path" >>root/modules
done <order
mknod -m 600 root/dev/console c 5 1

cat >root/init <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod /$m; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /lower
mount -t tmpfs tmp /upper
mkdir -p /upper/up /upper/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/up,workdir=/upper/work /new
mount -t proc proc /new/proc
mount -t sysfs sys /new/sys
mount -t devtmpfs dev /new/dev
mount -t tmpfs tmp /new/tmp
# The command and its folder come on the kernel command line.
for word in $(cat /proc/cmdline); do
  case $word in
    tier.dir=*) dir=${word#tier.dir=} ;;
    tier.run=*) run=$(echo "${word#tier.run=}" | tr , ' ') ;;
  esac
done
echo "guest ready after $(cut -d' ' -f1 /proc/uptime) s"
chroot /new /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp sh -c "cd $dir && $run"
echo "guest result $?"
# An init that ends makes the kernel panic: power off instead.
poweroff -f
EOF
chmod +x root/init
mkdir -p "$out"
(cd root && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initramfs.gz.new"
cp unpacked/boot/vmlinuz-"$release" "$out/vmlinuz.new"
mv "$out/initramfs.gz.new" "$out/initramfs.gz"
mv "$out/vmlinuz.new" "$out/vmlinuz"
