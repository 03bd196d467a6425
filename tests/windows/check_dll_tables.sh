#!/usr/bin/env bash
# Checks the export and import tables of a Tarvik.dll: exactly the ten functions under their
# plain names, and imports from Windows' own DLLs only (the runtime is linked in statically).
# Usage: check_dll_tables.sh OBJDUMP DLL
set -euo pipefail
objdump=$1
dll=$2

table=$("$objdump" -p "$dll")

expected="SMSCommand
SMSCounts
SMSGetLastError
SMSGetNextMessage
SMSReport
SMSSendMessage
SMSSendMessage2
SMSSetCountryCode
SMSStartService
SMSStopSerice"

# The name table follows "[Ordinal/Name Pointer] Table" up to the next blank line.
exports=$(printf '%s\n' "$table" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\([^[:space:]]*\)$/\1/p' | sort)
if [ "$exports" != "$expected" ]; then
  echo "FAIL: $dll exports"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$exports") || true
  exit 1
fi

# Windows' own DLLs; anything else (libstdc++-6.dll, libgcc_s_*.dll, libwinpthread-1.dll)
# would have to ship beside Tarvik.dll.
allowed='^(KERNEL32|USER32|ADVAPI32|msvcrt|ntdll|WS2_32|bcrypt)\.dll$'
imports=$(printf '%s\n' "$table" | sed -n 's/^[[:space:]]*DLL Name: //p')
if [ -z "$imports" ]; then
  echo "FAIL: $dll has no import table"
  exit 1
fi
status=0
while read -r name; do
  if ! [[ $name =~ $allowed ]]; then
    echo "FAIL: $dll imports $name"
    status=1
  fi
done <<<"$imports"
[ $status -eq 0 ] || exit 1
echo "$dll: exports the ten functions; imports $(echo $imports)"
