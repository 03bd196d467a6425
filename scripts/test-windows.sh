#!/usr/bin/env bash
# The Windows stage: cross-builds Tarvik.dll and Quorrel.exe for 64 and 32 bits, checks both
# DLLs' tables, runs the 64-bit tests under Wine (Quorrel.exe's on a virtual display) against
# the native simulator, and makes the zips.
# 32-bit code cannot run on these machines: the 32-bit DLL is built and its tables checked.
# Uses one Wine prefix and one display of its own, removed at the end. Called by scripts/test.sh windows.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps-windows.sh
jobs=$(nproc)
# A compiler cache, where the machine has one, spares what an earlier run compiled already.
cache=()
if command -v ccache >/dev/null; then
  cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi

# The simulator runs natively; the plain stage has usually built it already.
cmake -S . -B build -G Ninja "${cache[@]}" >/dev/null
cmake --build build -j "$jobs" --target tarvik-modemsim tarvik-ptyrelay
simulator=$PWD/build/bin/tarvik-modemsim
relay=$PWD/build/simulator/tarvik-ptyrelay

cross() {
  local dir=$1 triple=$2; shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$triple.cmake" \
    "${cache[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
cross build-win64 x86_64-w64-mingw32 -DTARVIK_WINE_TESTS=ON \
  -DTARVIK_NATIVE_SIMULATOR="$simulator" -DTARVIK_NATIVE_RELAY="$relay"
cross build-win32 i686-w64-mingw32

# One Wine prefix and one virtual display for the whole stage.
source scripts/wine-session.sh
trap wine_session_stop EXIT
wine_session_start

ctest --test-dir build-win32 --output-on-failure
ctest --test-dir build-win64 --output-on-failure -j "$jobs"

# The zips, Tarvik-<version>-win64.zip and -win32.zip, in the two build folders.
(cd build-win64 && cpack -G ZIP >/dev/null && ls Tarvik-*-win64.zip)
(cd build-win32 && cpack -G ZIP >/dev/null && ls Tarvik-*-win32.zip)
