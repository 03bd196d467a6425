#!/usr/bin/env bash
# Takes the README's pictures of Quorrel, English and Chinese, from the real program: each
# one starts on a simulated modem, sends the test text to the modem's own number and waits
# for the report and the message before the picture is taken.
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
