#!/bin/sh
# Builds mailtally and runs it in check mode on the sample store shipped in
# examples/sample-store. Check mode only reads: the sample stays as it is.
# It installs only the build tools (cmake, ninja, g++); scripts/test.sh
# installs the rest.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh build
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DMAILTALLY_TESTS=OFF >/dev/null
cmake --build build/release --target mailtally >/dev/null
cd examples/sample-store
exec ../../build/release/mailtally "$@"
