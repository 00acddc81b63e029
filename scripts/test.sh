#!/bin/sh
# Builds MailTally from scratch and runs every test:
#   - first, the relative links of the Markdown files (scripts/links.sh);
#   - the g++ build, whole suite, with mailtally.exe (cross-built with
#     MinGW-w64) run on the end-to-end cases under Wine;
#   - the random-store properties and the counter cases once more with their
#     stores on tmpfs, xfs, btrfs, NTFS and exFAT (scripts/filesystems.sh);
#   - the clang++ build under AddressSanitizer and UndefinedBehaviorSanitizer;
#   - a clang++ build under ThreadSanitizer, on the end-to-end runs with
#     read-ahead;
#   - the g++ build's end-to-end runs once more under valgrind's memcheck;
#   - the message file fuzz target for 60 s;
#   - the man page, and the packages with lintian on the Debian one.
# The benchmarks are built, so they keep compiling, but not run: bench/run.sh
# times them.
# Warnings are errors in every build.
set -eu
cd "$(dirname "$0")/.."
# Cheap and needing nothing installed: a broken link fails at once.
scripts/links.sh
scripts/setup.sh

windows=build/test-windows
rm -rf "$windows"
cmake -S . -B "$windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DMAILTALLY_TESTS=OFF -DMAILTALLY_WERROR=ON
cmake --build "$windows"

for compiler in g++ clang++; do
  dir="build/test-$compiler"
  options=""
  stores=300
  if [ "$compiler" = g++ ]; then
    options="-DMAILTALLY_WINDOWS_BINARY=$PWD/$windows/mailtally.exe -DMAILTALLY_BENCHMARKS=ON"
  else
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
    # Every run of the tool costs more under the sanitizers; the random
    # stores are fewer than in the plain pass.
    options="-DMAILTALLY_SANITIZE=ON"
    stores=100
  fi
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DMAILTALLY_WERROR=ON $options
  if [ "$compiler" = g++ ]; then
    # The man page as installed, with the version filled in.
    warnings=$(MANWIDTH=80 man --warnings -l "$dir/man/mailtally.1" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
      echo "doc/mailtally.1:"
      echo "$warnings"
      exit 1
    fi
  fi
  cmake --build "$dir"
  MAILTALLY_PROPERTY_STORES="$stores" ctest --test-dir "$dir" --output-on-failure -j 2
  if [ "$compiler" = g++ ]; then
    echo "== stores on tmpfs, xfs, btrfs, NTFS and exFAT"
    MAILTALLY_PROPERTY_STORES="$stores" scripts/filesystems.sh "$dir"
  fi
done

echo "== ThreadSanitizer on the end-to-end runs with read-ahead"
# Only the runs with reader threads: the plain walk has one thread. Every
# run of the tool logs its findings to a file of its own; any finding fails.
# Address-space randomisation is turned off for the pass: with the large
# randomisation of some kernels, the sanitizer cannot map its shadow memory.
tsan=build/test-tsan
logs="$(pwd)/build/tsan-logs"
rm -rf "$tsan" "$logs"
mkdir -p "$logs"
cmake -S . -B "$tsan" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DMAILTALLY_WERROR=ON -DMAILTALLY_TSAN=ON
cmake --build "$tsan"
TSAN_OPTIONS="log_path=$logs/tsan" MAILTALLY_PROPERTY_STORES=100 \
  setarch "$(uname -m)" -R ctest --test-dir "$tsan" --output-on-failure -j 2 \
  -E '^(MessageFileTest\.|Interrupted\.|Faults\.HundredThousand|no_readahead\.)'
if find "$logs" -type f | grep -q .; then
  find "$logs" -type f -exec cat {} +
  echo "ThreadSanitizer reported errors"
  exit 1
fi
echo "ThreadSanitizer: no finding"

echo "== valgrind memcheck on the end-to-end runs"
# Every run of the tool writes its own log; any error in any of them fails.
# Each run under valgrind costs about a second, so this pass leaves out the
# killed runs (a kill is no memory error), the 100,000-file directory (the
# sanitizer pass runs it), the Wine suite and the second pass without
# read-ahead, and takes fewer random stores.
logs="$(pwd)/build/valgrind-logs"
rm -rf "$logs"
mkdir -p "$logs"
MAILTALLY_RUN_PREFIX="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --log-file=$logs/%p.log" \
MAILTALLY_PROPERTY_STORES=10 \
  ctest --test-dir build/test-g++ --output-on-failure -j 2 \
  -E '^(Interrupted\.|MessageFileTest\.|Faults\.HundredThousand|windows\.|wine\.|no_readahead\.)'
if find "$logs" -name '*.log' -size +0 | grep -q .; then
  find "$logs" -name '*.log' -size +0 -exec cat {} +
  echo "valgrind reported errors"
  exit 1
fi
echo "valgrind: $(find "$logs" -name '*.log' | wc -l) runs, no error"

echo "== fuzzing the message file for 60 s"
scripts/fuzz.sh 60

scripts/package.sh build/test-g++ "$windows"
