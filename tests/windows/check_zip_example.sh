#!/usr/bin/env bash
# Makes the 64-bit zip, unpacks it into a fresh folder, builds the README's C example there
# with the cross compiler against what the zip holds alone, and runs it under Wine against
# the simulator on COM1.
# Usage: check_zip_example.sh BUILD_DIR COMPILER SIMULATOR RUN_WITH_MODEM
set -euo pipefail
build=$1
compiler=$2
simulator=$3
run_with_modem=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
zip=$(ls "$work"/out/Tarvik-*-win64.zip)
unzip -q "$zip" -d "$work/unpacked"
dir=$(ls -d "$work"/unpacked/Tarvik-*-win64)

for f in Tarvik.dll Quorrel.exe Tarvik.h Tarvik.def libTarvik.dll.a README.md examples/send_receive.c \
  examples/send_receive.py; do
  [ -e "$dir/$f" ] || { echo "FAIL: the zip has no $f"; exit 1; }
done

"$compiler" -Wall -Wextra -Werror -o "$dir/send_receive.exe" "$dir/examples/send_receive.c" \
  -I"$dir" -L"$dir" -lTarvik
output=$(bash "$run_with_modem" "$simulator" 1 -- "$dir/send_receive.exe")
echo "$output"
grep -q "^report 1: sent" <<<"$output"
grep -q "^from .*: Hello from Tarvik" <<<"$output"
