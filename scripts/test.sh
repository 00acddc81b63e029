#!/bin/sh
# Builds MailTally from scratch with g++ and with clang++, warnings as
# errors, and runs every test with each; then the whole suite once more
# under AddressSanitizer and UndefinedBehaviorSanitizer, the end-to-end runs
# under valgrind's memcheck, and the message file fuzz target for 60 s.
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

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
dir=build/test-sanitize
rm -rf "$dir"
# Unoptimised: it builds much faster, and the tests spend their time
# starting processes, not in the tool. Fewer random stores for the same
# reason as below.
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
  -DMAILTALLY_WERROR=ON -DMAILTALLY_SANITIZE=ON
cmake --build "$dir"
MAILTALLY_PROPERTY_STORES=100 ctest --test-dir "$dir" --output-on-failure -j 2

echo "== valgrind memcheck on the end-to-end runs"
# Every run of the tool writes its own log; any error in any of them fails.
# Each run under valgrind costs most of a second, so this pass leaves out
# the killed runs (a kill is no memory error) and the 100,000-file
# directory (the sanitizer pass runs it), and takes fewer random stores than
# the g++ and clang++ passes above.
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
