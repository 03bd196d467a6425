#!/usr/bin/env bash
# Runs a Windows test program under Wine with tarvik-ptyrelay beside it: the program's
# simulated modems ask the relay for their pseudo-terminals, linked as
# $WINEPREFIX/dosdevices/com<n>. Usage: run_with_relay.sh RELAY PROGRAM [ARGUMENT]...
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX names the Wine prefix}"
relay=$1
shift
folder=$(mktemp -d)
helper_pid=""
cleanup() {
  [ -n "$helper_pid" ] && kill "$helper_pid" 2>/dev/null && { wait "$helper_pid" 2>/dev/null || true; }
  rm -rf "$folder"
}
trap cleanup EXIT

source "$(dirname "$0")/background.sh"
start_helper "$folder/port" "$folder/log" "$relay" "$WINEPREFIX/dosdevices"
TARVIK_RELAY_PORT=$(cat "$folder/port")
export TARVIK_RELAY_PORT
rc=0
wine "$@" || rc=$?
[ "$rc" -eq 0 ] || { echo "--- relay log"; cat "$folder/log"; }
exit "$rc"
