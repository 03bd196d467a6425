#!/usr/bin/env bash
# tarvik.exe under Wine on a Chinese system (code page 936) against the native simulator:
# a Chinese text goes out as GBK through the DLL, comes back from the modem's own number,
# and `receive --format json` prints it in UTF-8, as JSON is on every system; a text with a character GBK lacks is refused, not sent with a
# look-alike; a bad number and a missing port give their exit codes.
# Usage: check_cli.sh SIMULATOR TARVIK_EXE PORT
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX names the Wine prefix}"
simulator=$1
program=$2
port=$3
folder=$(mktemp -d)
fail() { echo "FAIL: $*"; for f in out err; do echo "--- $f"; cat "$folder/$f" 2>/dev/null; done; exit 1; }
run() {
  rc=0
  timeout -s KILL 120 wine "$program" "$@" > "$folder/out" 2> "$folder/err" || rc=$?
}

source "$(dirname "$0")/background.sh"
link_modem "$folder" "$port" "$simulator" --model MU609 --own-number +8613800138000

# Wine hands the program its arguments in the code page: UTF-8 here becomes GBK there.
run send --port "$port" +8613800138000 "你好，Wine"
[ "$rc" = 0 ] || fail "send: exit code $rc"
[ "$(tr -d '\r' < "$folder/out")" = "part 1 accepted" ] || fail "send printed"
run receive --port "$port" --idle 2 --format json
[ "$rc" = 0 ] || fail "receive: exit code $rc"
grep -qF '"text":"你好，Wine"' "$folder/out" || fail "receive printed"
# GBK has ü but not Ü, which Windows' own conversion of the command line turns into ü.
run send --port "$port" +8613800138000 "Über"
[ "$rc" = 2 ] || fail "a character GBK lacks: exit code $rc"
grep -qF "argument 5 holds a character that code page 936 does not have" "$folder/err" ||
  fail "a character GBK lacks: message"
run send --port "$port" 12a x
[ "$rc" = 2 ] || fail "a bad number: exit code $rc"
run send --port 99 13800138000 x
[ "$rc" = 3 ] || fail "a missing port: exit code $rc"
grep -qF "cannot open port 99" "$folder/err" || fail "a missing port: message"
echo "tarvik.exe: PASS"
