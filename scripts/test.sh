#!/bin/sh
# Builds MailTally from scratch with g++ and with clang++, warnings as
# errors, and runs every test with each.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for compiler in g++ clang++; do
  dir="build/test-$compiler"
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DMAILTALLY_WERROR=ON
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j 2
done
