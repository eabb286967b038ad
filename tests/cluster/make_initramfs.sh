#!/usr/bin/env bash
# Makes the initramfs that boots a client node of the NFS stage: busybox,
# the modules for virtio and 9p, and an init that mounts the host's root
# read-only over 9p (mount tag "hostroot") and hands over to the init named
# by et_init= on the kernel's command line.
#
#   make_initramfs.sh KERNEL_VERSION OUTPUT
set -euo pipefail
version=$1
output=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,newroot,modules}
cp /bin/busybox "$root/bin/busybox"
i=0
for module in virtio_pci 9pnet_virtio 9p; do
    modprobe -S "$version" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r path; do
    i=$((i + 1))
    cp "$path" "$root/modules/$(printf '%02d' "$i")-$(basename "$path")"
done
cat > "$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t devtmpfs dev /dev
for m in /modules/*.ko; do /bin/busybox insmod "$m" || echo "initramfs: can't load $m"; done
/bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /newroot ||
    { echo "initramfs: can't mount the host's root"; /bin/busybox poweroff -f; }
/bin/busybox umount /proc
/bin/busybox mount --move /dev /newroot/dev 2> /dev/null || /bin/busybox umount /dev
exec /bin/busybox switch_root /newroot "$et_init"
INIT
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) > "$output"
