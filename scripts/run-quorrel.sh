#!/usr/bin/env bash
# Builds Quorrel and runs it against the simulated modem, or against a real one on the
# port given as the first argument.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
if [ ! -d testtool ] || [ -z "$(ls -A testtool 2>/dev/null)" ]; then
  echo "Quorrel, the test program, is not built yet; only the library and its tests are." >&2
  exit 1
fi
