#!/bin/sh
# Builds MailTally from scratch with g++ and with clang++, warnings as
# errors, and runs every test with each: the clang++ build under
# AddressSanitizer and UndefinedBehaviorSanitizer. Then the end-to-end runs
# of the g++ build once more under valgrind's memcheck, and the message file
# fuzz target for 60 s.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for compiler in g++ clang++; do
  dir="build/test-$compiler"
  rm -rf "$dir"
  sanitize=OFF
  stores=300
  if [ "$compiler" = clang++ ]; then
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
    # Every run of the tool costs more under the sanitizers; the random
    # stores are fewer than in the plain pass.
    sanitize=ON
    stores=100
  fi
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DMAILTALLY_WERROR=ON \
    -DMAILTALLY_SANITIZE="$sanitize"
  cmake --build "$dir"
  MAILTALLY_PROPERTY_STORES="$stores" ctest --test-dir "$dir" --output-on-failure -j 2
done

echo "== valgrind memcheck on the end-to-end runs"
# Every run of the tool writes its own log; any error in any of them fails.
# Each run under valgrind costs about a second, so this pass leaves out the
# killed runs (a kill is no memory error) and the 100,000-file directory
# (the sanitizer pass runs it), and takes fewer random stores.
logs="$(pwd)/build/valgrind-logs"
rm -rf "$logs"
mkdir -p "$logs"
MAILTALLY_RUN_PREFIX="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --log-file=$logs/%p.log" \
MAILTALLY_PROPERTY_STORES=10 \
  ctest --test-dir build/test-g++ --output-on-failure -j 2 \
  -E '^(Interrupted\.|MessageFileTest\.|Faults\.HundredThousand)'
if find "$logs" -name '*.log' -size +0 | grep -q .; then
  find "$logs" -name '*.log' -size +0 -exec cat {} +
  echo "valgrind reported errors"
  exit 1
fi
echo "valgrind: $(find "$logs" -name '*.log' | wc -l) runs, no error"

echo "== fuzzing the message file for 60 s"
scripts/fuzz.sh 60
