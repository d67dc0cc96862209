#!/usr/bin/env bash
# The agent's main job end to end on Linux: the agent in the foreground (-A) follows the
# Security log while records are written into it, and the reference identity server records
# every request it gets. Reverse look-ups of client addresses go to a hosts file of the test's
# own (the agent runs in a mount namespace where /etc/hosts and nsswitch.conf are the test's),
# so no name is ever asked of the network.
# Usage: main_job.sh PART PROGRAM SERVER_PROGRAM QVREG QVEVT [EVTX_DIR | DC_ENV [TCP_RELAY]]
#   logons     records at start are not reported; one report per logon; a repeat (dotted domain
#              too) only renews; another user at an address is logged off first; a cleared log;
#              a server that goes away and comes back
#   directory  with the Samba domain controller (DC_ENV): a service ticket gives a network logon
#              its computer; groups over TCP, none over TLS; heartbeats, expiry and statistics on
#              the real minute clock (about three minutes)
#   evtx       each shared exported log (EVTX_DIR) gives exactly the reports the rules call for
#   filters    a service account at a user's address changes nothing at the peer and is counted;
#              networks included and excluded (IPv6 and mapped addresses too); a changed list
#              takes effect while running; a malformed entry is reported and left out
#   replay     the dry run over each shared exported log (EVTX_DIR) prints exactly the reports
#              the running agent sends, and with a list the records it passes over; it stores
#              nothing
#   restart    a restart reads on where reading stopped: what was written meanwhile is reported
#              (unless older than the logon time-to-live); a first start and a cleared log begin
#              at the end, saying why
#   burst      a stop in the middle of a 50,000-record backlog (a report there waits for its
#              answer) ends the agent within 5 s, nothing is reported after it, and the next start
#              reads on from there
#   outage     with the Samba domain controller (DC_ENV) behind a relay (TCP_RELAY) that can hang,
#              refuse or vanish: a stop in the middle of a hung look-up, reports without directory
#              fields while it is away (one line when look-ups pause, one when it answers again),
#              and the agent alive through it all
set -uo pipefail
part=$1
program=$2
server=$3
qvreg=$4
qvevt=$5
extra=${6:-}
relay=${7:-}
platform=posix
pids=()
source "$(dirname "$0")/program_under_test.sh"
trap 'for p in "${pids[@]}" ${agent:-}; do kill "$p" 2>/dev/null; done; cleanup_work' EXIT
source "$(dirname "$0")/private_resolver.sh"

private_hosts <<'EOF'
127.0.0.1 localhost
10.0.0.5 pc5.corp.example.test
EOF

set_value() { registry add "$key" /v "$1" /t "$2" /d "$3" /f >/dev/null; }

start_server() {  # address, switches...
  local address=$1
  shift
  rm -f "$work/ready.$address"
  "$server" --address "$address" --ready-file "$work/ready.$address" --record "$work/requests.$address" "$@" \
    >>"$work/server.$address.out" 2>&1 &
  server_pid=$!
  pids+=($server_pid)
  for _ in $(seq 1 100); do [ -f "$work/ready.$address" ] && return 0; sleep 0.1; done
  echo "the reference identity server on $address did not start" >&2
  exit 1
}

# One line a request: kind, user, computer ("-" for none), address.
requests() { request_lines "$work/requests.$1"; }  # address
request_count() { [ -f "$work/requests.$1" ] && wc -l <"$work/requests.$1" || echo 0; }
wait_for_requests() {  # address, count, seconds
  for _ in $(seq 1 $(($3 * 10))); do [ "$(request_count "$1")" -ge "$2" ] && return 0; sleep 0.1; done
  return 1
}
wait_for_line() {  # text, seconds
  for _ in $(seq 1 $(($2 * 10))); do grep -qF -- "$1" "$log" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
count_lines() { grep -cF -- "$1" "$log" 2>/dev/null; }

# The agent in the foreground with the test's resolver; returns once it waits at the log's end.
start_agent() {
  rm -f "$log"
  with_private_resolver "$copy" -A 2>"$work/stderr" &
  agent=$!
  wait_for_line "PositionToEnd: FORWARDS" 20 || wait_for_line "Processing Security event log" 20
  sleep 0.3
}
stop_agent() {
  set_value Shutdown REG_DWORD 1
  for _ in $(seq 1 100); do kill -0 "$agent" 2>/dev/null || break; sleep 0.1; done
  wait "$agent" 2>/dev/null
  unset agent
}
# SIGTERM, as systemd stops the service; prints how many milliseconds the agent took to end.
terminate_agent() {
  local started pid
  # $agent is the subshell that runs the agent; the agent is its child.
  pid=$(pgrep -P "$agent" | head -n 1)
  pid=${pid:-$agent}
  started=$(date +%s%3N)
  kill -TERM "$pid"
  while kill -0 "$pid" 2>/dev/null; do sleep 0.02; done
  echo $(( $(date +%s%3N) - started ))
  wait "$agent" 2>/dev/null
  unset agent
}
# The requests acknowledged after the stop line of the agent's log.
reported_after_stop() { sed -n '/Stopping Service: Reason/,$p' "$log" | grep -c 'request status = 0'; }

# 4624: user, domain, address, workstation ("-": none), logon type.
write_account_logon() {
  "$qvevt" write --id 4624 --computer DC1 ${qvevt_options:-} -- S-1-0-0 - - 0x0 S-1-5-21-1-2-3-1104 "$1" "$2" 0x3e7a \
    "${5:-3}" NtLmSsp NTLM "$4" '{00000000-0000-0000-0000-000000000000}' - 'NTLM V2' 128 0x0 - "$3" 50123 >/dev/null
}
# 540: user, domain, address.
write_network_logon() {
  "$qvevt" write --id 540 --computer DC1 -- "$1" "$2" '(0x0,0x3E7F1)' 3 Kerberos Kerberos - '{guid}' - - - - - "$3" 0 \
    >/dev/null
}
# 673: user@REALM, realm, service, client address.
write_service_ticket() {
  "$qvevt" write --id 673 --computer DC1 -- "$1" "$2" "$3" S-1-5-21-1-2-3-1105 0x40810000 0x17 "$4" - >/dev/null
}
# 528: user, domain, address, workstation.
write_local_logon() {
  "$qvevt" write --id 528 --computer DC1 -- "$1" "$2" '(0x0,0x3E7F1)' 2 User32 Negotiate "$4" '{guid}' - - - - - "$3" 0 \
    >/dev/null
}

registry add "$key" /f >/dev/null
set_value IdentProtocol REG_DWORD 2
# Nothing answers here: directory look-ups fail at once unless a part points them elsewhere.
set_value AdGlobalCatalog REG_SZ 127.0.0.49

# What the rules call for, read off each log's records (evtxexport): computer accounts,
# proxied (a subject that is not the null SID), anonymous and loopback logons and service
# logon types are ignored; a repeat renews; another user at an address is logged off first;
# a client without a workstation name gets its name from the reverse look-up, which finds
# none of these addresses. Without a directory a DNS domain is shortened.
declare -A evtx_reports=(
  [anonymous_loopback_4624_4634]=""
  [dc_security_4624_4768_4769]="logon THREEBEESCO\\lgrove - 172.16.66.19|logoff THREEBEESCO\\lgrove - 172.16.66.19|logon 3B\\lgrove 3B\\04246W-WIN10 172.16.66.19"
  [interactive_4624_4625]=""
  [ntlm_relay_4624_4634]="logon WINLAB\\Administrator - 192.168.1.219"
  [rdp_tunneling_4624]=""
  [security_log_cleared_1102]=""
  [wmi_target_host_4624]="logon EXAMPLE\\Administrator - 10.0.2.17|logoff EXAMPLE\\Administrator - 10.0.2.17|logon EXAMPLE\\user01 - 10.0.2.17"
)
logons() {
  local address=127.0.0.61
  start_server $address
  set_value IdentServer REG_SZ $address
  write_account_logon zoe CORP 10.0.0.99 PC1  # in the log before the agent starts
  start_agent

  write_account_logon alice CORP 10.0.0.5 -
  write_account_logon alice CORP 10.0.0.5 PC5
  write_account_logon carol CORP.EXAMPLE.COM 10.0.0.9 PC9
  write_account_logon carol CORP.EXAMPLE.COM 10.0.0.9 PC9
  write_account_logon bob CORP 10.0.0.5 PC5 10
  write_local_logon dave CORP 10.0.0.7 PC7
  write_network_logon erin CORP 10.0.0.8
  wait_for_requests $address 6 20
  sleep 0.5
  check "logons: each new logon reported once, the old user's logoff first" \
    "logon CORP\\alice CORP\\pc5 10.0.0.5|logon CORP.EXAMPLE\\carol CORP.EXAMPLE\\PC9 10.0.0.9|logoff CORP\\alice CORP\\pc5 10.0.0.5|logon CORP\\bob CORP\\PC5 10.0.0.5|logon CORP\\dave CORP\\PC7 10.0.0.7|logon CORP\\erin - 10.0.0.8" \
    "$(requests $address | paste -sd'|')"
  check "logons: repeats only renew (a dotted domain too)" 2 "$(count_lines 'Do_EVENT_ACCOUNT_LOGON: Reset TTL,')"

  "$qvevt" clear >/dev/null
  wait_for_line "Security event log reopened" 20
  write_account_logon frank CORP 10.0.0.10 PC10
  wait_for_requests $address 7 20
  check "cleared log: said so, and followed on" "1 logon CORP\\frank CORP\\PC10 10.0.0.10" \
    "$(count_lines 'Security event log has been cleared') $(requests $address | tail -n 1)"

  # The server goes away; logons written meanwhile are reported once it is back (the agent
  # tries again every minute).
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null
  write_account_logon grace CORP 10.0.0.11 PC11
  write_account_logon heidi CORP 10.0.0.12 PC12
  wait_for_line 'Connect to Identity server = "127.0.0.61" failed' 20
  start_server $address
  wait_for_requests $address 9 90
  check "server back: the logons written while it was away are reported" \
    "logon CORP\\grace CORP\\PC11 10.0.0.11|logon CORP\\heidi CORP\\PC12 10.0.0.12" \
    "$(requests $address | tail -n 2 | paste -sd'|')"
  stop_agent
  check "logons: the agent stopped in order" 1 "$(count_lines 'Uninitializing service')"
}

directory() {
  # shellcheck disable=SC1090
  source "$extra"
  export KRB5_CONFIG=$QV_DC_KRB5_CONFIG
  local address=127.0.0.62
  start_server $address
  set_value IdentServer REG_SZ $address
  set_value Heartbeat REG_DWORD 1
  set_value LogonTTL REG_DWORD 2
  set_value AdGlobalCatalog REG_SZ "$QV_DC_ADDRESS"
  set_value AdKeytab REG_SZ "$QV_DC_KEYTAB"
  set_value AdUser REG_SZ "$QV_DC_MACHINE_ACCOUNT"
  write_account_logon zoe CORP 10.0.0.99 PC1
  start_agent

  write_service_ticket "alice@$QV_DC_REALM" "$QV_DC_REALM" 'PC7$' 10.0.0.21
  write_network_logon alice "$QV_DC_NETBIOS" 10.0.0.21
  write_service_ticket "bob@$QV_DC_REALM" "$QV_DC_REALM" 'PC7$' 10.0.0.23  # never used
  write_account_logon carol "$QV_DC_NETBIOS" 10.0.0.22 -
  wait_for_requests $address 2 30
  check "directory: the ticket gives the logon its computer" "logon $QV_DC_NETBIOS\\alice $QV_DC_NETBIOS\\PC7 10.0.0.21" \
    "$(requests $address | head -n 1)"
  check "directory: the ticket is used up" 1 "$(count_lines 'SERVICE TICKET DELETED')"
  check "directory: over TCP the user's groups travel" 1 \
    "$(grep '"user_name":"QVCORP\\\\carol"' "$work/requests.$address" | grep -c '"groups":\[{')"
  check "directory: the user's DN" 1 \
    "$(grep -c '"user_dn":"CN=carol,OU=Quorvane Test,' "$work/requests.$address")"

  # On the minute clock: heartbeats after a minute, the unused ticket gone after one, the
  # logons after two, the counts in Statistics after each run.
  wait_for_line "IdentityReportHeartbeat request status = 0" 150
  check "directory: heartbeats come" 1 "$(grep -c '"kind":"heartbeat"' "$work/requests.$address" | sed 's/^[1-9][0-9]*$/1/')"
  check "directory: the unused ticket expired" 1 "$(count_lines 'Service ticket expired,')"
  wait_for_line "Logon expired: User name = \"$QV_DC_NETBIOS\\carol\"" 150
  wait_for_line "Updating statistics" 10
  sleep 1
  check "directory: an expired logon is not logged off" 0 "$(grep -c '"kind":"logoff"' "$work/requests.$address")"
  check "directory: Statistics holds the counts" "0x0 0x0" \
    "$(registry query "$key\\Statistics" | sed -n 's/.*\(ServiceTickets\|Logons\) *REG_DWORD *//p' | sort | paste -sd' ')"
  stop_agent

  # Over TLS the same user's report carries no groups.
  set_value IdentProtocol REG_DWORD 1
  start_agent
  write_account_logon carol "$QV_DC_NETBIOS" 10.0.0.24 PC24
  wait_for_requests $address "$(( $(request_count $address) + 1 ))" 30
  check "directory: over TLS no groups" 1 "$(tail -n 1 "$work/requests.$address" | grep -c '"groups":\[\]')"
  stop_agent
}

evtx() {
  local address=127.0.0.63 file name expected
  start_server $address
  set_value IdentServer REG_SZ $address
  for file in "$extra"/*.evtx; do
    name=$(basename "$file" .evtx)
    [ -n "${evtx_reports[$name]+set}" ] || { check "evtx: $name has expectations" yes no; continue; }
    expected=${evtx_reports[$name]}
    : >"$work/requests.$address"
    "$qvevt" clear >/dev/null 2>&1
    write_account_logon zoe CORP 10.0.0.99 PC1
    start_agent
    "$qvevt" import "$file" >/dev/null
    wait_for_requests $address "$(echo -n "$expected" | tr '|' '\n' | grep -c .)" 20
    sleep 2  # and nothing more
    stop_agent
    check "evtx: $name" "$expected" "$(requests $address | paste -sd'|')"
  done
}

filters() {
  local address=127.0.0.67
  start_server $address
  set_value IdentServer REG_SZ $address
  registry add "$key" /v IgnoreUsers /t REG_MULTI_SZ /d 'svc_*\0CORP\scanner' /f >/dev/null
  registry add "$key" /v ExcludeNetworks /t REG_MULTI_SZ /d '10.9.0.0/16\02001:db8:9::/48\010.8.0.1/8' /f >/dev/null
  start_agent
  check "filters: a malformed entry is reported once and left out" "1 1" \
    "$(count_lines 'Ignoring the malformed entry "10.8.0.1/8" of ExcludeNetworks') $(count_lines 'ExcludeNetworks = 2 ranges')"

  # The service account: alice stays the identity at her address, and it is counted.
  write_account_logon alice CORP 10.1.1.5 PC5
  write_account_logon svc_backup CORP 10.1.1.5 PC5
  wait_for_requests $address 1 20
  wait_for_line 'Passed over by IgnoreUsers entry "svc_*"' 20
  sleep 1
  check "filters: the service account changes nothing at the peer" "logon CORP\\alice CORP\\PC5 10.1.1.5" \
    "$(requests $address | paste -sd'|')"
  check "filters: one line says why" 1 \
    "$(count_lines 'Do_EVENT_ACCOUNT_LOGON: Passed over by IgnoreUsers entry "svc_*": User name = "CORP\svc_backup", IP address = "10.1.1.5"')"
  local ignored=""
  for _ in $(seq 1 200); do  # the counters are written at the expiry run, once a minute
    ignored=$(registry query "$key\\Statistics" 2>/dev/null | sed -n 's/.*Ignored *REG_DWORD *//p')
    [ -n "$ignored" ] && break
    sleep 0.5
  done
  check "filters: Statistics counts the logon passed over" 0x1 "$ignored"

  # Networks, IPv6 and mapped addresses; then a list changed while running.
  write_account_logon bob CORP ::ffff:10.9.1.1 PC6
  write_account_logon bob CORP 2001:db8:9::5 PC6
  write_account_logon carol CORP 2001:db8:1::5 PC7
  wait_for_requests $address 2 20  # each list changes once what was written before it is done
  registry add "$key" /v IgnoreUsers /t REG_MULTI_SZ /d 'carol' /f >/dev/null
  wait_for_line 'IgnoreUsers = 1 entries (1 names, 0 patterns)' 20
  write_account_logon carol CORP 10.3.3.3 PC8
  write_account_logon svc_backup CORP 10.1.1.6 PC9
  wait_for_requests $address 3 20
  registry add "$key" /v IncludeNetworks /t REG_MULTI_SZ /d '10.1.0.0/16' /f >/dev/null
  wait_for_line 'IncludeNetworks = 1 ranges' 20
  write_account_logon dave CORP 10.2.2.2 PC10
  write_account_logon erin CORP 10.1.7.7 PC11
  wait_for_requests $address 4 20
  sleep 1
  check "filters: excluded and included networks, a changed list without a restart" \
    "logon CORP\\alice CORP\\PC5 10.1.1.5|logon CORP\\carol CORP\\PC7 2001:db8:1::5|logon CORP\\svc_backup CORP\\PC9 10.1.1.6|logon CORP\\erin CORP\\PC11 10.1.7.7" \
    "$(requests $address | paste -sd'|')"
  check "filters: each passed over with its reason" "2 1 1" \
    "$(count_lines 'Passed over by ExcludeNetworks entry') $(count_lines 'Passed over by IgnoreUsers entry "carol"') $(count_lines 'Passed over, the address is outside IncludeNetworks')"
  stop_agent
}

replay() {
  local file name expected output reported
  private_hosts <<'EOF2'
127.0.0.1 localhost
EOF2
  local before
  before=$(registry query "$key")
  for file in "$extra"/*.evtx; do
    name=$(basename "$file" .evtx)
    [ -n "${evtx_reports[$name]+set}" ] || { check "replay: $name has expectations" yes no; continue; }
    output=$(with_private_resolver "$copy" -REPLAY "$file" 2>"$work/stderr")
    check "replay: $name exits 0" 0 $?
    check "replay: $name" "${evtx_reports[$name]}" "$(replayed_reports <<<"$output")"
  done

  # A list stored in the settings and one given beside the switch, for this run only.
  registry add "$key" /v IgnoreUsers /t REG_MULTI_SZ /d 'example\administrator' /f >/dev/null
  before=$(registry query "$key")
  output=$(with_private_resolver "$copy" -REPLAY "$extra/wmi_target_host_4624.evtx" 2>"$work/stderr")
  check "replay: a stored list passes its account over" "logon EXAMPLE\\user01 - 10.0.2.17" \
    "$(replayed_reports <<<"$output")"
  check "replay: the records passed over and why" "2 3 4" \
    "$(grep ': passed over: Do_EVENT_ACCOUNT_LOGON: Passed over by IgnoreUsers entry "example\\administrator"' <<<"$output" | sed -E 's/^Record ([0-9]+) .*/\1/' | paste -sd' ')"
  output=$(with_private_resolver "$copy" -REPLAY "$extra/wmi_target_host_4624.evtx" -IGNORE_USERS 'user0?' \
    -EXCLUDE_NETWORKS 10.0.0.0/8 2>"$work/stderr")
  check "replay: lists beside the switch are tried" "0 4" \
    "$(replayed_reports <<<"$output" | grep -c .) $(grep -c 'Passed over by ExcludeNetworks entry "10.0.0.0/8"' <<<"$output")"
  check "replay: nothing is stored" "$before" "$(registry query "$key")"
  check "replay: no statistics, no service log" "no no" \
    "$(registry query "$key\\Statistics" >/dev/null 2>&1 && echo yes || echo no) $([ -e "$log" ] && echo yes || echo no)"
  check "replay: its own log" yes "$([ -s "$work/QuorvaneReplay.log" ] && echo yes || echo no)"

  with_private_resolver "$copy" -REPLAY "$work/missing.evtx" >/dev/null 2>"$work/stderr"
  check "replay: an unreadable file exits 1 and says so" "1 1" "$? $(grep -c 'Unable to read the exported log' "$work/stderr")"
}

# The dry run's report lines as "kind user computer address" ("-" for no computer).
replayed_reports() {
  sed -n -E 's/^Record [0-9]+ \([^)]*\): (logon|logoff|heartbeat), User name = "(.*)", Computer name = "(.*)", IP address = "(.*)"$/\1 \2 \3 \4/p' |
    sed -E 's/^([a-z]+ [^ ]+)  /\1 - /' | paste -sd'|'
}

restart() {
  local address=127.0.0.64
  start_server $address
  set_value IdentServer REG_SZ $address
  write_account_logon zoe CORP 10.0.0.99 PC1
  start_agent
  check "restart: a first start begins at the end and says why" "1 0" \
    "$(count_lines 'No reading position was kept by an earlier run; starting at the end') $(request_count $address)"
  write_account_logon alice CORP 10.0.0.5 PC5
  wait_for_requests $address 1 20
  stop_agent

  # Written while the agent is stopped: one logon now, one older than the logon time-to-live.
  write_account_logon bob CORP 10.0.0.6 PC6
  qvevt_options="--time $(( $(date +%s) - 13 * 60 ))" write_account_logon carol CORP 10.0.0.7 PC7
  write_account_logon dave CORP 10.0.0.8 PC8
  start_agent
  wait_for_requests $address 3 20
  sleep 0.5
  check "restart: what was written meanwhile is reported, unless older than the time-to-live" \
    "logon CORP\\alice CORP\\PC5 10.0.0.5|logon CORP\\bob CORP\\PC6 10.0.0.6|logon CORP\\dave CORP\\PC8 10.0.0.8" \
    "$(requests $address | paste -sd'|')"
  check "restart: it read on from its place" "1 1" \
    "$(count_lines 'where reading stopped before the restart') $(count_lines '1 older than the logon time-to-live passed over')"
  stop_agent

  # Cleared while stopped: the place is gone, and the new log is read from its end.
  "$qvevt" clear >/dev/null
  write_account_logon erin CORP 10.0.0.9 PC9
  start_agent
  write_account_logon frank CORP 10.0.0.10 PC10
  wait_for_requests $address 4 20
  sleep 0.5
  check "restart: a cleared log begins at the end and says why" "1 logon CORP\\frank CORP\\PC10 10.0.0.10" \
    "$(count_lines 'it was cleared; starting at its end') $(requests $address | tail -n 1)"
  stop_agent
}

burst() {
  local address=127.0.0.65 took before
  # The server answers the second request only after 30 s: the logoff in the middle of the backlog.
  start_server $address --delay-ms 30000 --misbehave-after 1 --misbehave-count 1
  set_value IdentServer REG_SZ $address
  start_agent
  stop_agent
  # 25,000 repeat logons of one user (the first is reported, the rest renew it), another user at
  # the same address (the first's logoff, held by the server), 25,000 repeats of that user, and
  # one logon elsewhere.
  qvevt_options="--repeat 25000" write_account_logon alice CORP 10.0.0.5 PC5
  qvevt_options="--repeat 25000" write_account_logon bob CORP 10.0.0.5 PC5
  write_account_logon omega CORP 10.0.0.6 PC6
  start_agent
  wait_for_line "IdentityReportLogoff" 120
  sleep 0.5
  took=$(terminate_agent)
  check "burst: stopped within 5000 ms (took $took ms) in the middle of the backlog" "yes 1 0" \
    "$([ "$took" -lt 5000 ] && echo yes) $(count_lines 'EVENT_LOG::Process: Stopped while catching up') $(count_lines 'Caught up')"
  check "burst: nothing reported after the stop line" 0 "$(reported_after_stop)"
  # The record whose report the stop cut short is the last one handed to a handler.
  check "burst: no record is handed on after the stop" "yes" \
    "$([ "$(count_lines 'the service is stopping; the request is not sent')" -le 1 ] && echo yes)"
  before=$(request_count $address)
  start_agent
  wait_for_requests $address $((before + 2)) 120
  sleep 0.5
  check "burst: the next start reads on from the place and reports the rest" \
    "1 logon CORP\\bob CORP\\PC5 10.0.0.5|logon CORP\\omega CORP\\PC6 10.0.0.6" \
    "$(count_lines 'where reading stopped before the restart') $(requests $address | tail -n 2 | paste -sd'|')"
  stop_agent
}

outage() {
  # shellcheck disable=SC1090
  source "$extra"
  local address=127.0.0.66 path=127.0.0.47:3269 relay_pid took pauses
  # The domain controller's name leads to the relay, so that its certificate still names it.
  echo "127.0.0.47 dc1.$QV_DC_DNS_DOMAIN" >>"$work/hosts"
  start_relay() {  # TARGET or nothing (a directory that accepts and never answers)
    rm -f "$work/relay.ready"
    "$relay" "$path" "$@" --ready-file "$work/relay.ready" &
    relay_pid=$!
    for _ in $(seq 1 50); do [ -f "$work/relay.ready" ] && return 0; sleep 0.1; done
  }
  stop_relay() { kill "$relay_pid" 2>/dev/null; wait "$relay_pid" 2>/dev/null; }
  # A setting written ends a pause of the look-ups: the directory is tried at once.
  poke_settings() { set_value Heartbeat REG_DWORD 30; sleep 0.5; }
  enriched() { grep "\"user_name\":\"$QV_DC_NETBIOS\\\\\\\\$1\"" "$work/requests.$address" | grep -c '"user_dn":"CN='; }
  start_server $address
  set_value IdentServer REG_SZ $address
  set_value AdGlobalCatalog REG_SZ "dc1.$QV_DC_DNS_DOMAIN:3269"
  set_value AdBindMethod REG_SZ LDAPS
  set_value AdCaFile REG_SZ "$QV_DC_CA_FILE"
  set_value AdUser REG_SZ "$QV_DC_NETBIOS\\alice"
  set_value AdPassword REG_SZ "$QV_DC_USER_PASSWORD"

  # A directory that accepts and never answers: a stop in the middle of the look-up.
  start_relay
  start_agent
  write_account_logon alice "$QV_DC_NETBIOS" 10.0.1.1 PC1
  wait_for_line "IdentityReportLogon:" 20
  sleep 1
  took=$(terminate_agent)
  check "outage: a stop in the middle of a hung look-up ends the agent within 5000 ms (took $took ms)" "yes 0 0" \
    "$([ "$took" -lt 5000 ] && echo yes) $(reported_after_stop) $(request_count $address)"

  # Still hung: the logon cut short is reported at the next start, and 100 more at once
  # without directory fields after one time limit; look-ups pause once.
  start_agent
  qvevt_options="--repeat 100" write_account_logon "h{#}" "$QV_DC_NETBIOS" "10.0.2.{#}" PC2
  wait_for_requests $address 101 60
  check "outage: hung: every logon reported, none with directory fields, one pause" "101 0 1" \
    "$(grep -c '"kind":"logon"' "$work/requests.$address") $(grep -c '"user_dn":"CN=' "$work/requests.$address") $(count_lines 'Directory look-ups pause for 30 seconds')"

  # Refused: nothing listens.
  stop_relay
  pauses=$(count_lines 'Directory look-ups pause for')
  poke_settings
  write_account_logon bob "$QV_DC_NETBIOS" 10.0.1.2 PC1
  wait_for_requests $address 102 20
  check "outage: refused: reported without directory fields, look-ups pause again" "0 $((pauses + 1))" \
    "$(enriched bob) $(count_lines 'Directory look-ups pause for')"

  # The directory is back: the next report is enriched, and the log says so once.
  start_relay "$QV_DC_ADDRESS:3269"
  poke_settings
  write_account_logon carol "$QV_DC_NETBIOS" 10.0.1.3 PC1
  wait_for_requests $address 103 20
  check "outage: back: enriched again, said once" "1 1" \
    "$(enriched carol) $(count_lines 'The directory answers again')"

  # The domain controller goes away under a TLS connection the agent holds (the agent was
  # started from a shell, where a write to a dead connection would end it), then comes back.
  stop_relay
  write_account_logon dave "$QV_DC_NETBIOS" 10.0.1.4 PC1
  wait_for_requests $address 104 30
  check "outage: gone: the agent lives and reports without directory fields" "yes 0" \
    "$(kill -0 "$agent" 2>/dev/null && echo yes) $(enriched dave)"
  start_relay "$QV_DC_ADDRESS:3269"
  poke_settings
  write_account_logon alice "$QV_DC_NETBIOS" 10.0.1.5 PC1
  wait_for_requests $address 105 20
  check "outage: back again: enriched" 1 "$(enriched alice)"
  stop_agent
  stop_relay
}

"$part"
echo "main job ($part): $failures failed"
[ "$failures" -eq 0 ]
