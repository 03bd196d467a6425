#!/usr/bin/env bash
# The build keeps the areas' includes one-way (each sees only the include folders of what it
# links); this catches the one way around it, a path that climbs out of the area.
set -u
root=${1:?library folder}
hits=$(grep -rnE '#include +"\.\./' "$root" 2>/dev/null)
if [ -n "$hits" ]; then
  echo "an area reaches past its include folders:"
  echo "$hits"
  exit 1
fi
