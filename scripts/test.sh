#!/bin/sh
# Builds MailTally from scratch with g++ and with clang++, warnings as
# errors, and runs every test with each. The benchmarks are built, so they
# keep compiling, but not run: bench/run.sh times them.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for compiler in g++ clang++; do
  dir="build/test-$compiler"
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DMAILTALLY_WERROR=ON -DMAILTALLY_BENCHMARKS=ON
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j 2
done
