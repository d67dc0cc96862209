#!/usr/bin/env bash
# Report mode end to end against the reference identity server: one identity reported over
# TLS and over plain TCP, with its heartbeat and logoff, byte-checked by the server's strict
# decoder; an unreachable server still exits 0.
# Usage: report_mode.sh PROGRAM SERVER_PROGRAM posix QVREG | report_mode.sh PROGRAM SERVER_PROGRAM windows
set -uo pipefail
program=$1
server=$2
platform=$3
qvreg=${4:-}
address=${QV_REPORT_TEST_ADDRESS:-127.0.0.31}
server_pid=""
source "$(dirname "$0")/program_under_test.sh"
trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; cleanup_work' EXIT

registry add "$key" /f >/dev/null

"$server" --address "$address" --ready-file "$work/ready" --record "$work/requests.jsonl" >"$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do [ -f "$work/ready" ] && break; sleep 0.1; done

records() { grep -c "$1" "$work/requests.jsonl" 2>/dev/null; }

for protocol in TCPS TCP; do
  rm -f "$log"
  : >"$work/requests.jsonl"
  run -REPORT_LOGOFF -TCP -V -SERVER "$address" -PROTOCOL "$protocol" -USER_NAME 'CORP\alice' -COMPUTER_NAME 'CORP\pc7'
  check "$protocol: report mode exits 0" 0 $?
  check "$protocol: the identity is reported" 1 "$(grep -c 'Identity reported: ' "$log")"
  check "$protocol: the logon is acknowledged" 1 "$(grep -c 'IdentityReportLogon request status = 0' "$log")"
  check "$protocol: the logoff is acknowledged" 1 "$(grep -c 'IdentityReportLogoff request status = 0' "$log")"
  check "$protocol: the server took two requests" 2 "$(grep -c '"user_name":"CORP\\\\alice"' "$work/requests.jsonl")"
  check "$protocol: one logon" 1 "$(records '"kind":"logon"')"
  check "$protocol: one logoff" 1 "$(records '"kind":"logoff"')"
  check "$protocol: no malformed request" 0 "$(records '"error":"')"
  cp "$log" "$work/Quorvane.log.$protocol"
done
check "TLS: the self-signed certificate is accepted and said so" 1 \
  "$(grep -c 'Accepting non-recommended connection' "$work/Quorvane.log.TCPS" 2>/dev/null || true)"

# The server setting is stored and a heartbeat goes in between.
rm -f "$log"
: >"$work/requests.jsonl"
run -REPORT_HEARTBEAT -SERVER "$address" -PROTOCOL TCP -USER_NAME 'corp.example\bob' -COMPUTER_NAME 'corp.example\pc9'
check "heartbeat: exits 0" 0 $?
check "heartbeat: the heartbeat is acknowledged" 1 "$(grep -c 'IdentityReportHeartbeat request status = 0' "$log")"
check "heartbeat: the account domain is shortened" 2 "$(records '"user_name":"corp\\\\bob"')"
check "heartbeat: the server saw a logon and then a heartbeat" "logon heartbeat" \
  "$(grep -o '"kind":"[a-z]*"' "$work/requests.jsonl" | cut -d'"' -f4 | tr '\n' ' ' | sed 's/ $//')"
check "the server is stored" 1 "$(registry query "$key" | grep -c "IdentServer *REG_SZ *$address")"

# A server that goes away after the logon (it may still answer the heartbeat while it exits):
# the logoff finds nobody, gets one new connection attempt (no retry every minute for a
# one-shot report) and fails with its line.
vanishing=${QV_REPORT_VANISH_ADDRESS:-127.0.0.33}
rm -f "$log" "$work/ready"
"$server" --address "$vanishing" --count 1 --ready-file "$work/ready" >/dev/null 2>&1 &
vanishing_pid=$!
for _ in $(seq 1 100); do [ -f "$work/ready" ] && break; sleep 0.1; done
started=$(date +%s)
run -REPORT_HEARTBEAT -REPORT_LOGOFF -SERVER "$vanishing" -PROTOCOL TCP -USER_NAME 'CORP\alice' -COMPUTER_NAME 'CORP\pc7'
check "server gone: exits 0" 0 $?
check "server gone: within half a minute" 1 "$(( $(date +%s) - started < 30 ))"
check "server gone: the logon went through" 1 "$(grep -c 'IdentityReportLogon request status = 0' "$log")"
check "server gone: the logoff fails with its line" 1 "$(grep -c 'Unable to report logoff' "$log")"
# On a busy machine the server may be gone before the heartbeat too: each failed report, one attempt.
check "server gone: one new attempt for each failed report" "$(grep -c 'Unable to report' "$log")" \
  "$(grep -c 'Connect to Identity server = "'"$vanishing"'" failed' "$log")"
check "server gone: no wait on a missing event" 0 "$(grep -c 'Wait failed' "$log")"
wait "$vanishing_pid" 2>/dev/null

# Nobody listening: every failure is logged and the exit code is still 0.
rm -f "$log"
run -REPORT_IDENTITY -SERVER 127.0.0.39 -PROTOCOL TCP -USER_NAME 'CORP\alice' -COMPUTER_NAME 'CORP\pc7'
check "unreachable: exits 0" 0 $?
check "unreachable: says so" 1 "$(grep -c 'Unable to connect to Identity server = "127.0.0.39" ...' "$log")"

echo "report mode: $failures failed"
[ "$failures" -eq 0 ]
