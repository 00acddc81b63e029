#!/bin/sh
# Builds the message file fuzz target with clang and libFuzzer and runs it
# for a bounded time: scripts/fuzz.sh [SECONDS] (default 60). Inputs it finds
# go to a scratch corpus under build/; the seeds in fuzz/corpus stay as they
# are. A broken property aborts the run and leaves the input as crash-* in
# build/fuzz.
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/setup.sh
dir=build/fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DMAILTALLY_FUZZ=ON \
  -DMAILTALLY_TESTS=OFF -DMAILTALLY_WERROR=ON >/dev/null
cmake --build "$dir" --target msgfile_fuzz
mkdir -p "$dir/corpus"
cd "$dir"
# The target writes its message file under the temporary directory.
rm -rf tmp
mkdir tmp
TMPDIR="$(pwd)/tmp"
export TMPDIR
./msgfile_fuzz -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=1 -dict=../../fuzz/msgfile.dict corpus ../../fuzz/corpus >fuzz.log 2>&1 ||
  { tail -n 40 fuzz.log; exit 1; }
grep -E '^(stat::number_of_executed_units|stat::new_units_added|Done)' fuzz.log || true
