#!/usr/bin/env bash
# Makes a Debian armhf root bootable as a machine of qemu-system-arm's virt
# board, reached by ssh: the release's own armmp-lpae kernel and modules,
# udev, sshd with host keys made here, systemd-networkd on DHCP. Into DIR go
# the kernel, an initramfs, root's ssh key and the machine's host key as
# known_hosts (alias "machine"). Needs root, and armhf programs runnable in
# the root (scripts/release/arm-binfmt.sh).
#   scripts/release/arm-machine.sh ROOT DIR
# The kernel package is unpacked rather than installed: its installation
# makes an initramfs of most drivers under emulation, minutes. The one made
# here holds busybox and the drivers of the root disk only, and boots in
# seconds.
set -euo pipefail
root=$1 dir=$2
here=$(dirname "$0")
rm -rf "$dir"
mkdir -p "$dir" "$root/etc/ssh" "$root/root/.ssh" "$root/etc/systemd/network"
unpack=$(mktemp -d)
trap 'rm -rf "$unpack"' EXIT

# Host keys made here: under emulation sshd's own take half a minute.
ssh-keygen -q -A -f "$root"
echo "machine $(cat "$root/etc/ssh/ssh_host_ed25519_key.pub")" >"$dir/known_hosts"
ssh-keygen -q -t ed25519 -N '' -C "system test" -f "$dir/id"
install -m 0600 "$dir/id.pub" "$root/root/.ssh/authorized_keys"
chmod 0700 "$root/root/.ssh"
cat >"$root/etc/systemd/network/80-machine.network" <<'EOF'
[Match]
Name=en* eth*

[Network]
DHCP=ipv4
EOF
echo '/dev/vda / ext4 rw,errors=remount-ro 0 1' >"$root/etc/fstab"

"$here/in-root.sh" "$root" --bind="$unpack:/unpack" -- sh -c '
  apt-get update -qq &&
  apt-get install -y -qq --no-install-recommends udev openssh-server >/dev/null &&
  systemctl enable -q systemd-networkd &&
  cd /unpack && apt-get download -qq -o APT::Sandbox::User=root busybox-static \
    $(apt-cache depends linux-image-armmp-lpae | sed -n "s/^ *Depends: \(linux-image-[0-9].*\)/\1/p") &&
  rm -rf /var/lib/apt/lists/*'

dpkg-deb -x "$unpack"/linux-image-*.deb "$unpack/kernel"
dpkg-deb -x "$unpack"/busybox-static_*.deb "$unpack/busybox"
version=$(basename "$(ls -d "$unpack"/kernel/usr/lib/modules/*)")
mkdir -p "$root/usr/lib/modules"
cp -a "$unpack/kernel/usr/lib/modules/$version" "$root/usr/lib/modules/"
depmod -b "$root" "$version"
cp "$unpack/kernel/boot/vmlinuz-$version" "$dir/vmlinuz"

# The initramfs: the root disk's drivers in the order modprobe gives, loaded
# by busybox (uncompressed: its insmod takes them so), then its init.
initramfs=$unpack/initramfs
mkdir -p "$initramfs"/{bin,dev,proc,root,modules}
cp "$unpack/busybox/usr/bin/busybox" "$initramfs/bin/"
n=10
for module in $(for m in virtio_mmio virtio_blk ext4; do
  modprobe -d "$root" -S "$version" --show-depends "$m"
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }'); do
  n=$((n + 1))
  name=$(basename "$module")
  case "$module" in
    *.ko.xz) xz -dc "$module" >"$initramfs/modules/$n-${name%.xz}" ;;
    *.ko) cp "$module" "$initramfs/modules/$n-$name" ;;
    *) echo "unexpected module file: $module" >&2; exit 1 ;;
  esac
done
cat >"$initramfs/init" <<'EOF'
#!/bin/busybox sh
# Loads the root disk's drivers, mounts it and hands over to its systemd.
/bin/busybox mount -t devtmpfs devtmpfs /dev
/bin/busybox mount -t proc proc /proc
for m in /modules/*.ko; do /bin/busybox insmod "$m" 2>/dev/null; done
i=0
while [ ! -b /dev/vda ] && [ $i -lt 100 ]; do
  /bin/busybox sleep 0.1
  i=$((i + 1))
done
/bin/busybox mount -t ext4 -o rw /dev/vda /root || {
  echo "initramfs: cannot mount /dev/vda" >&2
  /bin/busybox poweroff -f
}
/bin/busybox umount /proc
/bin/busybox mount --move /dev /root/dev
exec /bin/busybox switch_root /root /sbin/init
EOF
chmod 0755 "$initramfs/init"
(cd "$initramfs" && find . | LC_ALL=C sort | cpio --quiet -o -H newc --owner=0:0 | gzip -n) >"$dir/initrd.gz"
