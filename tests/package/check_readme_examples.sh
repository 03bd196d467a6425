#!/usr/bin/env bash
# The README quotes its examples: each "<!-- example: PATH -->" line is followed by a fenced
# block that must be the file PATH, byte for byte, so that the tested code is the code shown.
# Usage: check_readme_examples.sh SOURCE_DIR
set -euo pipefail
cd "$1"
status=0
quoted=0
while IFS= read -r path; do
  quoted=$((quoted + 1))
  block=$(awk -v marker="<!-- example: $path -->" '
    $0 == marker { found = 1; next }
    found == 1 && /^```/ { found = 2; next }
    found == 2 && /^```$/ { exit }
    found == 2 { print }' README.md)
  if [ "$block" != "$(cat "$path")" ]; then
    echo "README.md does not quote $path as it stands:" >&2
    diff <(printf '%s\n' "$block") "$path" >&2 || true
    status=1
  fi
done < <(sed -n 's/^<!-- example: \(.*\) -->$/\1/p' README.md)
[ "$quoted" -ge 2 ] || { echo "README.md quotes $quoted examples, expected the C and the Python one" >&2; exit 1; }
exit $status
