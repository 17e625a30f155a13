#!/bin/bash
# Cross-builds imgsmith and its tests for 32-bit big-endian PowerPC and runs
# every test under qemu-user. Needs (Debian): g++-powerpc-linux-gnu
# qemu-user googletest, plus the tools the tests use (qemu-utils 7zip).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-powerpc}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
  -DIMGSMITH_GTEST_SOURCE=/usr/src/googletest -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2
# The binary really is big-endian PowerPC.
file "$build/imgsmith" | grep -Eq 'ELF 32-bit MSB .*PowerPC' || { file "$build/imgsmith"; exit 1; }
ctest --test-dir "$build" -j2 --output-on-failure
