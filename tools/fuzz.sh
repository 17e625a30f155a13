#!/bin/bash
# Builds the libFuzzer target with clang and the sanitizers, and runs it on
# the seed corpus for the given number of seconds (default 60). New inputs
# go to a scratch corpus; findings (crash-*, leak-*, timeout-*) to the
# current directory, and the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DIMGSMITH_FUZZ=ON -DIMGSMITH_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target imgsmith_fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Regression inputs first: each earlier finding must now pass.
"$build/imgsmith_fuzz" -runs=0 fuzz/corpus
"$build/imgsmith_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=512 \
  -timeout=10 -print_final_stats=1 "$work" fuzz/corpus
