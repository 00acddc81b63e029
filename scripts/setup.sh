#!/bin/sh
# Installs what MailTally needs, where it is missing:
#   scripts/setup.sh          building, testing and packaging (both builds,
#                             Linux and Windows; the file systems the tests
#                             mount)
#   scripts/setup.sh build    building and running the tool, nothing more
# Debian or Ubuntu; runs apt-get non-interactively (as root, or through sudo).
set -eu

set_of_packages=${1:-all}
case $set_of_packages in
  all | build) ;;
  *) echo "usage: $0 [build]" >&2; exit 2 ;;
esac

missing=""
need() { command -v "$1" >/dev/null 2>&1 || missing="$missing $2"; }
need cmake cmake
need ninja ninja-build
need g++ g++
if [ "$set_of_packages" = all ]; then
  need clang++ clang
  need setpriv util-linux
  need prlimit util-linux
  need mkfifo coreutils
  # The Windows build and its tests: MinGW-w64 (posix threads) and Wine.
  need x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
  need wine wine
  [ -x /usr/lib/wine/wine64 ] || missing="$missing wine64"
  # The man page check and the Debian package, with Debian's checker.
  need man man-db
  need nroff groff-base
  need dpkg-shlibdeps dpkg-dev
  need lintian lintian
  need timeout coreutils
  need mount mount
  need valgrind valgrind
  # libFuzzer and the sanitizer runtimes for clang.
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    missing="$missing libclang-rt-14-dev"
  need script bsdutils
  need /usr/bin/time time
  [ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
  [ -f /usr/include/benchmark/benchmark.h ] || missing="$missing libbenchmark-dev"
  # The file systems scripts/filesystems.sh puts test stores on.
  need mkfs.xfs xfsprogs
  need mkfs.btrfs btrfs-progs
  need mkntfs ntfs-3g
  need mkfs.exfat exfatprogs
  need mount.exfat-fuse exfat-fuse
  need losetup mount
  need mountpoint util-linux
  # The ext4 image of the end-to-end tests.
  need mkfs.ext4 e2fsprogs
fi

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  # shellcheck disable=SC2086
  $sudo apt-get install -y -qq --no-install-recommends $missing
fi
