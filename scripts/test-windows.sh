#!/usr/bin/env bash
# The Windows stage: cross-builds Tarvik.dll for 64 and 32 bits, checks both DLLs' tables,
# runs the 64-bit tests under Wine against the native simulator, and makes the zips.
# 32-bit code cannot run on these machines: the 32-bit DLL is built and its tables checked.
# Uses one Wine prefix of its own, removed at the end. Called by scripts/test.sh windows.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps-windows.sh
jobs=$(nproc)

# The simulator runs natively; the plain stage has usually built it already.
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$jobs" --target tarvik-modemsim tarvik-ptyrelay
simulator=$PWD/build/bin/tarvik-modemsim
relay=$PWD/build/simulator/tarvik-ptyrelay

cross() {
  local dir=$1 triple=$2; shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$triple.cmake" \
    "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
cross build-win64 x86_64-w64-mingw32 -DTARVIK_WINE_TESTS=ON \
  -DTARVIK_NATIVE_SIMULATOR="$simulator" -DTARVIK_NATIVE_RELAY="$relay"
cross build-win32 i686-w64-mingw32

WINEPREFIX=$(mktemp -d /tmp/tarvik-wine-XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$WINEPREFIX.server.log"
}
trap cleanup EXIT
# A persistent wineserver with its output in a file, warmed by one throw-away process:
# otherwise every test's wine leaves a server holding ctest's pipes open until it times out.
wineserver -p >"$WINEPREFIX.server.log" 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null

ctest --test-dir build-win32 --output-on-failure
ctest --test-dir build-win64 --output-on-failure -j "$jobs"

# The zips, Tarvik-<version>-win64.zip and -win32.zip, in the two build folders.
(cd build-win64 && cpack -G ZIP >/dev/null && ls Tarvik-*-win64.zip)
(cd build-win32 && cpack -G ZIP >/dev/null && ls Tarvik-*-win32.zip)
