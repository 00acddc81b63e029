#!/bin/sh
# Runs the random-store properties, the counter cases and the flush of a fix
# (both passes, with and without read-ahead) with their stores on each file
# system a store may live on: tmpfs; xfs and btrfs on loop-mounted images;
# NTFS through ntfs-3g and exFAT through exfat-fuse (FUSE, on loop devices).
#   scripts/filesystems.sh BUILD_DIR [tmpfs|xfs|btrfs|ntfs|exfat]...
# BUILD_DIR is a built test build. Mounting needs root, loop devices and
# /dev/fuse: a file system this machine cannot mount is skipped with a
# message. Images and mounts live in a temporary directory and are
# unmounted, detached and removed however the run ends.
# MAILTALLY_PROPERTY_STORES sets the number of random stores, as in ctest.
set -u
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [FILE_SYSTEM]..." >&2; exit 2; }
build=$1
shift
[ $# -ge 1 ] || set -- tmpfs xfs btrfs ntfs exfat

work=""
loop=""

cleanup() {
  [ -n "$work" ] || return 0
  if mountpoint -q "$work/store"; then
    umount "$work/store" 2>/dev/null || umount -l "$work/store"
  fi
  # A loop device still held (a FUSE driver on its way out) is detached
  # when it is let go.
  [ -z "$loop" ] || losetup -d "$loop"
  rm -rf "$work"
  work=""
  loop=""
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Commands each file system needs, beyond mount and umount.
tools() {
  case $1 in
    tmpfs) ;;
    xfs) echo mkfs.xfs losetup ;;
    btrfs) echo mkfs.btrfs losetup ;;
    ntfs) echo mkntfs ntfs-3g losetup ;;
    exfat) echo mkfs.exfat mount.exfat-fuse losetup ;;
  esac
}

# An image of `size` made by `mkfs...`, on a loop device.
attach() {
  size=$1
  shift
  truncate -s "$size" "$work/image" && "$@" "$work/image" >/dev/null &&
    loop=$(losetup -f --show "$work/image")
}

# Mounts file system $1 on $work/store. The smallest images each mkfs takes.
mount_store() {
  case $1 in
    tmpfs) mount -t tmpfs -o size=64m mailtally-test "$work/store" ;;
    xfs) attach 300M mkfs.xfs -q && mount -t xfs "$loop" "$work/store" ;;
    btrfs) attach 128M mkfs.btrfs -q && mount -t btrfs "$loop" "$work/store" ;;
    ntfs) attach 16M mkntfs -q -F -f && ntfs-3g "$loop" "$work/store" ;;
    exfat) attach 16M mkfs.exfat && mount.exfat-fuse "$loop" "$work/store" ;;
  esac
}

# Why file system $1 cannot be mounted here, if it cannot.
refusal() {
  [ "$(id -u)" = 0 ] || { echo "mounting needs root"; return; }
  for tool in $(tools "$1"); do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; return; }
  done
  case $1 in
    ntfs | exfat) [ -c /dev/fuse ] || { echo "/dev/fuse is missing"; return; } ;;
  esac
}

for kind in "$@"; do
  case $kind in
    tmpfs | xfs | btrfs | ntfs | exfat) ;;
    *) echo "no such file system: $kind" >&2; exit 2 ;;
  esac
done

failed=""
skipped=""
for kind in "$@"; do
  echo "== stores on $kind"
  reason=$(refusal "$kind")
  if [ -z "$reason" ]; then
    work=$(mktemp -d "${TMPDIR:-/tmp}/mailtally-fs.XXXXXX")
    mkdir "$work/store"
    # Not in a subshell: cleanup needs the loop device it attached.
    mount_store "$kind" >"$work/mount.log" 2>&1
    mountpoint -q "$work/store" || reason="mount refused: $(cat "$work/mount.log")"
  fi
  if [ -n "$reason" ]; then
    echo "$kind: skipped, $reason"
    skipped="$skipped $kind"
  elif ! MAILTALLY_STORE_DIR="$work/store" MAILTALLY_FILE_SYSTEM="$kind" \
    ctest --test-dir "$build" -R '^(no_readahead\.)?(Properties|Counter|Flush)\.' \
    --output-on-failure -j 2; then
    failed="$failed $kind"
  fi
  cleanup
done

echo "file systems failed:${failed:- none}; skipped:${skipped:- none}"
[ -z "$failed" ]
