#!/bin/sh
# Installs what building and testing MailTally needs, where it is missing.
# Debian or Ubuntu; runs apt-get non-interactively (as root, or through sudo).
set -eu

missing=""
need() { command -v "$1" >/dev/null 2>&1 || missing="$missing $2"; }
need cmake cmake
need ninja ninja-build
need g++ g++
need clang++ clang
need setpriv util-linux
need mkfifo coreutils
need script bsdutils
need /usr/bin/time time
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ -f /usr/include/benchmark/benchmark.h ] || missing="$missing libbenchmark-dev"

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  # shellcheck disable=SC2086
  $sudo apt-get install -y -qq --no-install-recommends $missing
fi
