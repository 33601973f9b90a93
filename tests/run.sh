#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: a normal build, and
# a build with AddressSanitizer and UndefinedBehaviorSanitizer. The event
# primitive's test also runs under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
# Missing packages: one message with the command that installs them, not
# CMake's errors.
tests/deps.sh check
jobs=$(nproc)

build_and_test() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 900)
}

build_and_test build-release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test build-sanitize -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target tsan_tests
(cd build-tsan && ctest --output-on-failure -L tsan --timeout 300)
