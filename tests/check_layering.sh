#!/usr/bin/env bash
# Fails when an area of the library includes a header of an area it must not depend on.
# codec and serial depend on nothing of ours, engine on serial and codec, service on all.
# The message record header is plain data shared by every area.
set -u
root=${1:?library folder}
status=0
check() {
  local area=$1; shift
  local forbidden
  for forbidden in "$@"; do
    hits=$(grep -rnE "#include +\"${forbidden}/" "$root/$area" 2>/dev/null |
           grep -v '"service/MsgRecord.h"')
    if [ -n "$hits" ]; then
      echo "$area must not include $forbidden:"
      echo "$hits"
      status=1
    fi
  done
}
check codec serial engine service platform
check serial codec engine service platform
check platform codec serial engine service
check engine service
exit $status
