#!/usr/bin/env bash
# Boots a small Linux guest under qemu with real V4L2 cameras: the kernel's vivid driver, and
# v4l2loopback devices that our producer feeds the way USB webcams deliver frames. Runs stillcam in
# it as a web server would, and leaves what came back in RESULTS.
#   run-guest.sh STILLCAM_BINARY LOOPBACK_PRODUCER CACHE_FOLDER RESULTS_FOLDER
# The kernel and the packages the loopback module is built from are downloaded once into
# CACHE_FOLDER, and the module is built there once. Exit status 77: qemu cannot boot a guest on this
# machine (the reason is on stderr); anything else non-zero is a failure, a missing tool or package
# and a module that does not build included (scripts/test installs what they need).
set -euo pipefail

BINARY=$(realpath "$1")
PRODUCER=$(realpath "$2")
CACHE=$(mkdir -p "$3" && realpath "$3")
RESULTS=$(mkdir -p "$4" && realpath "$4")
HERE=$(cd "$(dirname "$0")" && pwd)

skip() { echo "guest: SKIPPED: $*" >&2; exit 77; }
fail() { echo "guest: $*" >&2; exit 1; }

export PATH="$PATH:/usr/sbin:/sbin"  # depmod and modprobe, for a user whose PATH lacks them
for tool in qemu-system-x86_64 busybox depmod modprobe cpio apt-get apt-cache dpkg-deb ldd timeout v4l2-ctl \
  make gcc-12; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/deps/test lists it)"
done
# The guest has no C library of its own for busybox to use.
case $(ldd /bin/busybox 2>&1 || true) in
  *"not a dynamic"*) ;;
  *) fail "/bin/busybox is not the static build (busybox-static)" ;;
esac

# The kernel: the image Debian's linux-image-amd64 names, unpacked once with only what the guest needs.
prepare_kernel() {
  local package version deb tree
  local query='/Depends: linux-image-[0-9]/ {print $2; exit}'
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk "$query")
  if [ -z "$package" ]; then  # a fresh machine may have no package lists yet
    apt-get update -q >/dev/null 2>&1 || true
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk "$query")
  fi
  [ -n "$package" ] || fail "apt-cache does not know linux-image-amd64"
  version=${package#linux-image-}
  tree="$CACHE/kernel-$version"
  if [ ! -f "$tree/.complete" ]; then
    rm -rf "$tree" "$CACHE"/download
    mkdir -p "$CACHE/download" "$tree"
    (cd "$CACHE/download" && apt-get download "$package" >&2) || fail "cannot download $package"
    deb=$(ls "$CACHE"/download/*.deb)
    local m="./lib/modules/$version"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tree" --wildcards \
      "./boot/vmlinuz-$version" "$m/modules.*" "$m/kernel/drivers/media" "$m/kernel/drivers/virtio" \
      "$m/kernel/fs/9p" "$m/kernel/fs/netfs" "$m/kernel/fs/fscache" "$m/kernel/net/9p" 2>/dev/null ||
      dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tree" --wildcards \
        "./boot/vmlinuz-$version" "$m/modules.*" "$m/kernel/drivers/media" "$m/kernel/drivers/virtio" \
        "$m/kernel/fs/9p" "$m/kernel/fs/netfs" "$m/kernel/net/9p"
    depmod -b "$tree" "$version"
    rm -rf "$CACHE/download"
    touch "$tree/.complete"
  fi
  KERNEL_TREE=$tree
  KERNEL_VERSION=$version
  KERNEL_PACKAGE=$package
}

# v4l2loopback, built against the headers of exactly that kernel: Debian ships its source for dkms.
# Nothing is installed; the packages are unpacked into the cache and the headers pointed at each other.
prepare_loopback_module() {
  local built="$CACHE/v4l2loopback-$KERNEL_VERSION"
  if [ ! -f "$built/.complete" ]; then
    local release abi=${KERNEL_VERSION%-amd64}
    release=$(apt-cache policy "$KERNEL_PACKAGE" | awk '/Candidate:/ {print $2}')
    [ -n "$release" ] && [ "$release" != "(none)" ] || fail "apt-cache knows no version of $KERNEL_PACKAGE"
    rm -rf "$built" && mkdir -p "$built/download" "$built/tree"
    (cd "$built/download" && apt-get download "linux-headers-$KERNEL_VERSION=$release" \
      "linux-headers-$abi-common=$release" "linux-kbuild-6.1=$release" v4l2loopback-dkms >&2) ||
      fail "cannot download the headers of $KERNEL_VERSION ($release) or v4l2loopback-dkms"
    for deb in "$built"/download/*.deb; do dpkg-deb -x "$deb" "$built/tree"; done
    local headers="$built/tree/usr/src/linux-headers-$KERNEL_VERSION" source
    sed -i "s|^include /usr/src/|include $built/tree/usr/src/|" "$headers/Makefile"
    source=$(ls -d "$built"/tree/usr/src/v4l2loopback-*)
    make -C "$headers" M="$source" modules >"$built/build.log" 2>&1 ||
      { tail -n 30 "$built/build.log" >&2; fail "v4l2loopback does not build against $KERNEL_VERSION"; }
    cp "$source/v4l2loopback.ko" "$built/v4l2loopback.ko"
    rm -rf "$built/download" "$built/tree"
    touch "$built/.complete"
  fi
  LOOPBACK_MODULE="$built/v4l2loopback.ko"
}

prepare_kernel
prepare_loopback_module

# The initramfs: busybox, the modules, stillcam and v4l2-ctl with their libraries, the caption fonts.
ROOT=$(mktemp -d "$CACHE/initramfs.XXXXXX")
trap 'rm -rf "$ROOT"' EXIT
mkdir -p "$ROOT"/{bin,dev,proc,sys,tmp,results,modules}
cp /bin/busybox "$ROOT/bin/busybox"
MODULE_DIR="$KERNEL_TREE/lib/modules/$KERNEL_VERSION"
for module in virtio_pci 9pnet_virtio 9p vivid; do
  modprobe -d "$KERNEL_TREE" -S "$KERNEL_VERSION" --show-depends "$module" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
  name=$(basename "$ko")
  cp "$ko" "$ROOT/modules/$name"
  echo "$name" >>"$ROOT/modules/order"
done
grep -q '^vivid.ko$' "$ROOT/modules/order" || fail "vivid.ko is missing from $MODULE_DIR"
# v4l2loopback needs only what vivid already brought (videodev); loaded by the guest with its options.
cp "$LOOPBACK_MODULE" "$ROOT/modules/v4l2loopback.ko"
cp "$PRODUCER" "$ROOT/bin/loopback_producer"

copy_with_libraries() {  # PROGRAM DESTINATION
  cp "$1" "$ROOT/$2"
  ldd "$1" | grep -o '/[^ ]*' | while read -r library; do
    mkdir -p "$ROOT$(dirname "$library")"
    cp -L "$library" "$ROOT$library"
  done
}
copy_with_libraries "$BINARY" stillcam
# A sanitized build runs several times slower under TCG: the guest leaves out its load batches.
if ldd "$BINARY" | grep -q libasan; then touch "$ROOT/sanitized"; fi
copy_with_libraries "$(command -v v4l2-ctl)" bin/v4l2-ctl
for font in /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf; do
  mkdir -p "$ROOT$(dirname "$font")"
  cp "$font" "$ROOT$font"
done
cp "$HERE/guest-init.sh" "$ROOT/init"
chmod +x "$ROOT/init"
(cd "$ROOT" && find . | cpio -o -H newc --quiet) >"$ROOT.cpio"
trap 'rm -rf "$ROOT" "$ROOT.cpio"' EXIT

rm -rf "${RESULTS:?}"/*
set +e
timeout 300 qemu-system-x86_64 -accel tcg -cpu max -m 512 -nographic -no-reboot -nic none \
  -kernel "$KERNEL_TREE/boot/vmlinuz-$KERNEL_VERSION" -initrd "$ROOT.cpio" \
  -append 'console=ttyS0 quiet panic=-1' \
  -virtfs "local,path=$RESULTS,mount_tag=results,security_model=none" >"$CACHE/console.log" 2>&1
status=$?
set -e
if [ ! -e "$RESULTS/booted" ]; then
  tail -n 20 "$CACHE/console.log" >&2
  # qemu itself failing (no TCG, no memory, a firmware missing) is this machine's limit; a guest
  # that ran but never reached its share, or hung, is a fault of ours.
  case $status in
    0) echo "guest: the guest ended before it mounted the results share" >&2; exit 1 ;;
    124) echo "guest: timed out before it mounted the results share" >&2; exit 1 ;;
    *) skip "qemu could not boot the guest (status $status; console above)" ;;
  esac
fi
cp "$CACHE/console.log" "$RESULTS/console.log"
[ -e "$RESULTS/done" ] || { echo "guest: stopped before it finished (status $status)" >&2; exit 1; }
