#!/usr/bin/env bash
# Takes the documentation's pictures of tarvikd's web console, English and Chinese: the
# browser test's own run (a simulated modem, a long message sent and delivered, texts
# received), with a headless Chromium in each language at its end: the overview, and the
# send form with a text typed and counted.
# Usage: scripts/console-screenshots.sh [OUTPUT-FOLDER]   (default: docs)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs}")
mkdir -p "$out"

bash scripts/deps.sh
build=${TARVIK_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target tarvikd tarvik tarvik-modemsim
/usr/bin/python3 tests/gateway/console_test.py "$PWD/$build/bin" "$out"
for name in console-en console-zh console-send-en console-send-zh; do
  [ -s "$out/$name.png" ] || { echo "no $out/$name.png" >&2; exit 1; }
  echo "wrote $out/$name.png"
done
