#!/usr/bin/env bash
# Runs a Windows program under Wine with the native simulator behind COM<port>: the
# simulator makes the pseudo-terminal, and $WINEPREFIX/dosdevices/com<port> links to it.
# Usage: run_with_modem.sh SIMULATOR PORT [SIMULATOR OPTION]... -- [--unplug-marker]
#        [--exit-code N] PROGRAM [ARGUMENT]...
# --unplug-marker appends a marker path to the program's arguments; when the program makes
# that file, the simulator is killed (the modem unplugged) and the file removed.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX names the Wine prefix}"
simulator=$1
port=$2
shift 2
options=()
while [ "$1" != -- ]; do
  options+=("$1")
  shift
done
shift
marker=""
expected=0
while :; do
  case $1 in
    --unplug-marker) marker=yes; shift ;;
    --exit-code) expected=$2; shift 2 ;;
    *) break ;;
  esac
done
program=("$@")

folder=$(mktemp -d)
source "$(dirname "$0")/background.sh"
link_modem "$folder" "$port" "$simulator" "${options[@]}"
sim=$helper_pid

if [ -n "$marker" ]; then
  unix_marker="$folder/unplug"
  program+=("Z:${unix_marker//\//\\}")
  (
    while [ ! -e "$unix_marker" ]; do sleep 0.05; done
    kill "$sim"
    rm -f "$unix_marker"
  ) &
fi

rc=0
wine "${program[@]}" || rc=$?
if [ "$rc" -ne "$expected" ]; then
  echo "exit code $rc, expected $expected"
  echo "--- simulator log"; cat "$folder/log"
  exit 1
fi
