# Sourced by the scripts that run a Windows program beside a native helper.
# start_helper OUTPUT LOG COMMAND...: starts COMMAND with its output in OUTPUT and LOG, sets
# helper_pid, and waits until it has written OUTPUT (10 s at most).
start_helper() {
  local output=$1 log=$2
  shift 2
  rm -f "$output"  # an earlier helper's output must not pass for this one's
  "$@" >"$output" 2>"$log" &
  helper_pid=$!
  for _ in $(seq 100); do
    [ -s "$output" ] && return 0
    kill -0 "$helper_pid" 2>/dev/null || { cat "$log"; exit 1; }
    sleep 0.1
  done
  echo "$1 wrote nothing in 10 s"; cat "$log"; exit 1
}

# link_modem FOLDER PORT SIMULATOR [OPTION]...: the simulator in FOLDER, its pseudo-terminal
# linked as $WINEPREFIX/dosdevices/com<PORT>; sets helper_pid and arranges that the exit
# takes the simulator, the link and FOLDER down.
link_modem() {
  modem_folder=$1 modem_link="$WINEPREFIX/dosdevices/com$2"
  local simulator=$3 port=$2
  shift 3
  trap unlink_modem EXIT
  start_helper "$modem_folder/link" "$modem_folder/log" "$simulator" --dir "$modem_folder" \
    --port "$port" "$@"
  local pty
  pty=$(readlink -f "$modem_folder/COM$port")
  [ -c "$pty" ] || { echo "no pseudo-terminal behind $modem_folder/COM$port"; exit 1; }
  ln -sfn "$pty" "$modem_link"
}
unlink_modem() {
  [ -n "${helper_pid:-}" ] && kill "$helper_pid" 2>/dev/null && { wait "$helper_pid" 2>/dev/null || true; }
  rm -f "$modem_link"
  rm -rf "$modem_folder"
}
