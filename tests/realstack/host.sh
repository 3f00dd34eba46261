# The host's side of the bench, sourced by run: the kernel, the initramfs, Wine's prefix and the
# QEMU boot. Everything lands in build/realstack; nothing is installed on the host.

# The modules a 9p root, an overlay on it and uhid need; busybox depmod orders the rest.
INITRAMFS_MODULES=(9pnet netfs fscache 9p virtio_ring virtio 9pnet_virtio virtio_pci_modern_dev
                   virtio_pci_legacy_dev virtio_pci overlay hid uhid hid-generic)

# fetch_kernel CACHE: prints the folder holding vmlinux and modules/ of the candidate of
# linux-image-amd64, fetching it once (apt-get download, dpkg -x).
fetch_kernel() {
  local cache=$1 pkg version dir
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  if [ -z "$pkg" ]; then
    apt-get update -qq >/dev/null 2>&1
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  fi
  if [ -z "$pkg" ]; then
    # Offline, or apt knows no kernel: the last one fetched will do.
    dir=$(ls -d "$cache"/linux-image-*/ 2>/dev/null | tail -n 1)
    [ -n "$dir" ] && [ -s "$dir/vmlinux" ] && { echo "${dir%/}"; return 0; }
    echo "apt knows no candidate of linux-image-amd64 and nothing is cached"
    return 1
  fi
  version=$(apt-cache policy "$pkg" | awk '/Candidate:/ {print $2}')
  dir=$cache/${pkg}_$version
  if [ -s "$dir/vmlinux" ] && [ -d "$dir/modules" ]; then
    echo "$dir"
    return 0
  fi
  local work
  mkdir -p "$cache" && work=$(mktemp -d "$cache/fetch.XXXXXX") || { echo "cannot write $cache"; return 1; }
  if ! (cd "$work" && apt-get download "$pkg=$version" >/dev/null 2>"$work/apt.err"); then
    echo "apt-get download $pkg=$version failed: $(tail -n 2 "$work/apt.err" | tr '\n' ' ')"
    rm -rf "$work"
    return 1
  fi
  dpkg -x "$work"/*.deb "$work/root"
  local kver
  kver=$(ls "$work/root/lib/modules")
  # The ELF kernel inside the bzImage: it starts in a third of the time under TCG.
  local bz=$work/root/boot/vmlinuz-$kver offset
  for offset in $(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$bz" | cut -d: -f1); do
    tail -c +$((offset + 1)) "$bz" | xz -dc --single-stream >"$work/vmlinux" 2>/dev/null
    [ -s "$work/vmlinux" ] && [ "$(head -c 4 "$work/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] && break
    rm -f "$work/vmlinux"
  done
  if [ ! -s "$work/vmlinux" ]; then
    echo "no XZ-compressed ELF kernel found in $bz"
    rm -rf "$work"
    return 1
  fi
  local m path
  mkdir -p "$work/modules/lib/modules/$kver"
  for m in "${INITRAMFS_MODULES[@]}"; do
    path=$(cd "$work/root" && find "lib/modules/$kver" -name "$m.ko*" | head -n 1)
    if [ -z "$path" ]; then
      echo "the kernel package has no module $m"
      rm -rf "$work"
      return 1
    fi
    mkdir -p "$work/modules/$(dirname "$path")"
    cp "$work/root/$path" "$work/modules/$path"
    case $path in *.xz) xz -d "$work/modules/$path" ;; *.zst) zstd -qd --rm "$work/modules/$path" ;; esac
  done
  rm -rf "$dir"
  mkdir -p "$dir"
  mv "$work/vmlinux" "$work/modules" "$dir/"
  rm -rf "$work"
  echo "$dir"
}

# make_initramfs KERNEL_DIR INIT OUT: busybox-static as /init's shell, the modules, modules.dep.
make_initramfs() {
  local kdir=$1 init=$2 out=$3 stage kver
  stage=$(mktemp -d)
  mkdir -p "$stage/bin"
  cp /bin/busybox "$stage/bin/busybox"
  cp -r "$kdir/modules/lib" "$stage/"
  kver=$(ls "$stage/lib/modules")
  /bin/busybox depmod -b "$stage" "$kver" || { rm -rf "$stage"; return 1; }
  cp "$init" "$stage/init"
  chmod 755 "$stage/init"
  (cd "$stage" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$out.part") &&
    mv "$out.part" "$out"
  local rc=$?
  rm -rf "$stage"
  return $rc
}

# make_wine_prefix CACHE: prints a Wine prefix made on the host (once per Wine version) with the
# SDL bus off, so winebus reads hidraw itself.
make_wine_prefix() {
  local dir=$1/wineprefix stamp
  stamp="$(wine --version 2>/dev/null) sdl-off"
  if [ "$(cat "$dir/.zevrin-stamp" 2>/dev/null)" = "$stamp" ]; then
    echo "$dir"
    return 0
  fi
  rm -rf "$dir"
  local log=$1/wineprefix.log
  (
    export WINEPREFIX=$dir WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
    wineboot -i &&
      wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f &&
      wineserver -w
  ) </dev/null >"$log" 2>&1 || { echo "see $log"; return 1; }
  echo "$stamp" >"$dir/.zevrin-stamp"
  echo "$dir"
}

# The accelerators to try, in order: KVM only if the CPU has vmx or svm (the node alone proves
# nothing: a paravirtual host's KVM opens and then fails the guest).
choose_accel() {
  if grep -qwE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ]; then
    echo "kvm tcg"
  else
    echo "tcg"
  fi
}

# hidden_paths PATH...: those of PATH under the folders the guest lays tmpfs over, comma-separated
# for the kernel's command line (which splits at blanks: such a path cannot be passed).
hidden_paths() {
  local p out=()
  for p in "$@"; do
    case $p in
      *[[:space:],]*) return 1 ;;
      /tmp/*|/run/*|/var/tmp/*) out+=("$p") ;;
    esac
  done
  (IFS=,; echo "${out[*]}")
}

# boot_guest ACCEL VMLINUX INITRD SCRATCH RUNNER LIMIT KEEP: runs the guest with the console shown as
# it comes; returns QEMU's exit code, 124 when it ran past LIMIT seconds, 125 when the runner did
# not start in time.
boot_guest() {
  local accel=$1 vmlinux=$2 initrd=$3 scratch=$4 runner=$5 limit=$6 keep=$7
  local cpu="max,-smap" boot_limit=240
  if [ "$accel" = kvm ]; then
    cpu=host
    boot_limit=60
  fi
  : >"$scratch/console.log"
  qemu-system-x86_64 -machine "q35,accel=$accel" -cpu "$cpu" -m 3072 -smp 2 \
    -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$vmlinux" -initrd "$initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 mitigations=off zevrin.scratch=$scratch zevrin.runner=$runner zevrin.keep=$keep" \
    -serial stdio \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$scratch,mount_tag=scratch,security_model=none" \
    </dev/null >"$scratch/console.log" 2>"$scratch/qemu.err" &
  local qemu=$!
  tail -n +1 -f --pid="$qemu" "$scratch/console.log" 2>/dev/null | tr -d '\r' &
  local shown=$!
  local from=$SECONDS rc
  while kill -0 "$qemu" 2>/dev/null; do
    if [ ! -e "$scratch/started" ] && [ $((SECONDS - from)) -ge $boot_limit ]; then
      kill "$qemu"; wait "$qemu"; wait "$shown"
      return 125
    fi
    if [ $((SECONDS - from)) -ge "$limit" ]; then
      kill "$qemu"; wait "$qemu"; wait "$shown"
      return 124
    fi
    sleep 0.5
  done
  wait "$qemu"
  rc=$?
  wait "$shown"
  return $rc
}
