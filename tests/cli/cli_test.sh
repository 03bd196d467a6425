#!/usr/bin/env bash
# One case of the command line, run from the shell against the simulated modem as a user
# runs it: what tarvik prints, its exit code, and what the modem received.
# Usage: cli_test.sh CASE BIN_DIR
set -uo pipefail
case_name=$1
bin=$2
work=$(mktemp -d)
export TARVIK_PORT_DIR=$work
# The references of concatenated messages stay with the case.
export XDG_STATE_HOME=$work/state
unset TARVIK_CONCAT_REFERENCES
modem_pid=
pid=
holder=
cleanup() {
  if [ -n "$pid" ]; then kill -9 "$pid" 2>/dev/null; fi
  if [ -n "$holder" ]; then kill "$holder" 2>/dev/null; fi
  if [ -n "$modem_pid" ]; then kill "$modem_pid" 2>/dev/null; wait "$modem_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL ($case_name): $*"
  for f in out err wire; do
    [ -f "$work/$f" ] && { echo "--- $f"; head -c 3000 "$work/$f"; echo; }
  done
  exit 1
}

# The simulated modem on COM3, logging what it receives to $work/wire.
start_modem() {
  # The last simulator's output must not pass for this one's before it truncates the file.
  rm -f "$work/modem.out"
  "$bin/tarvik-modemsim" --dir "$work" --port 3 --log "$work/wire" "$@" \
    > "$work/modem.out" 2> "$work/modem.err" &
  modem_pid=$!
  for _ in $(seq 1 200); do
    [ -s "$work/modem.out" ] && return 0
    kill -0 "$modem_pid" 2>/dev/null || fail "the simulator did not start: $(cat "$work/modem.err")"
    sleep 0.05
  done
  fail "the simulator did not link its port"
}

# Runs tarvik; its output lands in $work/out and $work/err, its exit code in $rc. No run
# may take longer than the limit: a hang is a failure, not a stuck suite.
run() {
  timeout -s KILL 150 "$bin/tarvik" "$@" > "$work/out" 2> "$work/err"
  rc=$?
}
run_input() {
  local input=$1; shift
  printf '%s' "$input" | timeout -s KILL 150 "$bin/tarvik" "$@" > "$work/out" 2> "$work/err"
  rc=$?
}
# Waits for tarvik ($pid) to end by itself, for a minute at most: a hang is a failure.
await_exit() {
  for _ in $(seq 1 1200); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid"; return; }
    sleep 0.05
  done
  fail "tarvik did not stop"
}
# A FIFO for serve's requests, kept open between writers by $holder; its own output goes
# nowhere, so that a failing case does not leave the test's output open behind it.
open_requests() {
  mkfifo "$work/requests"
  sleep 300 > "$work/requests" 2> /dev/null < /dev/null &
  holder=$!
}
# Another program locks COM<N> and keeps it, as $holder.
lock_port() {
  flock "$work/COM$1" sleep 300 > /dev/null 2>&1 < /dev/null &
  holder=$!
  for _ in $(seq 1 600); do
    ls -l "/proc/$holder/fd" 2>/dev/null | grep -q pts && break
    sleep 0.05
  done
}
expect_rc() { [ "$rc" = "$1" ] || fail "exit code $rc, expected $1"; }
expect_out() { [ "$(cat "$work/out")" = "$1" ] || fail "printed '$(cat "$work/out")', expected '$1'"; }
expect_in() { grep -qF -- "$2" "$work/$1" || fail "$1 lacks '$2'"; }
# How often the modem has received `text` so far.
wire_count() { grep -aoF -- "$1" "$work/wire" 2>/dev/null | wc -l; }
# The texts `receive` printed (its text format: time, number, text).
texts() { cut -f3- "$work/out"; }

case $case_name in
send_loopback)
  start_modem
  run send --port 3 +8613800138000 hello from the shell
  expect_rc 0
  expect_out "part 1 accepted"
  [ "$(wire_count 'AT+CMGS=')" = 1 ] || fail "the modem got $(wire_count 'AT+CMGS=') submissions"
  # The modem's own number: the message comes back, and receive prints it once.
  run receive --port 3 --idle 2
  expect_rc 0
  [ "$(texts)" = "hello from the shell" ] || fail "received '$(texts)'"
  expect_in out $'\t+8613800138000\t'
  # The library's own pacing instead of quick replies: the same dialogue, only slower.
  run send --paced --port 3 13912345678 at the pace of the line
  expect_rc 0
  expect_out "part 1 accepted"
  [ "$(wire_count 'AT+CMGS=')" = 2 ] || fail "the modem got $(wire_count 'AT+CMGS=') submissions"
  ;;

send_long_from_input)
  start_modem
  text=$(printf '好%.0s' $(seq 1 150))" and the end"
  run_input "$text"$'\n' send --port 3 +8613800138000
  expect_rc 0
  expect_in out "queued 3 parts, one concatenated message"
  parts=$(grep -c accepted "$work/out")
  [ "$parts" = 3 ] || fail "$parts parts for 162 characters"
  [ "$(wire_count 'AT+CMGS=')" = "$parts" ] || fail "$parts reports, $(wire_count 'AT+CMGS=') submissions"
  for k in $(seq 1 "$parts"); do expect_in out "part $k accepted"; done
  # The parts come back in order, and together they are the text without its line end.
  run receive --port 3 --idle 2
  [ "$(texts | tr -d '\n')" = "$text" ] || fail "received '$(texts)'"
  ;;

send_concatenated)
  start_modem
  text=$(printf 'abcdefghij%.0s' $(seq 1 40))
  run send --port 3 +8613800138000 "$text"
  expect_rc 0
  expect_in out "queued 3 parts, one concatenated message"
  # What the modem received: three units, each with the element 00 03 of one reference and
  # its own part number.
  headers=$(grep -aoE 'AT\+CMGS=[0-9]+.[0-9A-F]+' "$work/wire" | cut -d$'\r' -f2 | python3 -c '
import sys
for unit in sys.stdin.read().split():
    b = bytes.fromhex(unit)
    at = 1 + b[0]
    first = b[at]
    at += 3 + (b[at + 2] + 1) // 2 + 1
    at += 3 + 1  # identifier, coding, validity, user data length
    print(first & 0x40, b[at:at + 6].hex().upper())
')
  [ "$(echo "$headers" | wc -l)" = 3 ] || fail "units: $headers"
  ref=$(echo "$headers" | head -1 | cut -c 10-11)
  [ "$headers" = "64 050003${ref}0301
64 050003${ref}0302
64 050003${ref}0303" ] || fail "headers: $headers"
  # Independent parts on request; over the limit nothing reaches the modem.
  run send --port 3 --separate 13912345678 "$text"
  expect_rc 0
  expect_in out "queued 3 parts, independent messages"
  [ "$(wire_count 'AT+CMGS=')" = 6 ] || fail "the modem got $(wire_count 'AT+CMGS=') submissions"
  run send --port 3 --max-parts 2 13912345678 "$text"
  expect_rc 2
  expect_in err "the text needs 3 parts, over the limit of 2 (max_parts)"
  [ "$(wire_count 'AT+CMGS=')" = 6 ] || fail "a refused text reached the modem"
  ;;

send_refused)
  start_modem --refuse-sends
  run send --port 3 --prefix 1 2025550100 refused
  expect_rc 1
  expect_out "part 1 refused: +CMS ERROR: 500"
  ;;

send_bad_input)
  run send --port 4 13800138000 nobody there
  expect_rc 3
  expect_in err "cannot open port 4: it does not exist"
  start_modem --fail AT+CNMI
  run send --port 3 13800138000 set-up fails
  expect_rc 3
  expect_in err "the modem on port 3 did not start: CNMI ERROR"
  run send --port 3 13800138000 ""
  expect_rc 2
  expect_in err "the text is empty"
  run_input $'\n' send --port 3 13800138000
  expect_rc 2
  expect_in err "the text is empty"
  run_input $'caf\xe9' send --port 3 13800138000
  expect_rc 2
  expect_in err "the text is not valid UTF-8"
  run send --port 3 138-0013-8000 hi
  expect_rc 2
  expect_in err "'138-0013-8000' is not a number"
  run send --port 3 --no-prefix 123456789012345678901234567890 hi
  expect_rc 2
  expect_in err "is too long"
  [ "$(wire_count 'AT+CMGS')" = 0 ] || fail "a refused input reached the modem"
  ;;

send_gives_up)
  # The network takes a minute to confirm: --timeout ends the wait, and the stop does not
  # wait for the network either.
  start_modem --network-delay 60000
  started=$(date +%s)
  run send --port 3 --timeout 3 +8613800138000 slow network
  expect_rc 4
  expect_in err "no report within --timeout 3 s after 0 part(s)"
  [ $(( $(date +%s) - started )) -lt 40 ] || fail "gave up only after $(( $(date +%s) - started )) s"
  ;;

receive_formats)
  start_modem --message '+8613911112222:你好 "world"' --message $'10086:line1\nline2 back\\slash'
  run receive --port 3 --format json --idle 2
  expect_rc 0
  python3 - "$work/out" <<'PY' || fail "JSON lines"
import json, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
got = [json.loads(l) for l in lines]
assert [m["text"] for m in got] == ['你好 "world"', "line1\nline2 back\\slash"], got
assert [m["number"] for m in got] == ["+8613911112222", "10086"], got
assert all(len(m["time"]) == 19 and m["time"].startswith("20") for m in got), got
PY
  # Kept, handed over and deleted: a second run finds nothing.
  run receive --port 3 --idle 1
  expect_rc 0
  expect_out ""
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null
  start_modem --message $'10086:好\tb\nc'
  run receive --port 3 --idle 1
  [ "$(texts)" = '好\tb\nc' ] || fail "text format gave '$(texts)'"
  ;;

receive_follow_interrupted)
  # A SIM that lists slowly: the interrupt comes while the library is still handing
  # messages over. Every message is printed, or is still on the modem for the next run.
  args=()
  for k in $(seq -w 1 40); do args+=(--message "10086:message $k"); done
  start_modem --slow-listing 30 "${args[@]}"
  timeout -s KILL 150 "$bin/tarvik" receive --port 3 --follow > "$work/first" 2> "$work/err" &
  pid=$!
  for _ in $(seq 1 600); do [ -s "$work/first" ] && break; sleep 0.05; done
  [ -s "$work/first" ] || fail "nothing printed within 30 s"
  kill -INT "$pid"
  await_exit
  rc=$?
  expect_rc 0
  run receive --port 3 --idle 2
  expect_rc 0
  cat "$work/first" >> "$work/out"
  for k in $(seq -w 1 40); do
    [ "$(texts | grep -cx "message $k")" -ge 1 ] || fail "message $k was lost"
  done
  ;;

serve)
  start_modem --message '10086:waiting before the start'
  mkfifo "$work/requests"
  timeout -s KILL 150 "$bin/tarvik" serve --port 3 --cancel-pending < "$work/requests" \
    > "$work/out" 2> "$work/err" &
  pid=$!
  exec 3> "$work/requests"
  long=$(printf 'x%.0s' $(seq 1 200))
  {
    echo '{"op":"send","id":1,"number":"+8613800138000","text":"loop one"}'
    echo '{"op":"send","id":"two","number":"+8613800138000","text":"'"$long"'"}'
    echo '{"op":"send","id":3,"number":"13800000000","text":"\u4f60\u597d"}'
    echo 'not json'
    echo '{"op":"send","id":5,"number":"12a","text":"x"}'
    echo '{"op":"at","id":6,"command":"AT+CSQ"}'
    echo '{"op":"status","id":7}'
    echo '{"op":"send","id":8,"number":"1","text":"x","prefix":"+1"}'
  } >&3
  # Requests in flight while messages arrive: wait for the three sends and the three messages
  # coming back, then ask for the stop.
  for _ in $(seq 1 1200); do
    [ "$(grep -c '"event":"sent"' "$work/out")" = 3 ] &&
      [ "$(grep -c '"event":"message"' "$work/out")" -ge 3 ] && break
    sleep 0.05
  done
  echo '{"op":"stop"}' >&3
  exec 3>&-
  await_exit
  rc=$?
  expect_rc 0
  python3 - "$work/out" "$long" <<'PY' || fail "serve's events"
import json, sys
events = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8").read().splitlines()]
long = sys.argv[2]
kinds = [e["event"] for e in events]
assert kinds[0] == "ready" and kinds[1] == "modem" and kinds[-1] == "stopped", kinds
assert events[0]["version"] >= 1, events[0]
modem = [e for e in events if e["event"] == "modem"]
assert len(modem) == 2 and modem[1]["id"] == 7, modem
assert all(m["model"] == "MU609" and m["signal"] == "23,99" and m["rssi"] == 23 for m in modem)
assert all(m["registration"] == "home" and m["storage_total"] == 1000 for m in modem), modem
queued = {e["id"]: e["sequence"] for e in events if e["event"] == "queued"}
assert set(queued) == {1, "two", 3} and len(set(queued.values())) == 3, queued
sent = {e["id"]: e for e in events if e["event"] == "sent"}
assert set(sent) == {1, "two", 3}, sent
assert sent["two"]["parts"] == 2 and sent["two"]["concatenated"], sent
assert not sent[1]["concatenated"] and not sent[3]["concatenated"], sent
assert [e["parts"] for e in events if e["event"] == "queued"] == [1, 2, 1], events
for ident, e in sent.items():
    reports = [r for r in events if r["event"] == "report" and r.get("id") == ident]
    assert [r["part"] for r in reports] == list(range(1, e["parts"] + 1)), reports
    assert all(r["result"] == "accepted" and r["sequence"] == queued[ident] for r in reports)
    assert e["accepted"] == e["parts"], e
errors = [e for e in events if e["event"] == "error"]
assert any("one JSON object" in e["error"] and "id" not in e for e in errors), errors
assert any(e.get("id") == 5 and "is not a number" in e["error"] for e in errors), errors
assert all(e["code"] == "invalid_request" for e in errors), errors
assert any(e.get("id") == 8 and "takes digits" in e["error"] for e in errors), errors
replies = [e for e in events if e["event"] == "reply"]
assert len(replies) == 1 and replies[0]["id"] == 6 and "+CSQ: 23,99" in replies[0]["reply"]
texts = [e["text"] for e in events if e["event"] == "message"]
assert "waiting before the start" in texts and "loop one" in texts, texts
assert "".join(t for t in texts if t.startswith("x")) == long, texts
PY
  grep -qaF '"你好"' "$work/out" && fail "the message to another number came back"
  # --cancel-pending: ESC reached the modem before the service's first command.
  [ "$(head -c 1 "$work/wire" | od -An -tx1 | tr -d ' ')" = 1b ] || fail "no ESC before the start"
  [ "$(wire_count 'AT+CMGS=')" -ge 4 ] || fail "$(wire_count 'AT+CMGS=') submissions"
  ;;

serve_status_reports)
  # A part that asks for a delivery report gets it as a status_report event, whichever way
  # the model routes reports: at once (+CDS), in report memory (+CDSI "SR") or among the
  # messages (listed); a report the modem kept is deleted there. A part that does not ask
  # gets none, and the indication asks for reports only once a part wants one.
  for model in MU609 SIM7600CE MG3732; do
    : > "$work/wire"
    rm -f "$work/control"
    start_modem --model "$model" --report-delay 50 --report-status-part 2:70 \
      --control "$work/control"
    mkfifo "$work/requests"
    timeout -s KILL 150 "$bin/tarvik" serve --port 3 < "$work/requests" \
      > "$work/out" 2> "$work/err" &
    pid=$!
    exec 3> "$work/requests"
    long=$(printf 'r%.0s' $(seq 1 200))
    {
      echo '{"op":"send","id":1,"number":"+447700900123","text":"no report"}'
      echo '{"op":"send","id":2,"number":"+447700900123","text":"one","status_report":true}'
      echo '{"op":"send","id":3,"number":"+447700900124","text":"'"$long"'","status_report":true}'
    } >&3
    reports_seen() {  # waits for $1 status_report events
      for _ in $(seq 1 1200); do
        [ "$(grep -c '"event":"status_report"' "$work/out")" -ge "$1" ] && return
        sleep 0.05
      done
    }
    reports_seen 3
    if [ "$model" = MU609 ]; then
      # The modem drops its report routing without a word: the next status poll finds it
      # out and routes reports again, and the next report still comes.
      echo drop-indication > "$work/control"
      echo '{"op":"status","id":"poll"}' >&3
      for _ in $(seq 1 600); do
        [ "$(wire_count 'AT+CNMI=1,0,0,1,1')" -ge 2 ] && break
        sleep 0.05
      done
      [ "$(wire_count 'AT+CNMI?')" -ge 1 ] || fail "the poll did not read the routing back"
      [ "$(wire_count 'AT+CNMI=1,0,0,1,1')" -ge 2 ] || fail "the dropped routing was not set again"
      echo '{"op":"send","id":4,"number":"+447700900125","text":"again","status_report":true}' >&3
      reports_seen 4
      grep -q '"status_report".*"+447700900125"' "$work/out" || fail "no report after the drop"
    fi
    echo '{"op":"stop"}' >&3
    exec 3>&-
    await_exit
    rc=$?
    expect_rc 0
    rm -f "$work/requests"
    python3 - "$work/out" <<'PY' || fail "$model: status_report events"
import json, sys
events = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8").read().splitlines()]
refs = {}
for e in events:
    if e["event"] == "report":
        refs[(e["id"], e["part"])] = e["reference"]
queued = {e["id"]: e["status_report"] for e in events if e["event"] == "queued"}
assert queued[1] is False and queued[2] is True and queued[3] is True, queued
got = {e["reference"]: e for e in events
       if e["event"] == "status_report" and e["number"] != "+447700900125"}
assert set(got) == {refs[(2, 1)], refs[(3, 1)], refs[(3, 2)]}, (refs, got)
assert got[refs[(2, 1)]]["number"] == "+447700900123" and got[refs[(2, 1)]]["status"] == 0
assert got[refs[(3, 1)]]["status"] == 0 and got[refs[(3, 2)]]["status"] == 70, got
assert got[refs[(3, 2)]]["number"] == "+447700900124", got
assert all(e["sc_time"].startswith("20") and e["discharge_time"].startswith("20")
           for e in got.values()), got
PY
    # Reports turned on only after the first part, which asked for none.
    tr '\r' '\n' < "$work/wire" | awk -F'[=,]' '
      /^AT\+CMGS/ && !sent { sent = NR }
      /^AT\+CNMI=/ && $5 != 0 && !routed { routed = NR }
      END { exit !(sent && routed > sent) }' ||
      fail "$model: reports were turned on before a part asked for one"
    case $model in
      SIM7600CE)
        [ "$(wire_count 'AT+CNMI=1,0,0,2,1')" -ge 1 ] || fail "reports not routed to SR memory"
        [ "$(wire_count 'AT+CMGD=')" -ge 3 ] || fail "reports left in SR memory"
        run at --port 3 'AT+CPMS="SR"'
        run at --port 3 'AT+CMGR=1'
        expect_rc 1 ;;
      MG3732)
        [ "$(wire_count 'AT+CMGD=')" -ge 3 ] || fail "stored reports not deleted"
        run at --port 3 'AT+CPMS?'
        expect_in out '+CPMS: "SM",0,' ;;
      MU609)
        [ "$(wire_count 'AT+CNMI=1,0,0,1,1')" -ge 1 ] || fail "reports not routed at once" ;;
    esac
    kill "$modem_pid"; wait "$modem_pid" 2>/dev/null; modem_pid=
  done
  ;;

send_report)
  # --report: 0 when every part was delivered, 1 when one failed for good, 4 when the wait
  # ran out (a part still being tried is waited for).
  start_modem --model MU609 --report-delay 50
  run send --port 3 --report +447700900123 hello
  expect_rc 0
  expect_in out "part 1 delivered 20"
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null
  start_modem --model SIM7600CE --report-delay 50 --report-status-part 2:70
  run send --port 3 --report +447700900123 "$(printf 'z%.0s' $(seq 1 200))"
  expect_rc 1
  expect_in out "part 1 delivered"
  expect_in out "part 2 not delivered: status 0x46"
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null
  # A report that came to report memory after its sender left is found there by the next
  # serve that takes reports; it is journaled before the modem's copy goes, so it survives
  # kill -9 of serve and comes again, under its key, until it is acknowledged.
  start_modem --model SIM7600CE --report-delay 2500
  run send --port 3 --report --report-wait 1 +447700900127 late
  expect_rc 4
  for _ in $(seq 1 600); do
    grep -q 'report kept in SR memory' "$work/modem.err" && break
    sleep 0.05
  done
  export TARVIK_INBOX_JOURNAL=$work/journal
  open_requests
  serve_reports() {  # output file; waits for the kept report
    "$bin/tarvik" serve --port 3 --ack --ack-reports < "$work/requests" > "$work/$1" 2> "$work/err" &
    pid=$!
    for _ in $(seq 1 1200); do
      grep -q '"event":"status_report".*"+447700900127"' "$work/$1" && return 0
      sleep 0.05
    done
    fail "$1: the kept report was not given: $(cat "$work/$1")"
  }
  serve_reports served1
  kill -9 "$pid"; wait "$pid" 2>/dev/null
  serve_reports served2
  key=$(grep '"event":"status_report"' "$work/served2" | sed 's/.*"key":"\([0-9a-f]*\)".*/\1/')
  grep -qF "\"key\":\"$key\"" "$work/served1" || fail "the report's key changed: $key"
  echo '{"op":"ack","key":"'"$key"'"}' > "$work/requests"
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  "$bin/tarvik" serve --port 3 --ack --ack-reports < "$work/requests" > "$work/served3" 2> "$work/err" &
  pid=$!
  # A new report's coming shows that the journal's were given before it.
  echo '{"op":"send","id":1,"number":"+447700900128","text":"after","status_report":true}' \
    > "$work/requests"
  for _ in $(seq 1 1200); do
    grep -q '"event":"status_report".*"+447700900128"' "$work/served3" && break
    sleep 0.05
  done
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  grep -q '"event":"status_report".*"+447700900128"' "$work/served3" || fail "no new report"
  grep -q '"+447700900127"' "$work/served3" && fail "an acknowledged report came again"
  unset TARVIK_INBOX_JOURNAL
  kill "$holder" 2>/dev/null
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null
  start_modem --model MG3732 --report-delay 50 --report-status 32
  run send --port 3 --report --report-wait 2 +447700900123 hello
  expect_rc 4
  expect_in out "part 1 still being tried: status 0x20"
  expect_in err "without a delivery report within 2 s"
  # Without --report nothing turns reports on.
  : > "$work/wire"
  run send --port 3 +447700900123 "$(printf 'q%.0s' $(seq 1 200))"
  expect_rc 0
  [ "$(wire_count 'AT+CNMI=1,3,0,2,0')" = 0 ] || fail "reports routed without --report"
  ;;

serve_ack_journal)
  # A message that left the modem survives kill -9 of serve until it is acknowledged, and
  # is given no more once it is; a journal the disk refuses keeps messages on the modem.
  start_modem --message '10086:first one' --message '10010:second, ünï'
  export TARVIK_INBOX_JOURNAL=$work/journal
  open_requests
  serve_ack() {  # output file; waits for both messages
    # Not under timeout: the kill below is meant for tarvik itself.
    "$bin/tarvik" serve --port 3 --ack < "$work/requests" > "$work/$1" 2> "$work/err" &
    pid=$!
    for _ in $(seq 1 2400); do
      [ "$(grep -c '"event":"message"' "$work/$1")" -ge "$2" ] && return 0
      sleep 0.05
    done
    fail "$1: $2 messages did not come"
  }
  key_of() { grep -F "$2" "$work/$1" | head -1 | sed 's/.*"key":"\([0-9a-f]*\)".*/\1/'; }
  serve_ack out1 2
  # A message is handed over before its deletion goes out: both have left the modem first.
  for _ in $(seq 1 600); do
    [ "$(wire_count 'AT+CMGD=')" -ge 2 ] && break
    sleep 0.05
  done
  kill -9 "$pid"; wait "$pid" 2>/dev/null
  [ "$(wire_count 'AT+CMGD=')" -ge 2 ] || fail "the messages were not deleted from the modem"
  # A record torn by a crash spoils only itself.
  printf '\nM 0123' >> "$work/journal"
  serve_ack out2 2
  first=$(key_of out2 'first one'); second=$(key_of out2 'second')
  [ "$first" = "$(key_of out1 'first one')" ] || fail "the key changed across a restart"
  [ "$first" != "$second" ] || fail "two messages share a key"
  echo '{"op":"ack","key":"'"$first"'"}' > "$work/requests"
  echo '{"op":"ack","key":"'"$first"'"}' > "$work/requests"
  # Not acknowledged: given again after 10 s.
  for _ in $(seq 1 1200); do
    [ "$(grep -c 'second, ünï' "$work/out2")" -ge 2 ] && break
    sleep 0.05
  done
  [ "$(grep -c 'second, ünï' "$work/out2")" -ge 2 ] || fail "the unacknowledged message was not given again"
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  expect_in out2 '"event":"stopped","unacked":1'
  serve_ack out3 1
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  grep -qF 'first one' "$work/out3" && fail "an acknowledged message came again"
  expect_in out3 "\"key\":\"$second\""
  # A journal that cannot be written: the start fails and the modem keeps its messages.
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null; modem_pid=
  start_modem --message '10086:kept on the SIM'
  export TARVIK_INBOX_JOURNAL=$work/no-such-folder/journal
  run serve --port 3 --ack < /dev/null
  expect_rc 3
  expect_in out "INBOX JOURNAL FAILED"
  unset TARVIK_INBOX_JOURNAL
  run receive --port 3 --idle 2
  expect_in out "kept on the SIM"
  kill "$holder" 2>/dev/null
  ;;

at_and_identify)
  start_modem --model SIM800C
  run at --port 3 AT+CSQ
  expect_rc 0
  expect_out $'+CSQ: 23,99\nOK'
  run at --port 3 AT+NOSUCH
  expect_rc 1
  expect_out "ERROR"
  [ "$(wire_count 'AT+NOSUCH')" = 1 ] || fail "the modem did not get the command once"
  run identify --port 3
  expect_rc 0
  expect_out $'manufacturer: SIMULATED\nmodel: SIM800C\nrevision: Revision: SIM800C_V1.00\noperator: 46000\nsignal: 23 (-67 dBm)\nregistration: home\naccess: lte\nlevel: -67 dBm, quality 4 of 5\nimsi: 460001234567890\niccid: 89860012345678901234\nsim: ready\nstorage: 0 of 1000 used'
  # A modem searching for a network, in JSON: no operator, and the rest as it is.
  restart_modem() { kill "$modem_pid"; wait "$modem_pid" 2>/dev/null; modem_pid=; start_modem "$@"; }
  restart_modem --model SIM800C --registration searching
  run identify --port 3 --format json
  expect_rc 0
  python3 - "$work/out" <<'PY' || fail "identify's JSON"
import json, sys
got = json.loads(open(sys.argv[1]).read())
assert got["registration"] == "searching" and "access" not in got, got
assert got["model"] == "SIM800C" and got["dbm"] == -67 and got["quality"] == 4, got
assert got["sim"] == "ready" and got["storage_total"] == 1000, got
PY
  # A module the table does not name runs the generic profile and keeps its own name; one
  # that fails the standard queries says its name in the reason.
  restart_modem --model "generic:XYZ 4G"
  run identify --port 3
  expect_rc 0
  expect_in out "model: XYZ 4G"
  restart_modem --model "generic:XYZ 4G" --fail AT+CPMS=?
  run identify --port 3
  expect_rc 3
  expect_in err "Can not find the device type: XYZ 4G lists no message storage"
  ;;

sim_pin_and_held_port)
  # A SIM that asks for its PIN: the start says so, and --pin enters it once.
  printf 'model MU609\nsim-pin 1234\n' > "$work/pin.profile"
  start_modem --profile "$work/pin.profile"
  run identify --port 3
  expect_rc 3
  expect_in err "SIM PIN required"
  [ "$(wire_count 'AT+CPIN="')" = 0 ] || fail "a PIN was entered though none was given"
  run identify --port 3 --pin 1234
  expect_rc 0
  [ "$(wire_count 'AT+CPIN="1234"')" = 1 ] || fail "the PIN was not entered once"
  # A port another program has locked: the failure names that program.
  lock_port 3
  run identify --port 3
  expect_rc 3
  expect_in err "cannot open port 3: held by "
  expect_in err "flock (pid $holder)"
  ;;

serve_device_gone)
  # The device goes away under serve and comes back under the same link: serve says so in
  # a way of its own, and a message it had given but not seen acknowledged is given again
  # by the next serve on the same path.
  start_modem --control "$work/control" --message '10086:before the unplug'
  export TARVIK_INBOX_JOURNAL=$work/journal
  open_requests
  "$bin/tarvik" serve --device "$work/COM3" --ack < "$work/requests" > "$work/out" 2> "$work/err" &
  pid=$!
  for _ in $(seq 1 1200); do grep -qF 'before the unplug' "$work/out" && break; sleep 0.05; done
  expect_in out '"device":"'"$work/COM3"'"'
  expect_in out 'before the unplug'
  echo unplug > "$work/control"
  await_exit
  rc=$?
  expect_rc 5
  expect_in out '"code":"device_gone"'
  expect_in out '"event":"stopped","unacked":1'
  echo replug > "$work/control"
  for _ in $(seq 1 200); do [ -e "$work/COM3" ] && break; sleep 0.05; done
  "$bin/tarvik" serve --device "$work/COM3" --ack < "$work/requests" > "$work/out2" 2> "$work/err" &
  pid=$!
  for _ in $(seq 1 1200); do grep -qF 'before the unplug' "$work/out2" && break; sleep 0.05; done
  expect_in out2 'before the unplug'
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  rc=$?
  expect_rc 0
  expect_in out2 '"event":"modem"'
  ;;

receive_device_gone)
  # receive --follow on a device that goes away: what came is printed, then it ends with a
  # reason and exit code 5 rather than waiting on a device that is no more.
  start_modem --control "$work/control" --message '10086:before the unplug'
  timeout -s KILL 150 "$bin/tarvik" receive --device "$work/COM3" --follow > "$work/out" \
    2> "$work/err" &
  pid=$!
  for _ in $(seq 1 1200); do grep -qF 'before the unplug' "$work/out" && break; sleep 0.05; done
  expect_in out 'before the unplug'
  echo unplug > "$work/control"
  await_exit
  rc=$?
  expect_rc 5
  expect_in err "went away"
  ;;

serve_retry_parts)
  # The modem refuses the middle part of three; a retry with the message's reference sends
  # that part alone, and the phone (the own number's loopback) joins one whole message.
  start_modem --refuse-submission 2
  open_requests
  "$bin/tarvik" serve --port 3 < "$work/requests" > "$work/out" 2> "$work/err" &
  pid=$!
  text=$(printf 'a%.0s' $(seq 1 153))$(printf 'b%.0s' $(seq 1 153))$(printf 'c%.0s' $(seq 1 40))
  echo '{"op":"send","id":1,"number":"+8613800138000","text":"'"$text"'"}' > "$work/requests"
  wait_event() {  # pattern, count
    for _ in $(seq 1 1200); do
      [ "$(grep -c -- "$1" "$work/out")" -ge "$2" ] && return 0
      sleep 0.05
    done
    fail "no $2 of '$1'"
  }
  wait_event '"event":"sent"' 1
  reference=$(grep '"event":"queued"' "$work/out" | sed 's/.*"reference":\([0-9]*\).*/\1/')
  [ -n "$reference" ] || fail "queued carried no reference"
  echo '{"op":"send","id":2,"number":"+8613800138000","text":"'"$text"'","reference":'"$reference"',"only_parts":[2]}' \
    > "$work/requests"
  wait_event '"event":"message"' 1
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  python3 - "$work/out" "$text" "$reference" <<'PY' || fail "the retried message"
import json, sys
events = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
text, reference = sys.argv[2], int(sys.argv[3])
queued = [e for e in events if e["event"] == "queued"]
assert [(q["id"], q["parts"], q["reference"]) for q in queued] == [(1, 3, reference), (2, 1, reference)], queued
reports = [(e["id"], e["part"], e["result"], e.get("code")) for e in events if e["event"] == "report"]
assert reports == [(1, 1, "accepted", None), (1, 2, "refused", "refused"), (1, 3, "accepted", None),
                   (2, 2, "accepted", None)], reports
sent = [(e["id"], e["parts"], e["accepted"]) for e in events if e["event"] == "sent"]
assert sent == [(1, 3, 2), (2, 1, 1)], sent
messages = [e for e in events if e["event"] == "message"]
assert len(messages) == 1 and messages[0]["text"] == text, messages
assert messages[0]["parts"] == 3 and messages[0]["complete"], messages[0]
PY
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null; modem_pid=
  # Parts 1 and 3 went once: four submissions in all.
  [ "$(wire_count 'AT+CMGS=')" = 4 ] || fail "$(wire_count 'AT+CMGS=') submissions, not 4"
  ;;

serve_confirm_writes)
  # With confirmed writes no body goes before its `write`; a stop, or the end of input,
  # ends the waiting part unwritten, the modem's entry cancelled.
  start_modem
  open_requests
  "$bin/tarvik" serve --port 3 < "$work/requests" > "$work/out" 2> "$work/err" &
  pid=$!
  text=$(printf 'w%.0s' $(seq 1 200))
  echo '{"op":"send","id":"m1","number":"13800000000","text":"'"$text"'","confirm_writes":true}' \
    > "$work/requests"
  wait_line() {  # file, text
    for _ in $(seq 1 1200); do
      grep -qF -- "$2" "$work/$1" && return 0
      sleep 0.05
    done
    fail "$1: '$2' did not come"
  }
  wait_line out '"event":"writing","id":"m1","sequence":1,"part":1}'
  echo '{"op":"write","id":"m1","part":2}' > "$work/requests"
  wait_line out 'part 2 of that send does not wait to be written'
  echo '{"op":"write","id":"m1","part":1}' > "$work/requests"
  wait_line out '"event":"writing","id":"m1","sequence":1,"part":2}'
  # Status polls meanwhile wait for the line the part holds; the loop waits for neither,
  # so it still reads requests.
  echo '{"op":"status","id":"s1"}' > "$work/requests"
  echo '{"op":"status","id":"s2"}' > "$work/requests"
  # The waiting part holds the line: a command is refused, not left to block the loop.
  echo '{"op":"at","id":"c","command":"AT"}' > "$work/requests"
  wait_line out '"id":"c","error":"a part waits for its write'
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  expect_in out '"event":"report","id":"m1","sequence":1,"part":1,"result":"accepted"'
  expect_in out '"event":"report","id":"m1","sequence":1,"part":2,"result":"refused","error":"the service stopped before the part'"'"'s write came: it was not written","code":"not_written"'
  # Input that ends leaves no write to wait for: the part is refused at once.
  kill "$holder"; holder=
  printf '%s\n' '{"op":"send","id":7,"number":"13800000000","text":"short","confirm_writes":true}' |
    timeout -s KILL 150 "$bin/tarvik" serve --port 3 > "$work/out2" 2> "$work/err"
  expect_in out2 '"event":"writing","id":7,"sequence":1,"part":1}'
  expect_in out2 '"part":1,"result":"refused","error":"NOT WRITTEN'
  expect_in out2 '"code":"not_written"}'
  expect_in out2 '"event":"sent","id":7,"sequence":1,"parts":1,"accepted":0'
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null; modem_pid=
  # Three prompts, one body: each part left unwritten was ended by ESC.
  [ "$(wire_count 'AT+CMGS=')" = 3 ] || fail "$(wire_count 'AT+CMGS=') submissions, not 3"
  [ "$(grep -ac $'\x1a' "$work/wire")" = 1 ] || fail "not one body on the wire"
  [ "$(tr -cd '\033' < "$work/wire" | wc -c)" -ge 2 ] || fail "no ESC ended the unwritten parts"
  # A body let go may have gone, though the network had not answered when serve stopped.
  start_modem --network-delay 60000
  rm -f "$work/requests"
  open_requests
  "$bin/tarvik" serve --port 3 < "$work/requests" > "$work/out3" 2> "$work/err" &
  pid=$!
  echo '{"op":"send","id":9,"number":"13800000000","text":"slow","confirm_writes":true}' \
    > "$work/requests"
  wait_line out3 '"event":"writing","id":9,"sequence":1,"part":1}'
  echo '{"op":"write","id":9,"part":1}' > "$work/requests"
  for _ in $(seq 1 600); do
    [ "$(grep -ac $'\x1a' "$work/wire")" = 2 ] && break
    sleep 0.05
  done
  [ "$(grep -ac $'\x1a' "$work/wire")" = 2 ] || fail "the body let go was not written"
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  grep -qF 'not_written' "$work/out3" && fail "a part whose body went was called not written"
  expect_in out3 '"event":"error","id":9,"error":"sequence 1: stopped before every part was reported","code":"stopped"}'
  ;;

ports)
  # Three ttys: one answers AT, one another program holds, one stays silent.
  start_modem --model SIM800C
  others=()
  for extra in "4 --log $work/wire4" "5 --silence AT"; do
    "$bin/tarvik-modemsim" --dir "$work" --port $extra > /dev/null 2>&1 &
    others+=($!)
  done
  for _ in $(seq 1 200); do [ -e "$work/COM4" ] && [ -e "$work/COM5" ] && break; sleep 0.05; done
  lock_port 4
  run ports --format json "$work/COM3" "$work/COM4" "$work/COM5" "$work/COM6"
  # Ended, each simulator brings its log up to date.
  kill "${others[@]}" 2>/dev/null; wait "${others[@]}" 2>/dev/null
  expect_rc 0
  python3 - "$work/out" "$work" "$holder" <<'PY' || fail "the ports listed"
import json, sys
out, work, holder = sys.argv[1], sys.argv[2], sys.argv[3]
ports = {p["path"]: p for p in map(json.loads, open(out).read().splitlines())}
one, held, silent, none = (ports[f"{work}/COM{n}"] for n in (3, 4, 5, 6))
assert one["answers"] and one["model"] == "SIM800C" and one["manufacturer"] == "SIMULATED", one
assert one["imei"] == "861234567890123" and one["sim"] == "READY" and one["rssi"] == 23, one
assert one["device"].startswith("/dev/pts/"), one
assert f"flock (pid {holder})" in held["held_by"] and not held["opened"], held
assert silent["opened"] and not silent["answers"] and "model" not in silent, silent
assert not none["exists"], none
PY
  [ -e "$work/wire4" ] && [ ! -s "$work/wire4" ] || fail "the held port was written to"
  for _ in $(seq 1 200); do [ "$(wire_count 'AT+CGSN')" -ge 1 ] && break; sleep 0.05; done
  [ "$(wire_count 'AT+CGSN')" = 1 ] || fail "the answering modem was not asked once"
  ;;

serve_long_messages)
  # Long messages: parts out of order, two sets interleaved, a part listed twice, a sender in
  # its national form; a set half in survives kill -9 of serve and is given once, whole.
  export TARVIK_INBOX_JOURNAL=$work/journal
  start_modem --part '+447700900123:7/2/3:bb ' --part '+447700900123:8/2/2:world' \
    --part '+447700900123:8/1/2:hello ' --part '+447700900123:8/2/2:world' \
    --part '+447700900123:7/3/3:cc, ünï'
  mkfifo "$work/requests"
  sleep 300 > "$work/requests" 2> /dev/null < /dev/null &
  holder=$!
  serve_long() {  # output file, messages to wait for, options
    local file=$1 count=$2; shift 2
    "$bin/tarvik" serve --port 3 "$@" < "$work/requests" > "$work/$file" 2> "$work/err" &
    pid=$!
    for _ in $(seq 1 2400); do
      [ "$(grep -c '"event":"message"' "$work/$file")" -ge "$count" ] && return 0
      sleep 0.05
    done
    fail "$file: $count messages did not come"
  }
  wait_for() {  # output file, text
    for _ in $(seq 1 2400); do
      grep -qF -- "$2" "$work/$1" && return 0
      sleep 0.05
    done
    fail "$1: '$2' did not come"
  }
  serve_long out1 1 --ack
  # Every part has left the modem, the set of three still waits for its first.
  for _ in $(seq 1 600); do
    [ "$(wire_count 'AT+CMGD=')" -ge 5 ] && break
    sleep 0.05
  done
  [ "$(wire_count 'AT+CMGD=')" -ge 5 ] || fail "the parts were not deleted from the modem"
  kill -9 "$pid"; wait "$pid" 2>/dev/null
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null
  start_modem --part '07700900123:7/1/3:aa '
  serve_long out2 2 --ack
  long=$(grep -F '"aa bb cc' "$work/out2" | sed 's/.*"key":"\([0-9a-f]*\)".*/\1/')
  [ -n "$long" ] || fail "no key for the long message"
  echo '{"op":"ack","key":"'"$long"'"}' > "$work/requests"
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  python3 - "$work/out1" "$work/out2" <<'PY' || fail "the long messages"
import json, sys
def messages(path):
    return [e for e in map(json.loads, open(path, encoding="utf-8")) if e["event"] == "message"]
first, second = messages(sys.argv[1]), messages(sys.argv[2])
assert [m["text"] for m in first] == ["hello world"], first
assert first[0]["parts"] == 2 and first[0]["complete"] and len(first[0]["keys"]) >= 2, first
texts = sorted(m["text"] for m in second)
assert texts == ["aa bb cc, ünï", "hello world"], texts
whole = [m for m in second if m["text"].startswith("aa")][0]
assert whole["parts"] == 3 and whole["complete"] and whole["missing"] == [], whole
assert len(whole["keys"]) == 3, whole
PY
  # Acknowledged by its key: none of its parts comes again.
  serve_long out3 1 --ack
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  grep -qF '"aa bb' "$work/out3" && fail "an acknowledged long message came again"
  expect_in out3 'hello world'
  # A part still missing holds the rest back only until the time-out; acknowledged as it
  # stands, the message is completed under its key by a part that comes after a restart.
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null
  start_modem --part '+8613912345678:9/1/2:only half'
  serve_long out4 1 --ack --reassembly-timeout-ms 300
  wait_for out4 '"text":"only half","parts":2,"complete":false,"missing":[2]'
  half=$(grep -F '"only half"' "$work/out4" | head -1 | sed 's/.*"key":"\([0-9a-f]*\)".*/\1/')
  echo '{"op":"ack","key":"'"$half"'"}' > "$work/requests"
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  expect_in out4 '"event":"stopped","unacked":1'
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null
  start_modem --part '+8613912345678:9/2/2:, and the rest'
  serve_long out5 1 --ack --reassembly-timeout-ms 300
  wait_for out5 '"text":"only half, and the rest","parts":2,"complete":true,"missing":[]'
  echo '{"op":"stop"}' > "$work/requests"
  await_exit
  expect_in out5 "\"key\":\"$half\",\"number\":\"+8613912345678\""
  # receive prints a long message on one line.
  unset TARVIK_INBOX_JOURNAL
  kill "$modem_pid"; wait "$modem_pid" 2>/dev/null
  start_modem --part '10086:5/2/2:two' --part '10086:5/1/2:one, '
  run receive --port 3 --idle 2
  expect_rc 0
  [ "$(texts)" = "one, two" ] || fail "receive printed '$(texts)'"
  ;;

usage)
  run --help
  expect_rc 0
  expect_in out "Exit codes:"
  run
  expect_rc 2
  expect_in err "a command is missing"
  run send --port 3 --frobnicate 1 x
  expect_rc 2
  expect_in err "'send' has no option --frobnicate"
  expect_in err "Try 'tarvik --help'"
  run --version
  expect_rc 0
  expect_in out "tarvik "
  # The manual names every option the help names.
  manual=$(dirname "$0")/../../docs/tarvik.1
  for command in "" send receive serve at identify; do
    run $command --help
    expect_rc 0
    for option in $(grep -oE -- '--[a-z-]+' "$work/out" | sort -u); do
      grep -qF -- "${option//-/\\-}" "$manual" || fail "the manual lacks $option of $command"
    done
  done
  ;;

*)
  fail "no such case"
  ;;
esac
echo "PASS ($case_name)"
