#!/usr/bin/env bash
# The Windows build as a real service under Wine's service control manager, in a fresh Wine
# prefix of its own: created with sc, started, connected to the native reference identity
# server on loopback and RUNNING; sc stop stops it in order; a bad start parameter stops it
# with service-specific exit code 1 after event 0xC0000001; in application mode (-A) Shutdown = 1
# stops the same worker in order; -STATUS tells a healthy, a disconnected and a stopped agent
# apart by its exit code. Wine's Security log is a stub whose reads end at once, so the
# running service waits in an empty log.
# Usage: service_wine.sh PROGRAM SERVER_PROGRAM
set -uo pipefail
program=$1
server=$2
platform=windows
address=127.0.0.53
server_pid=""
unset WINEPREFIX
source "$(dirname "$0")/program_under_test.sh"
trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; wineserver -k 2>/dev/null; cleanup_work' EXIT

# The service process must outlive the sc process that started it: a persistent wineserver.
wineserver -w 2>/dev/null
wineserver -p 2>/dev/null

sc() { "$wine_runner" sc "$@" 2>/dev/null | tr -d '\r'; }
state() { sc query Quorvane | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
wait_for_state() {  # state, seconds
  for _ in $(seq 1 $(( $2 * 5 ))); do [ "$(state)" = "$1" ] && return 0; sleep 0.2; done
  return 1
}

"$server" --address "$address" --ready-file "$work/ready" >"$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do [ -f "$work/ready" ] && break; sleep 0.1; done

registry add "$key" /v IdentServer /t REG_SZ /d "$address" /f >/dev/null
registry add "$key" /v IdentProtocol /t REG_DWORD /d 2 /f >/dev/null
# Application mode first: it runs the same worker and stops in order on Shutdown = 1.
"$wine_runner" "$copy" -A 2>/dev/null &
application=$!
wait_for_log "Processing Security event log ..." 60
check "-A: connects and reads the Security log" 0 $?
registry add "$key" /v Shutdown /t REG_DWORD /d 1 /f >/dev/null
for _ in $(seq 1 100); do kill -0 "$application" 2>/dev/null || break; sleep 0.1; done
wait "$application"
check "-A: exits 0 on Shutdown = 1" 0 $?
check "-A: the reason is logged" 1 "$(log_count 'Stopping Service: Reason = Registry value "Shutdown" set')"
check "-A: Shutdown becomes 2" 1 "$(registry query "$key" /v Shutdown | grep -c 'REG_DWORD *0x2')"
check "-A: the console handler is in place" 0 "$(log_count "Unable to install the console control handler")"
check "-A: the Settings thread ends normally" 1 "$(log_count "Settings thread normal exit")"

# Nobody at the identity server's address: -STATUS says degraded (exit code 1).
registry add "$key" /v IdentServer /t REG_SZ /d 127.0.0.59 /f >/dev/null
"$wine_runner" "$copy" -A 2>/dev/null &
application=$!
wait_for_log 'Connect to Identity server = "127.0.0.59" failed' 60
run -STATUS >"$work/status.out"
check "-STATUS of a disconnected agent: exit code 1" 1 $?
check "-STATUS says why" 1 "$(grep -c "Quorvane: degraded (not connected to an identity server)" "$work/status.out")"
registry add "$key" /v Shutdown /t REG_DWORD /d 1 /f >/dev/null
for _ in $(seq 1 100); do kill -0 "$application" 2>/dev/null || break; sleep 0.1; done
wait "$application"
registry add "$key" /v IdentServer /t REG_SZ /d "$address" /f >/dev/null

windows_path=$(WINEDEBUG=-all winepath -w "$copy" 2>/dev/null)
sc create Quorvane binpath= "$windows_path" >/dev/null
check "sc create makes a stopped service" STOPPED "$(state)"

sc start Quorvane >/dev/null
wait_for_log "Connected to Identity server = \"$address\"" 60
check "the service connects to the identity server" 0 $?
wait_for_log "Processing Security event log ..." 30
check "the service reads the Security log" 0 $?
check "sc query shows RUNNING" RUNNING "$(state)"
check "the service was started by the service control manager" 0 "$(log_count "Running as application")"
run -STATUS >"$work/status.out"
check "-STATUS of the running service: exit code 0 (healthy)" 0 $?
check "-STATUS prints the table" "1 1" \
  "$(grep -c "Quorvane: healthy" "$work/status.out") $(grep -c "Identity server *$address" "$work/status.out")"

sc stop Quorvane >/dev/null
wait_for_state STOPPED 20
check "sc stop stops the service" 0 $?
run -STATUS >"$work/status.out"
check "-STATUS of the stopped service: exit code 2" 2 $?
check "the stop's reason is logged" 1 "$(log_count "Stopping Service: Reason = SERVICE_CONTROL_STOP")"
check "the stop is reported once" 1 "$(log_count "Release x64 stopped. Reason =")"
check "the Settings thread ends normally" 1 "$(log_count "Settings thread normal exit")"
check "the service is uninitialized" 1 "$(log_count "Uninitializing service")"
check "the exit code is 0" 1 "$(sc query Quorvane | grep -c 'WIN32_EXIT_CODE *: *0 ')"

sc start Quorvane BOGUS >/dev/null
wait_for_state STOPPED 20
check "a bad start parameter stops the service" 0 $?
wait_for_log 'Invalid service start parameter = "BOGUS".' 10
check "the bad start parameter is reported" 0 $?
sc query Quorvane >"$work/query.txt"
check "with the service-specific error" 1 "$(grep -c 'WIN32_EXIT_CODE *: *1066 ' "$work/query.txt")"
check "whose code is 1" 1 "$(grep -c 'SERVICE_EXIT_CODE *: *1 ' "$work/query.txt")"

sc delete Quorvane >/dev/null
echo "service under Wine: $failures failed"
[ "$failures" -eq 0 ]
