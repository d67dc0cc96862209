#!/usr/bin/env bash
# The service's lifecycle end to end on Linux, against the reference identity server and the
# real settings store: the agent in the foreground (-A) and as a systemd service (under a
# stand-in notification socket) stops in order within 5000 ms on SIGTERM, on SIGINT and on
# Shutdown = 1, in each state it can be waiting in; SIGHUP stops it in the foreground and makes
# the service read its settings again; another identity server in the settings
# makes it reconnect, the same one in other letter case does not; a status that cannot be sent
# stops the service; without the notification socket service mode runs as an application.
# Usage: service_lifecycle.sh PROGRAM SERVER_PROGRAM QVREG NOTIFY_RECORDER QVEVT
#
# A state is a function 'enter_<state>' that points the settings at a server and returns once
# the agent waits there; add one and name it in the states list to cover another state.
set -uo pipefail
program=$1
server=$2
qvreg=$3
recorder=$4
qvevt=${5:-}
platform=posix
address=127.0.0.51
other_address=127.0.0.52
unreachable=127.0.0.59
slow_address=127.0.0.54
# The reader's last line before it waits for records.
reading_marker="EVENT_LOG::Process: OldestRecordNumber"
pids=()
source "$(dirname "$0")/program_under_test.sh"
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; cleanup_work' EXIT
notify_socket="$work/notify.sock"
notify_log="$work/notify.txt"

start_server() {  # address, switches...
  local address=$1
  shift
  "$server" --address "$address" --ready-file "$work/ready.$address" "$@" >"$work/server.$address.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do [ -f "$work/ready.$address" ] && return 0; sleep 0.1; done
  echo "the reference identity server on $address did not start" >&2
  exit 1
}

notified() { grep -cxF -- "$1" "$notify_log" 2>/dev/null; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
set_value() { registry add "$key" /v "$1" /t "$2" /d "$3" /f >/dev/null; }
shutdown_value() { registry query "$key" /v Shutdown | sed -n 's/.*Shutdown *REG_DWORD *//p'; }

# The agent in the background: 'application' (-A), 'service' (notification socket) or
# 'fallback' (neither). Sets agent.
start_agent() {
  rm -f "$log"
  case "$1" in
    application) "$copy" -A 2>"$work/stderr" & ;;
    service) NOTIFY_SOCKET="$notify_socket" "$copy" 2>"$work/stderr" & ;;
    fallback) "$copy" 2>"$work/stderr" & ;;
  esac
  agent=$!
}

# Stops the agent the way asked and waits for it. Sets stop_ms and agent_status.
stop_agent() {  # SIGTERM | SIGINT | SIGHUP | Shutdown
  local started
  started=$(now_ms)
  case "$1" in
    SIGTERM) kill -TERM "$agent" ;;
    SIGINT) kill -INT "$agent" ;;
    SIGHUP) kill -HUP "$agent" ;;
    Shutdown) set_value Shutdown REG_DWORD 1 ;;
  esac
  for _ in $(seq 1 200); do kill -0 "$agent" 2>/dev/null || break; sleep 0.05; done
  stop_ms=$(( $(now_ms) - started ))
  kill -0 "$agent" 2>/dev/null && kill -KILL "$agent"
  wait "$agent"
  agent_status=$?
}

# The states. Each returns once the agent waits there.
enter_connecting() {  # nobody listens: PersistentConnect waits for its next attempt
  set_value IdentServer REG_SZ "$unreachable"
  start_agent "$1"
  wait_for_log "Connect to Identity server = \"$unreachable\" failed"
}

enter_reading() {  # connected, waiting for records in EVENT_LOG::Process
  set_value IdentServer REG_SZ "$address"
  start_agent "$1"
  wait_for_log "Connected to Identity server = \"$address\"" && wait_for_log "$reading_marker"
}

enter_opening() {  # the Security log cannot be opened: EVENT_LOG::Open waits to try again
  set_value IdentServer REG_SZ "$address"
  rm -rf "$QUORVANE_DATA_ROOT/eventlog/Security"
  mkdir -p "$QUORVANE_DATA_ROOT/eventlog"
  : >"$QUORVANE_DATA_ROOT/eventlog/Security"  # a file where the log's folder belongs
  start_agent "$1"
  wait_for_log "Uable to open the \"Security\" event log."
  local opened=$?
  rm -f "$QUORVANE_DATA_ROOT/eventlog/Security"
  return $opened
}

enter_sending() {  # a logon's report sent, its answer 30 s away
  set_value IdentServer REG_SZ "$slow_address"
  start_agent "$1"
  wait_for_log "Connected to Identity server = \"$slow_address\"" && wait_for_log "$reading_marker" || return 1
  "$qvevt" write --id 4624 --computer DC1 -- S-1-0-0 - - 0x0 S-1-5-21-1-2-3-1104 alice CORP 0x3e7a 3 NtLmSsp NTLM \
    PC7 '{00000000-0000-0000-0000-000000000000}' - 'NTLM V2' 128 0x0 - 10.0.0.5 50123 >/dev/null
  wait_for_log "IdentityReportLogon:"
}

expected_reason() {  # mode, stop
  case "$1/$2" in
    */Shutdown) echo 'Registry value "Shutdown" set' ;;
    service/*) echo SERVICE_CONTROL_STOP ;;
    *) echo "Console control event ($2)" ;;
  esac
}

run_case() {  # mode, state, stop
  local name="$1, $2, $3" reason
  : >"$notify_log"
  set_value Shutdown REG_DWORD 0
  "enter_$2" "$1"
  check "$name: reached the state" 0 $?
  [ "$1" = service ] && check "$name: READY=1 sent" 1 "$(notified READY=1)"
  stop_agent "$3"
  check "$name: exits 0" 0 "$agent_status"
  # A sanitizer's finding (a leak at exit, say) is what a status of 1 means: show it.
  [ "$agent_status" -ne 0 ] && sed 's/^/  agent stderr: /' "$work/stderr"
  check "$name: stopped within 5000 ms (took $stop_ms ms)" 1 "$(( stop_ms < 5000 ))"
  reason=$(expected_reason "$1" "$3")
  check "$name: the reason is logged" 1 "$(log_count "Stopping Service: Reason = $reason")"
  check "$name: the stop is reported once" 1 "$(log_count "Release x64 stopped. Reason =")"
  check "$name: the Settings thread ends normally" 1 "$(log_count "Settings thread normal exit")"
  check "$name: uninitialized" 1 "$(log_count "Uninitializing service")"
  [ "$3" = Shutdown ] && check "$name: Shutdown becomes 2" 0x2 "$(shutdown_value)"
  if [ "$1" = service ]; then
    check "$name: start pending sent" 1 "$(notified "STATUS=Start pending, check point 1")"
    check "$name: start time extended by the wait hint" 1 "$(notified EXTEND_TIMEOUT_USEC=30000000)"
    check "$name: STOPPING=1 sent" 1 "$(notified STOPPING=1)"
    check "$name: stopped sent" 1 "$(notified STATUS=Stopped)"
  fi
}

registry add "$key" /f >/dev/null
set_value IdentProtocol REG_DWORD 2
set_value AdGlobalCatalog REG_SZ 127.0.0.49  # no directory: look-ups fail at once
start_server "$address"
start_server "$other_address"
start_server "$slow_address" --delay-ms 30000
"$recorder" "$notify_socket" "$notify_log" &
pids+=($!)
for _ in $(seq 1 100); do [ -S "$notify_socket" ] && break; sleep 0.05; done

states=(connecting opening reading sending)
for mode in application service; do
  for state in "${states[@]}"; do
    for stop in SIGTERM SIGINT Shutdown; do run_case "$mode" "$state" "$stop"; done
  done
done

# SIGHUP: in the foreground the terminal went away, an orderly stop as when a console closes on
# Windows; as a service it is systemd's reload (ExecReload), which reads the settings again.
run_case application reading SIGHUP
: >"$notify_log"
enter_reading service
kill -HUP "$agent"
wait_for_log "Reloading settings ..."
check "service, SIGHUP: the settings are read again" 1 "$(log_count "Reloading settings ...")"
sleep 0.2
check "service, SIGHUP: still running" 0 "$(kill -0 "$agent" 2>/dev/null; echo $?)"
stop_agent SIGTERM
check "service, SIGHUP: then stops on SIGTERM" "0 1" "$agent_status $(log_count "Reason = SERVICE_CONTROL_STOP")"

# Without the notification socket, service mode is application mode (the 1063 fallback).
enter_reading fallback
stop_agent SIGTERM
check "fallback: runs as an application" 1 "$(log_count "Running as application")"
check "fallback: stops on SIGTERM" "0 1" "$agent_status $(log_count "Reason = Console control event (SIGTERM)")"

# Settings changes while reading: another server reconnects, the same in other case does not.
set_value IdentServer REG_SZ "::ffff:$address"
start_agent application
wait_for_log "Connected to Identity server = \"::ffff:$address\"" && wait_for_log "$reading_marker"
processing=$(log_count "Processing Security event log ...")
set_value IdentServer REG_SZ "::FFFF:$address"
wait_for_log "Ident server changed from \"::ffff:$address\" to \"::FFFF:$address\""
wait_for_log "Processing Security event log ..." >/dev/null
for _ in $(seq 1 40); do [ "$(log_count "Processing Security event log ...")" -gt "$processing" ] && break; sleep 0.05; done
check "case only: the log is processed again" $((processing + 1)) "$(log_count "Processing Security event log ...")"
check "case only: no reconnection" 0 "$(log_count "Identity Server changed to")"
set_value IdentServer REG_SZ "$other_address"
wait_for_log "Connected to Identity server = \"$other_address\""
check "another server: reconnects" 1 "$(log_count "Identity Server changed to \"$other_address\"")"
check "another server: connected once to each" "1 1" \
  "$(log_count "Connected to Identity server = \"::ffff:$address\"") $(log_count "Connected to Identity server = \"$other_address\"")"
stop_agent Shutdown
check "settings changes: stops with Shutdown" 0 "$agent_status"

# -STATUS on a healthy, a disconnected and a stopped agent: exit codes 0, 1 and 2, a table on
# standard output, the agent's log untouched; the one-line summary goes to the service manager.
status_of() {  # prints the exit code; the output is in $work/status.out
  "$copy" -STATUS >"$work/status.out" 2>&1
  echo $?
}
status_says() { grep -cF -- "$1" "$work/status.out"; }
: >"$notify_log"
set_value IdentServer REG_SZ "$address"
start_agent service
wait_for_log "Connected to Identity server = \"$address\"" && wait_for_log "$reading_marker"
lines=$(wc -l <"$log")
check "-STATUS healthy: exit code 0" 0 "$(status_of)"
check "-STATUS healthy: says so, and where it is connected" "1 1" \
  "$(status_says "Quorvane: healthy") $(status_says "Identity server       $address")"
check "-STATUS: the agent's log is left alone" "$lines" "$(wc -l <"$log")"
check "healthy: systemd's status line" 1 "$(notified "STATUS=connected to $address; 0 reports")"
stop_agent SIGTERM
check "-STATUS stopped: exit code 2" 2 "$(status_of)"
check "-STATUS stopped: says so" 1 "$(status_says "Quorvane: not running (stopped)")"
set_value IdentServer REG_SZ "$unreachable"
start_agent application
wait_for_log "Connect to Identity server = \"$unreachable\" failed"
check "-STATUS disconnected: exit code 1" 1 "$(status_of)"
check "-STATUS disconnected: says so" 1 "$(status_says "Quorvane: degraded (not connected to an identity server)")"
stop_agent SIGTERM

# A status the service manager cannot take: reported, stopped is tried once, and it ends.
rm -f "$log"
NOTIFY_SOCKET="$work/nobody.sock" timeout 20 "$copy" 2>"$work/stderr"
check "no status: exits 0" 0 $?
check "no status: both failures are reported" 2 "$(log_count "Unable to set the service status.")"
check "no status: not initialised" 0 "$(log_count "Settings thread started")"

echo "service lifecycle: $failures failed"
[ "$failures" -eq 0 ]
