#!/bin/sh
# Builds MailTally from scratch with g++ and with clang++, warnings as
# errors, and runs every test with each; cross-builds mailtally.exe with
# MinGW-w64 and runs the end-to-end tests on it under Wine (with the g++
# build's harness); checks the man page and the packages.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

warnings=$(MANWIDTH=80 man --warnings -l doc/mailtally.1 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  echo "doc/mailtally.1:"
  echo "$warnings"
  exit 1
fi

windows=build/test-windows
rm -rf "$windows"
cmake -S . -B "$windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DMAILTALLY_TESTS=OFF -DMAILTALLY_WERROR=ON
cmake --build "$windows"

for compiler in g++ clang++; do
  dir="build/test-$compiler"
  wine=""
  [ "$compiler" = g++ ] && wine="-DMAILTALLY_WINDOWS_BINARY=$PWD/$windows/mailtally.exe"
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DMAILTALLY_WERROR=ON $wine
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j 2
done

scripts/package.sh build/test-g++ "$windows"
