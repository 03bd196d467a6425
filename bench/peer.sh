#!/usr/bin/env bash
# Tarvik beside a peer, Debian's gammu, on the same simulated modem (generic mode, the same
# reply latency): identify, send one text, read and delete N messages. Prints a Markdown
# table of wall-clock times (each a whole command, process start included) and ratios.
# usage: bench/peer.sh BUILD_DIR [LATENCY_MS] [N] [RUNS]
set -euo pipefail
build=${1:?build folder}
latency=${2:-20}
count=${3:-10}
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

# A fresh simulator for each command, holding N waiting messages.
start_sim() {
  local args=(--dir "$work" --port "$port" --model MU609 --generic --latency "$latency")
  for i in $(seq 1 "$count"); do args+=(--message "10086:Peer message $i"); done
  "$bin/tarvik-modemsim" "${args[@]}" >"$work/sim.out" &
  sim=$!
  while [ ! -s "$work/sim.out" ]; do sleep 0.05; done
}
stop_sim() { kill "$sim"; wait "$sim" 2>/dev/null || true; sim=""; }

# Seconds taken by a command run against a fresh simulator.
timed() {
  start_sim
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || echo "failed: $*" >&2
  t1=$(date +%s.%N)
  stop_sim
  echo "$t1 - $t0" | bc -l
}

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

row() {
  local what=$1 g t
  shift 1
  local -a gcmd tcmd
  IFS='|' read -r -a gcmd <<<"$1"
  IFS='|' read -r -a tcmd <<<"$2"
  g=$(for _ in $(seq 1 "$runs"); do timed "${gcmd[@]}"; done | median)
  t=$(for _ in $(seq 1 "$runs"); do timed "${tcmd[@]}"; done | median)
  printf '| %s | %.0f | %.0f | %.2f |\n' "$what" "$(echo "$g*1000" | bc -l)" \
    "$(echo "$t*1000" | bc -l)" "$(echo "$t/$g" | bc -l)"
}

gammu_cmd="gammu|-c|$work/gammurc"
echo "Simulator latency $latency ms, generic mode; median of $runs runs; $count stored messages."
echo
echo "| Work | gammu (ms) | Tarvik (ms) | Tarvik / gammu |"
echo "|---|---:|---:|---:|"
row "identify (Tarvik: start and stop)" "$gammu_cmd|identify" "$peer|$port|identify"
row "send one text (to its report)" "$gammu_cmd|sendsms|TEXT|13912345678|-text|Peer text" \
  "$peer|$port|send"
row "read and delete $count messages" \
  "bash|-c|gammu -c $work/gammurc getallsms && gammu -c $work/gammurc deleteallsms 1" \
  "$peer|$port|read|$count"
