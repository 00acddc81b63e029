#!/bin/sh
# Times mailtally (check mode) against the reference C loop (bench/c_loop.c)
# on a generated store, warm and cold page cache, all in one run so that the
# ratios hold on a busy machine; prints medians, ratios and peak memory.
# The cold runs also time the parallel reference (the C loop's listing and
# reads on 64 threads: what the device gives with that many requests in
# flight), and a
# cold fix against a cold check of the same fresh copy of the store.
#
#   bench/run.sh [--shape S] [--files N] [--mailboxes N] [--runs N] [--cold-runs N]
#                [--memory]
#
# --shape chooses the store: "boxes" (the default, 200,000 files in 2,000
# mailboxes of 100), "small" (100,000 mailboxes, half of them holding one
# file and half empty: the directory reads are what counts) or "large" (one
# mailbox of 500,000 files). --files and --mailboxes, given after it, change
# its counts.
#
# The store is made once under $MAILTALLY_BENCH_DIR (default
# /tmp/mailtally-bench) and kept for later runs. Cold runs drop the page
# cache first (sync; echo 3 > /proc/sys/vm/drop_caches), so they need root;
# without it they are left out. Each cold fix run copies the store first
# (about half a minute for the default store). --memory also measures peak
# memory on a store of 1,000,000 files in 10,000 mailboxes and on one
# mailbox of 100,000 files (about 4.5 GB of disk between them).
set -eu
cd "$(dirname "$0")/.."

files=200000
mailboxes=2000
runs=5
coldRuns=3
memory=no
# Requests in flight at which the device of the development machine stops
# answering faster: the parallel reference runs this many threads.
parallelThreads=64
usage="usage: bench/run.sh [--shape boxes|small|large] [--files N] [--mailboxes N] [--runs N] [--cold-runs N] [--memory]"
while [ $# -gt 0 ]; do
  case "$1" in
    --shape)
      case "${2:-}" in
        boxes) files=200000; mailboxes=2000 ;;
        small) files=50000; mailboxes=100000 ;;
        large) files=500000; mailboxes=1 ;;
        *) echo "$usage" >&2; exit 2 ;;
      esac
      shift 2 ;;
    --files) files=$2; shift 2 ;;
    --mailboxes) mailboxes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --cold-runs) coldRuns=$2; shift 2 ;;
    --memory) memory=yes; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done

scripts/setup.sh
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMAILTALLY_TESTS=OFF \
  -DMAILTALLY_BENCHMARKS=ON >/dev/null
cmake --build "$build" >/dev/null
top=$(pwd)
mailtally="$top/$build/mailtally"
cloop="$top/$build/bench/c_loop"
benchDir=${MAILTALLY_BENCH_DIR:-/tmp/mailtally-bench}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$benchDir"

# Makes the store of $1 files in $2 mailboxes once; prints its path.
makeStore() {
  store="$benchDir/store-$1-$2"
  if [ ! -f "$store.done" ]; then
    rm -rf "$store"
    echo "making $store ..." >&2
    "$top/$build/bench/make_store" "$store" --files "$1" --mailboxes "$2" --seed 1 >&2
    touch "$store.done"
  fi
  echo "$store"
}

canDropCaches() { [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; }
dropCaches() { sync; echo 3 > /proc/sys/vm/drop_caches; }

# Runs a command in the store, appending its wall seconds to $scratch/$1.s
# and its peak memory in KiB to $scratch/$1.kb.
timeRun() {
  name=$1; shift
  if ! (cd "$store" && /usr/bin/time -f "%e %M" -o "$scratch/time" "$@" >"$scratch/out" 2>&1); then
    echo "bench/run.sh: $* failed in $store:" >&2
    tail -n 5 "$scratch/out" >&2
    exit 1
  fi
  read -r seconds kb < "$scratch/time"
  echo "$seconds" >> "$scratch/$name.s"
  echo "$kb" >> "$scratch/$name.kb"
}

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
most() { sort -n "$1" | tail -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
rate() { awk -v n="$files" -v s="$1" 'BEGIN { printf "%.0f", n / s }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

store=$(makeStore "$files" "$mailboxes")
echo "store: $files files in $mailboxes mailboxes ($store)"
echo "machine: $(nproc) cores, $(uname -sr)"

# Warm: one untimed pass of each fills the page cache.
timeRun warmup "$cloop"
timeRun warmup "$mailtally"
i=0
while [ "$i" -lt "$runs" ]; do
  timeRun c_warm "$cloop"
  timeRun par_warm "$cloop" "$parallelThreads"
  timeRun mt_warm "$mailtally"
  timeRun seq_warm env MAILTALLY_READERS=0 "$mailtally"
  i=$((i + 1))
done
if canDropCaches; then
  i=0
  while [ "$i" -lt "$coldRuns" ]; do
    dropCaches; timeRun c_cold "$cloop"
    dropCaches; timeRun par_cold "$cloop" "$parallelThreads"
    dropCaches; timeRun mt_cold "$mailtally"
    dropCaches; timeRun seq_cold env MAILTALLY_READERS=0 "$mailtally"
    i=$((i + 1))
  done
  # A fix changes the store: each run has a fresh copy, checked cold, then
  # fixed cold.
  original=$store
  store="$benchDir/fix-copy"
  i=0
  while [ "$i" -lt "$coldRuns" ]; do
    rm -rf "$store"
    cp -a "$original" "$store"
    dropCaches; timeRun check_copy_cold "$mailtally"
    dropCaches; timeRun fix_copy_cold "$mailtally" -fix
    i=$((i + 1))
  done
  rm -rf "$store"
  store=$original
fi
loadAverage=$(cut -d ' ' -f 1-3 /proc/loadavg)

row() {
  warm=$(median "$scratch/$2_warm.s")
  line=$(printf "%-34s %8s %10s" "$1" "$warm" "$(rate "$warm")")
  if [ -f "$scratch/$2_cold.s" ]; then
    cold=$(median "$scratch/$2_cold.s")
    line="$line $(printf "%8s %10s" "$cold" "$(rate "$cold")")"
  fi
  echo "$line"
}
echo
echo "medians of $runs warm and, as root, $coldRuns cold runs; wall seconds and files per second"
printf "%-34s %8s %10s %8s %10s\n" "" "warm s" "files/s" "cold s" "files/s"
row "c_loop (reference)" c
row "c_loop, $parallelThreads threads (parallel ref.)" par
row "mailtally" mt
row "mailtally, MAILTALLY_READERS=0" seq
echo
echo "warm: mailtally / c_loop = $(ratio "$(median "$scratch/mt_warm.s")" "$(median "$scratch/c_warm.s")") (target at most 1.1)"
if [ -f "$scratch/mt_cold.s" ]; then
  echo "cold: mailtally / c_loop = $(ratio "$(median "$scratch/mt_cold.s")" "$(median "$scratch/c_cold.s")") (target at most 0.5)"
  echo "cold: mailtally / c_loop on $parallelThreads threads = $(ratio "$(median "$scratch/mt_cold.s")" "$(median "$scratch/par_cold.s")") (target at most 1.1)"
  echo "cold fix: mailtally -fix / mailtally on a fresh copy = $(ratio "$(median "$scratch/fix_copy_cold.s")" "$(median "$scratch/check_copy_cold.s")") ($(median "$scratch/fix_copy_cold.s") s / $(median "$scratch/check_copy_cold.s") s; target at most 1.15)"
else
  echo "cold: not measured (dropping the page cache needs root)"
fi
echo "load average at the end of the timed runs: $loadAverage"
echo "peak memory: mailtally $(mib "$(most "$scratch/mt_warm.kb")") MiB, without readers $(mib "$(most "$scratch/seq_warm.kb")") MiB (target at most 16 MiB)"

if [ "$memory" = yes ]; then
  for shape in "1000000 10000 32" "100000 1 64"; do
    set -- $shape
    store=$(makeStore "$1" "$2")
    rm -f "$scratch/big.kb" "$scratch/big.s"
    timeRun big "$mailtally"
    echo "peak memory, $1 files in $2 mailboxes: $(mib "$(most "$scratch/big.kb")") MiB (target under $3 MiB)"
  done
fi
