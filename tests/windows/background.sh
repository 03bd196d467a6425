# Sourced by the scripts that run a Windows program beside a native helper.
# start_helper OUTPUT LOG COMMAND...: starts COMMAND with its output in OUTPUT and LOG, sets
# helper_pid, and waits until it has written OUTPUT (10 s at most).
start_helper() {
  local output=$1 log=$2
  shift 2
  "$@" >"$output" 2>"$log" &
  helper_pid=$!
  for _ in $(seq 100); do
    [ -s "$output" ] && return 0
    kill -0 "$helper_pid" 2>/dev/null || { cat "$log"; exit 1; }
    sleep 0.1
  done
  echo "$1 wrote nothing in 10 s"; cat "$log"; exit 1
}
