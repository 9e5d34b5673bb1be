# Host-side helpers of the VM runs (sourced): tools from Debian, a cached kernel with the CAN
# modules, a busybox initramfs with our programs, and one boot under qemu's software emulation.
# Functions return 77 when the VM cannot run on this machine (nothing to install, no kernel).

vm_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
vm_modules=(can can-raw can-bcm can-isotp can-dev vcan)  # insmod order
vm_tools=(candump cansend isotpsend isotprecv)

vm_log() { echo "vm: $*"; }

# qemu, a static busybox and can-utils, installed from Debian when missing.
vm_install_tools() {
  local need=()
  command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
  [ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 || need+=(busybox-static)
  command -v isotpsend >/dev/null || need+=(can-utils)
  command -v xz >/dev/null || need+=(xz-utils)
  if [ ${#need[@]} -gt 0 ]; then
    vm_log "installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}"; } >/dev/null 2>&1; then
      vm_log "cannot install ${need[*]}"
      return 77
    fi
  fi
  command -v qemu-system-x86_64 >/dev/null || return 77
}

# Sets vm_kernel (an uncompressed vmlinux, booted through its PVH entry) and vm_moddir, fetching
# the Debian kernel package that linux-image-amd64 points to once and keeping only what we need.
vm_fetch_kernel() {
  local cache_root=${KESTRUM_VM_CACHE:-/var/cache/kestrum-vm}
  mkdir -p "$cache_root" 2>/dev/null && [ -w "$cache_root" ] || cache_root=$1/vm-cache
  local pkg
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
  if [ -z "$pkg" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
  fi
  if [ -z "$pkg" ]; then  # no package lists: fall back on any kernel cached before
    pkg=$(ls -1 "$cache_root" 2>/dev/null | grep '^linux-image-' | tail -n 1)
    [ -n "$pkg" ] && [ -f "$cache_root/$pkg/complete" ] || { vm_log "no Debian kernel package known"; return 77; }
  fi
  local dir=$cache_root/$pkg
  vm_kernel=$dir/vmlinux
  vm_moddir=$dir
  [ -f "$dir/complete" ] && return 0

  vm_log "fetching $pkg"
  local tmp
  tmp=$(mktemp -d)
  if ! (cd "$tmp" && apt-get download "$pkg" >/dev/null 2>&1); then
    rm -rf "$tmp"
    vm_log "cannot download $pkg"
    return 77
  fi
  local deb ver
  deb=$(ls "$tmp"/*.deb)
  ver=${pkg#linux-image-}
  local paths=("./boot/vmlinuz-$ver")
  local m
  for m in net/can/can.ko net/can/can-raw.ko net/can/can-bcm.ko net/can/can-isotp.ko \
           drivers/net/can/dev/can-dev.ko drivers/net/can/vcan.ko; do
    paths+=("./lib/modules/$ver/kernel/$m")
  done
  mkdir -p "$tmp/x" "$dir"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp/x" "${paths[@]}"
  for m in "$tmp/x/lib/modules/$ver/kernel/"{net/can,drivers/net/can,drivers/net/can/dev}/*.ko; do
    cp "$m" "$dir/"
  done
  # vmlinuz holds the kernel as an xz stream after the decompressor: unpack it for a direct boot.
  local off
  off=$(LC_ALL=C grep -obaP '\xfd7zXZ\x00' "$tmp/x/boot/vmlinuz-$ver" | head -n 1 | cut -d: -f1)
  tail -c +$((off + 1)) "$tmp/x/boot/vmlinuz-$ver" | xz -dcq > "$dir/vmlinux" 2>/dev/null || true
  if [ "$(head -c 4 "$dir/vmlinux" 2>/dev/null | od -An -tx1 | tr -d ' ')" != 7f454c46 ]; then  # not ELF: boot vmlinuz
    cp "$tmp/x/boot/vmlinuz-$ver" "$dir/vmlinux"
  fi
  rm -rf "$tmp"
  touch "$dir/complete"
}

# Copies a program and the shared libraries it needs into the initramfs tree $1.
vm_add_program() {
  local root=$1 src=$2 dst=$3 lib
  mkdir -p "$root$(dirname "$dst")"
  cp -L "$src" "$root$dst"
  strip --strip-debug "$root$dst" 2>/dev/null || true
  for lib in $(ldd "$src" 2>/dev/null | grep -oE '/[^ ]+'); do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}

# Builds the initramfs $2 from the staging tree $1 plus busybox, modules, can-utils and init.
vm_build_initramfs() {
  local root=$1 out=$2 m t
  mkdir -p "$root"/{bin,proc,sys,dev,tmp,lib/modules,kestrum}
  cp /bin/busybox "$root/bin/busybox"
  for m in "${vm_modules[@]}"; do cp "$vm_moddir/$m.ko" "$root/lib/modules/"; done
  for t in "${vm_tools[@]}"; do vm_add_program "$root" "$(command -v "$t")" "/usr/bin/$t"; done
  cp "$vm_dir/init" "$root/init"
  chmod +x "$root/init"
  cp "$vm_dir"/guest_*.sh "$root/kestrum/"
  (cd "$root" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) > "$out"
}

# Boots the initramfs $1 with the kernel command-line words $2, the serial console into $3.
# The guest powers off at the end; the timeout ends a hung guest.
vm_boot() {
  local initrd=$1 args=$2 out=$3 limit=${4:-240}
  timeout --kill-after=5 "$limit" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 \
    -nodefaults -nographic -serial stdio -no-reboot \
    -kernel "$vm_kernel" -initrd "$initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 $args" </dev/null 2>&1 | tr -d '\r' > "$out"
  return "${PIPESTATUS[0]}"
}
