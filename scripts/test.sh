#!/usr/bin/env bash
# Builds Tarvik and runs its tests: the plain build, each GoogleTest program whole and
# shuffled (label whole), so that no test relies on another's leftovers, with the checks of
# the tree and the scripts' tests; then the Debian package (made, installed and checked);
# then each case on its own under AddressSanitizer with UndefinedBehaviorSanitizer; then the
# threaded tests under ThreadSanitizer; then the Windows build under Wine.
# Usage: scripts/test.sh [all|plain|package|asan|tsan|cases|windows|soak]   (default: all; cases runs
# each case of the plain build in a process of its own; package makes
# the Debian package, installs it and checks it, as root or through sudo; soak runs the
# hours-long soak alone, TARVIK_SOAK_MESSAGES messages each way, 10000 unless set)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}

bash scripts/deps.sh

jobs=$(nproc)
# A compiler cache, where the machine has one, spares what an earlier run compiled already.
cache=()
if command -v ccache >/dev/null; then
  cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi
build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "${cache[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
run_tests() {
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" || failed "$dir"
}
# A failing program's output can be long: its failures again, last, where a reader looks.
failed() {
  echo "== the failures again, from $1/Testing/Temporary/LastTest.log"
  grep -a -B3 -A12 -E '(: Failure$|\[  FAILED  \]|^FAIL|AddressSanitizer|ThreadSanitizer|runtime error)' \
    "$1/Testing/Temporary/LastTest.log" | tail -150
  return 1
}

if [ "$which" = all ] || [ "$which" = plain ]; then
  # Configured for /usr: the package stage makes the package from this build.
  build build -DCMAKE_INSTALL_PREFIX=/usr
  run_tests build -LE 'soak|case'
fi
if [ "$which" = all ] || [ "$which" = package ]; then
  bash scripts/check-package.sh
fi
if [ "$which" = all ] || [ "$which" = asan ]; then
  build build-asan -DTARVIK_SANITIZE=address
  # Case by case: a failure names its case, and the whole-program runs of the plain stage
  # have already shown the order does not matter.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_tests build-asan -LE 'tree|fuzz|soak|whole|plainonly'
fi
if [ "$which" = all ] || [ "$which" = tsan ]; then
  build build-tsan -DTARVIK_SANITIZE=thread
  # Labels of the test areas that run threads; the daemon's long cases are left to the plain
  # stage, its others drive a daemon built with the sanitizer.
  # Without address-space randomisation: some kernels map memory where the gcc 12
  # ThreadSanitizer runtime cannot cope.
  norandom=()
  setarch "$(uname -m)" -R true 2>/dev/null && norandom=(setarch "$(uname -m)" -R)
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${norandom[@]}" ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L 'serial|engine|service|gateway' -LE 'plainonly|soak' || failed build-tsan
fi
if [ "$which" = cases ]; then
  build build
  run_tests build -L case
fi
if [ "$which" = all ] || [ "$which" = windows ]; then
  bash scripts/test-windows.sh
fi
if [ "$which" = soak ]; then
  build build
  TARVIK_SOAK_MESSAGES=${TARVIK_SOAK_MESSAGES:-10000} \
    ctest --test-dir build --output-on-failure -V -L soak
fi
