#!/bin/bash
# Builds the i386 guest of the Wine job from Debian's packages, once:
#   windows/wine/image.sh WORK
# WORK/debs        the packages (debootstrap --download-only; kept, so that a
#                  rebuilt image needs no network)
# WORK/image/      vmlinuz, initrd.gz (busybox and the few modules the guest
#                  needs), rootfs.img (ext4, 4 GiB sparse) and key, the hash of
#                  what made them (this script, guest/init, env.sh, prefix.sh).
#                  A changed key rebuilds the image; the Wine prefix made in it
#                  at its first boot (prefix.done) goes with it.
# No second stage of debootstrap (it would run in the emulated guest, 4 to 17
# minutes): every package is unpacked on this machine, and the few effects of
# their install scripts that Wine needs are repeated here (see fix_up).
set -euo pipefail

work="${1:?usage: image.sh WORK}"
here="$(cd "$(dirname "$0")" && pwd)"
suite=bookworm
# Wine and its libraries; the kernel only to take vmlinuz and modules from
# (it is not installed into the root file system); procps for ps in a job.
include=linux-image-686-pae,wine,wine32,busybox-static,kmod,procps
# Unpacked only for the kernel and initramfs, or not at all.
not_in_root='^(linux-image-.*|linux-base|initramfs-tools.*|klibc-utils|libklibc)$'
modules=(virtio_pci virtio_blk crc32c_generic ext4 9p 9pnet_virtio virtio_rng)

mirror() {
  if [[ -n "${PELLINOR_WINE_MIRROR:-}" ]]; then echo "$PELLINOR_WINE_MIRROR"; return; fi
  local uri=""
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    uri="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)"
  fi
  if [[ -z "$uri" && -f /etc/apt/sources.list ]]; then
    uri="$(awk '$1 == "deb" && $0 ~ / bookworm / {print $2; exit}' /etc/apt/sources.list)"
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

key="$( { echo "$suite $include"; cat "$here/image.sh" "$here/guest/init" "$here/guest/env.sh" "$here/guest/prefix.sh"; } | sha256sum | cut -c1-16)"
image="$work/image"
if [[ -f "$image/key" && "$(cat "$image/key")" == "$key" && -f "$image/rootfs.img" ]]; then
  exit 0
fi

debs="$work/debs"
if [[ ! -f "$debs/done" || "$(cat "$debs/done")" != "$suite $include" ]]; then
  echo "== wine: downloading Debian $suite i386 packages (debootstrap --download-only, $(mirror))"
  rm -rf "$debs"
  mkdir -p "$work"
  start=$SECONDS
  if ! debootstrap --download-only --arch=i386 --variant=minbase --include="$include" \
       "$suite" "$debs" "$(mirror)" >"$work/debootstrap.log" 2>&1; then
    tail -n 20 "$work/debootstrap.log" >&2
    echo "== wine: debootstrap failed; its output is in $work/debootstrap.log" >&2
    exit 1
  fi
  echo "$suite $include" >"$debs/done"
  echo "   $(wc -l <"$debs/debootstrap/debpaths") packages in $((SECONDS - start)) s"
fi

# deb PACKAGE: the downloaded file of a package.
deb() { awk -v p="$1" '$1 == p {print $2}' "$debs/debootstrap/debpaths" | sed "s|^|$debs|"; }

# The effects of the install scripts that matter here.
fix_up() {
  local r="$1"
  cp "$r/usr/share/base-passwd/passwd.master" "$r/etc/passwd"
  cp "$r/usr/share/base-passwd/group.master" "$r/etc/group"
  mkdir -p "$r/proc" "$r/sys" "$r/dev" "$r/run" "$r/tmp" "$r/root" "$r/mnt/share"
  chmod 1777 "$r/tmp"
  chmod 700 "$r/root"
  # update-alternatives: awk (mawk's), and Wine's programs (wine's trigger
  # points wine, wineserver, wineboot ... at their -stable names).
  ln -sfn mawk "$r/usr/bin/awk"
  local f
  for f in "$r"/usr/bin/*-stable; do
    ln -sfn "$(basename "$f")" "${f%-stable}"
  done
  # libwine's install script: the MinGW zlib1.dll copied into Wine's PE
  # folder with Wine's builtin marker at offset 64.
  local in out
  in="$(echo "$r"/usr/i686-w64-mingw32/lib/zlib*.dll)"
  out="$r/usr/lib/i386-linux-gnu/wine/i386-windows/$(basename "$in")"
  { head -c 64 "$in"; printf 'Wine builtin DLL'; printf '\0%.0s' {1..16}; tail -c +97 "$in"; } >"$out"
  # libc-bin's trigger: the dynamic linker's cache.
  ldconfig -r "$r"
}

echo "== wine: the guest image (every package unpacked here, kernel and initramfs from the 686-pae package)"
start=$SECONDS
rm -rf "$image" "$work/rootfs" "$work/kernel" "$work/initramfs"
mkdir -p "$image" "$work/rootfs/usr/bin" "$work/rootfs/usr/sbin" "$work/rootfs/usr/lib"
# A merged /usr, as debootstrap makes it for Debian 12.
for d in bin sbin lib; do ln -s "usr/$d" "$work/rootfs/$d"; done
while read -r package path; do
  [[ "$package" =~ $not_in_root ]] && continue
  dpkg-deb --fsys-tarfile "$debs$path" | tar -x --keep-directory-symlink -C "$work/rootfs"
done <"$debs/debootstrap/debpaths"
fix_up "$work/rootfs"

kernel_deb="$(awk '$1 ~ /^linux-image-[0-9].*-686-pae$/ {print $1; exit}' "$debs/debootstrap/debpaths")"
version="${kernel_deb#linux-image-}"
dpkg-deb -x "$(deb "$kernel_deb")" "$work/kernel"
depmod -b "$work/kernel" "$version"
cp "$work/kernel/boot/vmlinuz-$version" "$image/vmlinuz"

# The initramfs: static busybox, the modules in load order, guest/init.
i="$work/initramfs"
mkdir -p "$i/bin" "$i/modules" "$i/proc" "$i/sys" "$i/dev" "$i/root"
dpkg-deb --fsys-tarfile "$(deb busybox-static)" | tar -x -C "$i" ./bin/busybox
for m in "${modules[@]}"; do
  modprobe -d "$work/kernel" -S "$version" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r file; do
  cp "$file" "$i/modules/"
  basename "$file" >>"$i/modules/order"
done
cp "$here/guest/init" "$i/init"
chmod 755 "$i/init"
(cd "$i" && find . | cpio -o -H newc --quiet | gzip -1) >"$image/initrd.gz"

truncate -s 4G "$image/rootfs.img"
mke2fs -q -t ext4 -L pellinor-wine -F -d "$work/rootfs" "$image/rootfs.img"
rm -rf "$work/rootfs" "$work/kernel" "$work/initramfs"
echo "$key" >"$image/key"
echo "   image ready in $((SECONDS - start)) s ($(du -h "$image/rootfs.img" | cut -f1) used of 4 GiB)"
