#!/usr/bin/env bash
# Runs one engine fuzz target for a bounded time: new inputs go to a scratch folder, never
# into the seed corpus of the tree. Inputs may be long enough to overflow a listing.
set -eu
binary=${1:?fuzz binary}
seeds=${2:?seed corpus}
work=${3:?scratch corpus}
mkdir -p "$work"
exec "$binary" -max_total_time="${TARVIK_FUZZ_SECONDS:-8}" -timeout=10 -rss_limit_mb=2048 \
  -max_len=16384 -print_final_stats=1 "$work" "$seeds"
