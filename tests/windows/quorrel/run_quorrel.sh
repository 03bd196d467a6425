#!/usr/bin/env bash
# Runs the Quorrel driver under Wine; with --ports, first makes the registry's serial device
# map hold exactly these port names, in this order ("-" for an empty one).
# Usage: run_quorrel.sh [--ports "COM3 COM1 ..." --] PROGRAM [ARGUMENT]...
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX names the Wine prefix}"
key='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
if [ "${1:-}" = --ports ]; then
  ports=$2
  shift 3
  # The key is volatile and made by Wine at its start; only its values can go.
  wine reg delete "$key" /va /f >/dev/null 2>&1 || true
  n=0
  for port in $ports; do
    [ "$port" = - ] && port=""
    wine reg add "$key" /v "\\Device\\QuorrelTest$n" /t REG_SZ /d "$port" /f >/dev/null
    n=$((n + 1))
  done
fi
exec wine "$@"
