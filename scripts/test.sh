#!/usr/bin/env bash
# Builds Tarvik and runs its tests: the plain build, then the Debian package (made,
# installed and checked), then under AddressSanitizer with UndefinedBehaviorSanitizer,
# then the threaded tests under ThreadSanitizer, then each GoogleTest program of the plain
# build whole, shuffled (label whole), so that no test relies on another's leftovers, then
# the Windows build under Wine.
# Usage: scripts/test.sh [all|plain|package|asan|tsan|order|windows|soak]   (default: all; package makes
# the Debian package, installs it and checks it, as root or through sudo; soak runs the
# hours-long soak alone, TARVIK_SOAK_MESSAGES messages each way, 10000 unless set)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}

bash scripts/deps.sh

jobs=$(nproc)
build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
run_tests() {
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
}

if [ "$which" = all ] || [ "$which" = plain ]; then
  build build
  run_tests build -LE 'soak|whole'
fi
if [ "$which" = all ] || [ "$which" = package ]; then
  bash scripts/check-package.sh
fi
if [ "$which" = all ] || [ "$which" = asan ]; then
  build build-asan -DTARVIK_SANITIZE=address
  # The whole-program runs (label whole) only for the plain build: they would double this
  # stage's time, and a test that depends on the order fails in the plain build as well.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_tests build-asan -LE 'tree|fuzz|soak|whole'
fi
if [ "$which" = all ] || [ "$which" = tsan ]; then
  build build-tsan -DTARVIK_SANITIZE=thread
  # Labels of the test areas that run threads.
  # Without address-space randomisation: some kernels map memory where the gcc 12
  # ThreadSanitizer runtime cannot cope.
  norandom=()
  setarch "$(uname -m)" -R true 2>/dev/null && norandom=(setarch "$(uname -m)" -R)
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${norandom[@]}" ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L 'serial|engine|service'
fi
if [ "$which" = all ] || [ "$which" = order ]; then
  build build
  run_tests build -L whole
fi
if [ "$which" = all ] || [ "$which" = windows ]; then
  bash scripts/test-windows.sh
fi
if [ "$which" = soak ]; then
  build build
  TARVIK_SOAK_MESSAGES=${TARVIK_SOAK_MESSAGES:-10000} \
    ctest --test-dir build --output-on-failure -V -L soak
fi
