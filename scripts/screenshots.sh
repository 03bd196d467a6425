#!/usr/bin/env bash
# Takes the README's pictures of Quorrel, English and Chinese, from the real programs: the
# Qt window, and Quorrel.exe under Wine on a virtual display. Each one starts on a simulated
# modem, sends the test text to the modem's own number and waits for the report and the
# message before the picture is taken.
# Usage: scripts/screenshots.sh [OUTPUT-FOLDER]   (default: docs)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs}
mkdir -p "$out"

bash scripts/deps.sh
build=${QUORREL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target quorrel-shot tarvik-modemsim Tarvik
bin="$build/bin"

own_number="+8613800138000"
shoot() {
  local locale=$1 file=$2 dir sim_pid
  dir=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-ports.XXXXXX")
  "$bin/tarvik-modemsim" --dir "$dir" --port 1 --own-number "$own_number" >"$dir/out" &
  sim_pid=$!
  for _ in $(seq 50); do [ -s "$dir/out" ] && break; sleep 0.1; done
  local status=0
  TARVIK_PORT_DIR=$dir QT_QPA_PLATFORM=offscreen LC_ALL=$locale LANG=$locale \
    "$bin/quorrel-shot" "$file" COM1 "${own_number#+86}" || status=$?
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  rm -rf "$dir"
  [ "$status" -eq 0 ] && echo "wrote $file"
  return "$status"
}
shoot en_US.UTF-8 "$out/quorrel-en.png"
shoot zh_CN.UTF-8 "$out/quorrel-zh.png"

# Quorrel.exe, cross-built, driven under Wine by the test driver, which takes the picture.
bash scripts/deps-windows.sh
win=${QUORREL_WIN_BUILD_DIR:-build-win64}
cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/x86_64-w64-mingw32.cmake" \
  -DTARVIK_WINE_TESTS=ON -DTARVIK_NATIVE_SIMULATOR="$PWD/$bin/tarvik-modemsim" >/dev/null
cmake --build "$win" --target QuorrelDriver
source scripts/wine-session.sh
trap wine_session_stop EXIT
wine_session_start
shoot_win() {
  local locale=$1 file=$2 bmp
  bmp=$(mktemp "${TMPDIR:-/tmp}/quorrel-XXXXXX.bmp")
  LANG=$locale LC_ALL=$locale bash tests/windows/run_with_modem.sh "$bin/tarvik-modemsim" 28 \
    --own-number "$own_number" -- "$win/bin/QuorrelDriver.exe" shot "Z:${bmp//\//\\}" COM28 \
    "${own_number#+86}"
  python3 scripts/bmp2png.py "$bmp" "$file"
  rm -f "$bmp"
  echo "wrote $file"
}
shoot_win en_US.UTF-8 "$out/quorrel-win-en.png"
shoot_win zh_CN.UTF-8 "$out/quorrel-win-zh.png"
