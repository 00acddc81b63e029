#!/bin/sh
# Makes the packages from a Linux build directory and a Windows one (from
# the cross build), and checks them: the Debian package holds the binary,
# the man page, the copyright file, the changelog, the README and the guides
# of doc/, and lintian finds no error or warning in it; the zip holds
# mailtally.exe, the README, the guides and the licences, and the exe carries
# its version resource. The two packages, the exe's resource and the man
# page's header must all show one version.
#   scripts/package.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]]
set -eu
cd "$(dirname "$0")/.."
linux=${1:-build/release}
windows=${2:-build/windows}

fail() {
  echo "$*"
  exit 1
}

expect() {  # expect LISTING ENTRY...
  listing=$1
  shift
  for entry in "$@"; do
    echo "$listing" | grep -q "$entry\$" || fail "package lacks $entry"
  done
}

rm -rf "$linux/packages" "$windows/packages"
(cd "$linux" && cpack >/dev/null)
(cd "$windows" && cpack >/dev/null)
deb=$(ls "$linux"/packages/*.deb)
zip=$(ls "$windows"/packages/*.zip)
doc=./usr/share/doc/mailtally
man=./usr/share/man/man1/mailtally.1.gz
guides=$(cd doc && ls -- *.md)
expect "$(dpkg-deb -c "$deb")" ./usr/bin/mailtally $man $doc/copyright $doc/changelog.gz \
  $doc/README.md $(for guide in $guides; do echo "$doc/doc/$guide"; done)
expect "$(cmake -E tar tf "$zip")" /mailtally.exe /README.md /LICENSE.txt /LICENSE-MinGW-w64.txt \
  $(for guide in $guides; do echo "/doc/$guide"; done)

lintian --fail-on error,warning "$deb" || fail "lintian: $deb"

version=$(dpkg-deb -f "$deb" Version)
case $zip in
  *"/mailtally-$version-windows-x86_64.zip") ;;
  *) fail "$zip: not version $version" ;;
esac
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - $man | gzip -dc |
  grep -q "^\.TH MAILTALLY 1 .* \"MailTally $version\"" ||
  fail "$deb: the man page's header does not show version $version"

# The version resource, read back from the exe in the zip as windres writes
# it out: a line VALUE "Name", "value" for each string.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
cmake -E chdir "$unpacked" cmake -E tar xf "$(realpath "$zip")"
exe=$(ls "$unpacked"/*/mailtally.exe)
resource=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$exe") ||
  fail "mailtally.exe: no resource"
for value in "FileVersion\", \"$version\"" "ProductVersion\", \"$version\"" \
    "ProductName\", \"MailTally\"" "OriginalFilename\", \"mailtally.exe\"" \
    "FileDescription\", \"." "LegalCopyright\", \"Copyright "; do
  echo "$resource" | grep -q "VALUE \"$value" ||
    fail "mailtally.exe: its version resource lacks $value"
done
echo "$deb"
echo "$zip"
