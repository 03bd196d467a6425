#!/usr/bin/env bash
# Builds the benchmarks in a folder of their own and runs them all, printing the tables of
# bench/RESULTS.md. Takes about 40 minutes, most of it the 1,000-message run.
# usage: bench/run.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -G Ninja -DTARVIK_BUILD_BENCH=ON -DTARVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" >/dev/null
b=$build/bench

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)," \
  "$(uname -sr); load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "## Dialogue against its floor"
"$b/tarvik-bench-dialogue" --runs 5
echo
echo "## CPU and memory"
echo "| Run | Seconds | CPU ms | CPU of one core | RSS before start kB | RSS at window start kB | RSS max kB | Max above no-service kB |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
for mode in baseline idle vanished; do "$b/tarvik-bench-resources" "$mode" 60; done
"$b/tarvik-bench-resources" traffic 1000
echo
echo "## Export latency"
"$b/tarvik-bench-exports" 30
echo
echo "## Codec"
"$b/tarvik-bench-codec" --benchmark_min_time=0.5
echo
echo "## Settle gap of quick replies"
"$b/tarvik-bench-settle" 20
echo
echo "## Peer"
"$root/bench/peer.sh" "$build" 20 "1 10 50 200" 1
