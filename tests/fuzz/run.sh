#!/usr/bin/env bash
# Fuzzes one entry for a number of minutes with libFuzzer under ASan+UBSan:
#   tests/fuzz/run.sh NAME [MINUTES] [extra libFuzzer options]
# New corpus inputs collect in build-fuzz/corpus/NAME; crash inputs land in
# build-fuzz/crashes/NAME. Copy a crash input into tests/fuzz/NAME/ once it
# is mended, so the ordinary test run replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/../.."
name=${1:?usage: tests/fuzz/run.sh NAME [MINUTES]}
minutes=${2:-5}
shift $(( $# >= 2 ? 2 : 1 ))
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON >/dev/null
cmake --build build-fuzz --target "fuzz_$name"
mkdir -p "build-fuzz/corpus/$name" "build-fuzz/crashes/$name"
exec build-fuzz/tests/fuzz/fuzz_"$name" -max_total_time=$((minutes * 60)) -timeout=10 -close_fd_mask=1 \
  -artifact_prefix="build-fuzz/crashes/$name/" "$@" "build-fuzz/corpus/$name" "tests/fuzz/$name"
