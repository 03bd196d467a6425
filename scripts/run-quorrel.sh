#!/usr/bin/env bash
# Builds Quorrel and opens it on a simulated modem, or on a real one.
#
# Usage: scripts/run-quorrel.sh [--modem PORT] [--model NAME]
#   (no option)    start tarvik-modemsim as COM1 in a fresh TARVIK_PORT_DIR, answering as
#                  a common model, with loopback: a message sent to its own number comes
#                  back as a received message. The window opens on COM1 with that number.
#   --modem PORT   no simulator; the window opens on PORT of a real modem (COM<n>, such as
#                  COM35 for /dev/ttyUSB2; see "Ports" in the README).
#   --model NAME   the model the simulator answers as (default MU609).
# The build goes to build/ (QUORREL_BUILD_DIR to change it).
set -euo pipefail
cd "$(dirname "$0")/.."

modem=""
model="MU609"
own_number="+8613800138000"
while [ $# -gt 0 ]; do
  case "$1" in
    --modem) modem=${2:?--modem needs a port such as COM35}; shift 2 ;;
    --model) model=${2:?--model needs a name}; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-quorrel.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
done

bash scripts/deps.sh
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run-quorrel.sh: there is no display to open the window on." >&2
  echo "Run it under a virtual display instead:  xvfb-run -a bash scripts/run-quorrel.sh" >&2
  echo "(xvfb-run comes with the package xvfb, which scripts/deps.sh installs.)" >&2
  exit 1
fi

build=${QUORREL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target Quorrel tarvik-modemsim Tarvik
bin="$build/bin"

if [ -n "$modem" ]; then
  exec "$bin/Quorrel" --port "$modem"
fi

TARVIK_PORT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-ports.XXXXXX")
export TARVIK_PORT_DIR
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$TARVIK_PORT_DIR"
}
trap cleanup EXIT
"$bin/tarvik-modemsim" --dir "$TARVIK_PORT_DIR" --port 1 --model "$model" \
  --own-number "$own_number" >"$TARVIK_PORT_DIR/modemsim.out" &
sim_pid=$!
# The simulator names its link once it answers.
for _ in $(seq 50); do
  [ -s "$TARVIK_PORT_DIR/modemsim.out" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "run-quorrel.sh: the simulator did not start" >&2; exit 1; }
  sleep 0.1
done
echo "Simulated $model on COM1 ($(cat "$TARVIK_PORT_DIR/modemsim.out")), own number $own_number."
echo "Press Start, then Send: the report shows in the log, the message in the receive box."
# The area-code box adds 86 in front of the national number.
"$bin/Quorrel" --port COM1 --number "${own_number#+86}"
