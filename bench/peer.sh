#!/usr/bin/env bash
# Tarvik beside a peer, Debian's gammu, on the same simulated modem (generic mode, the same
# reply latency): identify, send N texts, read and delete N messages, for each N given.
# Tarvik runs twice: with quick replies (TARVIK_QUICK_REPLIES=1) and with its default
# pacing. Prints a Markdown table of wall-clock times (each a whole command, process start
# included), ratios, and for quick replies the time per modem exchange (the commands the
# simulator received).
# usage: bench/peer.sh BUILD_DIR [LATENCY_MS] [COUNTS] [RUNS]     COUNTS like "1 10 50 200"
# PACED=0 leaves out the paced runs (their columns read -), which take the longest.
set -euo pipefail
build=${1:?build folder}
latency=${2:-20}
counts=${3:-10}
runs=${4:-3}
bin=$build/bin
peer=$build/bench/tarvik-bench-peer

if ! command -v gammu >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends gammu >/dev/null
fi

work=$(mktemp -d)
trap 'kill "${sim:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
export TARVIK_PORT_DIR=$work
port=5
printf '[gammu]\ndevice = %s/COM%d\nconnection = at115200\n' "$work" "$port" >"$work/gammurc"

# A fresh simulator for each command, holding `stored` waiting messages and logging what it
# receives.
stored=0
start_sim() {
  local args=(--dir "$work" --port "$port" --model MU609 --generic --latency "$latency"
    --log "$work/wire")
  for i in $(seq 1 "$stored"); do args+=(--message "10086:Peer message $i"); done
  : >"$work/wire"
  rm -f "$work/sim.out"  # else the last run's file reads as this one ready
  "$bin/tarvik-modemsim" "${args[@]}" >"$work/sim.out" &
  sim=$!
  while [ ! -s "$work/sim.out" ]; do sleep 0.05; done
}
stop_sim() { kill "$sim"; wait "$sim" 2>/dev/null || true; sim=""; }

# Seconds taken by a command run against a fresh simulator, and the commands it wrote.
timed() {
  start_sim
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || echo "failed: $*" >&2
  t1=$(date +%s.%N)
  stop_sim
  echo "$(echo "$t1 - $t0" | bc -l) $(grep -ao 'AT' "$work/wire" | wc -l)"
}

median() { sort -g | awk '{a[NR]=$0} END {print a[int((NR+1)/2)]}'; }

row() {
  local what=$1 g q p
  shift 1
  local -a gcmd tcmd
  IFS='|' read -r -a gcmd <<<"$1"
  IFS='|' read -r -a tcmd <<<"$2"
  g=$(for _ in $(seq 1 "$runs"); do timed "${gcmd[@]}"; done | median)
  q=$(for _ in $(seq 1 "$runs"); do TARVIK_QUICK_REPLIES=1 timed "${tcmd[@]}"; done | median)
  p="0 0"
  if [ "${PACED:-1}" != 0 ]; then
    p=$(for _ in $(seq 1 "$runs"); do TARVIK_QUICK_REPLIES=0 timed "${tcmd[@]}"; done | median)
  fi
  local gs=${g% *} qs=${q% *} ps=${p% *} qx=${q#* } pcol="-" pratio="-"
  if [ "${PACED:-1}" != 0 ]; then
    pcol=$(printf '%.0f' "$(echo "$ps*1000" | bc -l)")
    pratio=$(printf '%.2f' "$(echo "$qs/$ps" | bc -l)")
  fi
  printf '| %s | %.0f | %.0f | %s | %.2f | %s | %d | %.0f |\n' "$what" \
    "$(echo "$gs*1000" | bc -l)" "$(echo "$qs*1000" | bc -l)" "$pcol" \
    "$(echo "$qs/$gs" | bc -l)" "$pratio" "$qx" \
    "$(echo "$qs*1000/($qx+($qx==0))" | bc -l)"
}

gammu_cmd="gammu|-c|$work/gammurc"
echo "Simulator latency $latency ms, generic mode; median of $runs runs."
echo
echo "| Work | gammu (ms) | Tarvik quick (ms) | Tarvik paced (ms) | quick / gammu | quick / paced | quick: commands | quick: ms per command |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
stored=0
row "identify (Tarvik: start and stop)" "$gammu_cmd|identify" "$peer|$port|identify"
for n in $counts; do
  # gammu keeps one connection for the N texts in its batch mode.
  : >"$work/batch-$n"
  for _ in $(seq 1 "$n"); do echo "sendsms TEXT 13912345678 -text PeerText" >>"$work/batch-$n"; done
  stored=0
  row "send $n (to every report)" "$gammu_cmd|batch|$work/batch-$n" "$peer|$port|send|$n"
  stored=$n
  row "read and delete $n" \
    "bash|-c|gammu -c $work/gammurc getallsms && gammu -c $work/gammurc deleteallsms 1" \
    "$peer|$port|read|$n"
done
