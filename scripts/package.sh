#!/bin/sh
# Makes the packages from a Linux build directory and a Windows one (from
# the cross build), and checks what they hold: the Debian package with the
# binary and the man page, the zip with mailtally.exe and the README.
#   scripts/package.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]]
set -eu
cd "$(dirname "$0")/.."
linux=${1:-build/release}
windows=${2:-build/windows}

expect() {  # expect LISTING ENTRY...
  listing=$1
  shift
  for entry in "$@"; do
    if ! echo "$listing" | grep -q "$entry\$"; then
      echo "package lacks $entry"
      exit 1
    fi
  done
}

rm -rf "$linux/packages" "$windows/packages"
(cd "$linux" && cpack >/dev/null)
(cd "$windows" && cpack >/dev/null)
deb=$(ls "$linux"/packages/*.deb)
zip=$(ls "$windows"/packages/*.zip)
expect "$(dpkg-deb -c "$deb")" ./usr/bin/mailtally ./usr/share/man/man1/mailtally.1
expect "$(cmake -E tar tf "$zip")" /mailtally.exe /README.md
echo "$deb"
echo "$zip"
