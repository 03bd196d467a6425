#!/usr/bin/env bash
# Runs one fuzz target for a bounded time (TARVIK_FUZZ_SECONDS, 8 unless set): new inputs go
# to a scratch folder, never into the seed corpus of the tree.
# Usage: run-fuzz.sh <binary> <seeds> <scratch> [max_len]   (max_len 0: libFuzzer's default;
# a longer one lets an input overflow a listing)
set -eu
binary=${1:?fuzz binary}
seeds=${2:?seed corpus}
work=${3:?scratch corpus}
max_len=${4:-0}
limits=(-timeout=5 -rss_limit_mb=1024)
if [ "$max_len" -gt 0 ]; then
  limits=(-timeout=10 -rss_limit_mb=2048 -max_len="$max_len")
fi
mkdir -p "$work"
exec "$binary" -max_total_time="${TARVIK_FUZZ_SECONDS:-8}" "${limits[@]}" \
  -print_final_stats=1 "$work" "$seeds"
