#!/usr/bin/env bash
# The Samba source end to end: real logons at the Samba AD domain controller (LDAP simple
# binds, SMB with NTLM, Kerberos with kinit, each from a loopback address of its own) go
# through Samba's JSON audit log, qvsamba and the Security log to the agent, and the
# reference identity server receives exactly the identities the logons call for, also across
# a rotation of the audit log whose reopen comes late. Reverse look-ups go to the test's own
# hosts file (see main_job.sh).
# Usage: samba_source.sh PROGRAM SERVER_PROGRAM QVREG QVEVT QVSAMBA NOTIFY_RECORDER SOURCE_ADDRESS_LIB DC_ENV
set -uo pipefail
program=$1
server=$2
qvreg=$3
qvevt=$4
qvsamba=$5
recorder=$6
source_address=$7
dc_env=$8
platform=posix
pids=()
source "$(dirname "$0")/program_under_test.sh"
trap 'for p in "${pids[@]}" ${agent:-} ${samba_source:-}; do kill "$p" 2>/dev/null; done; cleanup_work' EXIT
source "$(dirname "$0")/private_resolver.sh"
# shellcheck disable=SC1090
source "$dc_env"
export KRB5_CONFIG=$QV_DC_KRB5_CONFIG KRB5CCNAME=FILE:$work/client.ccache
address=127.0.0.65

private_hosts <<'HOSTS'
127.0.0.1 localhost
127.0.0.73 pc73.corp.example.test
127.0.0.82 pc82.corp.example.test
127.0.0.83 pc83.corp.example.test
HOSTS

set_value() { registry add "$key" /v "$1" /t "$2" /d "$3" /f >/dev/null; }
wait_for_line() {  # file, text, seconds
  for _ in $(seq 1 $(($3 * 10))); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "  (never showed in $(basename "$1"): $2)"
  return 1
}
requests() { request_lines "$work/requests"; }
wait_for_requests() {  # count, seconds
  for _ in $(seq 1 $(($2 * 10))); do [ "$(wc -l <"$work/requests" 2>/dev/null || echo 0)" -ge "$1" ] && return 0; sleep 0.1; done
  return 1
}
# Each logon from its own source address (the preloaded library binds the client's sockets).
from() { local source=$1; shift; LD_PRELOAD=$source_address QV_SOURCE_ADDRESS=$source "$@" >/dev/null 2>&1; }
simple_bind() { from "$2" ldapwhoami -x -H "$QV_DC_LDAP_URL" -D "$1@$QV_DC_DNS_DOMAIN" -w "${3:-$QV_DC_USER_PASSWORD}"; }
smb_logon() { from "$2" smbclient -L "//$QV_DC_ADDRESS" -n "$3" -U "$QV_DC_NETBIOS\\$1%$QV_DC_USER_PASSWORD"; }
kerberos_logon() { echo "$QV_DC_USER_PASSWORD" | from "$2" kinit "$1@$QV_DC_REALM"; }

ready_count() { grep -c '^READY=1' "$work/notify.txt" 2>/dev/null; }
start_samba_source() {  # and wait until this run has said it is ready
  local before
  before=$(ready_count)
  NOTIFY_SOCKET=$work/notify.sock "$qvsamba" --audit-log "$QV_DC_AUTH_LOG" --computer "dc1.$QV_DC_DNS_DOMAIN" \
    2>>"$work/qvsamba.err" &
  samba_source=$!
  for _ in $(seq 1 200); do [ "$(ready_count)" -gt "${before:-0}" ] && return 0; sleep 0.1; done
  echo "  (qvsamba never said it was ready)"
}
stop_samba_source() {
  kill -TERM "$samba_source"
  wait "$samba_source"
  check "qvsamba stops with 0 on SIGTERM" 0 $?
  unset samba_source
}

"$server" --address $address --ready-file "$work/ready" --record "$work/requests" >"$work/server.out" 2>&1 &
pids+=($!)
"$recorder" "$work/notify.sock" "$work/notify.txt" &
pids+=($!)
wait_for_line "$work/ready" "" 10
registry add "$key" /f >/dev/null
set_value IdentServer REG_SZ $address
set_value IdentProtocol REG_DWORD 2
set_value AdGlobalCatalog REG_SZ "$QV_DC_ADDRESS"
set_value AdKeytab REG_SZ "$QV_DC_KEYTAB"
set_value AdUser REG_SZ "$QV_DC_MACHINE_ACCOUNT"

start_samba_source
with_private_resolver "$copy" -A 2>"$work/stderr" &
agent=$!
wait_for_line "$log" "Processing Security event log" 20
sleep 0.3

simple_bind alice 127.0.0.71                      # a cleartext logon (type 8): not a user's logon
smb_logon bob 127.0.0.72 PC72                     # NTLM over SMB
kerberos_logon carol 127.0.0.73                   # Kerberos; its computer from the hosts file
simple_bind dave 127.0.0.74 wrong-password        # a failed logon (4625)
KRB5CCNAME=FILE:$work/dc.ccache from 127.0.0.75 kinit -k -t "$QV_DC_KEYTAB" "$QV_DC_MACHINE_ACCOUNT"  # the DC's own account
smb_logon alice 127.0.0.72 PC72                   # another user at bob's address: bob is logged off first
wait_for_requests 4 30
wait_for_line "$log" 'ignoring; computer name "DC1$"' 10

# A stop and a restart of the source: a logon made meanwhile is reported, once.
stop_samba_source
smb_logon dave 127.0.0.76 PC76
start_samba_source
wait_for_requests 5 30
sleep 2  # and nothing more
check "the identities the logons call for, and no others" \
  "logon QVCORP\\bob QVCORP\\PC72 127.0.0.72|logon QVCORP\\carol QVCORP\\pc73 127.0.0.73|logoff QVCORP\\bob QVCORP\\PC72 127.0.0.72|logon QVCORP\\alice QVCORP\\PC72 127.0.0.72|logon QVCORP\\dave QVCORP\\PC76 127.0.0.76" \
  "$(requests | paste -sd'|')"
# The domain controller makes a simple bind's cleartext logon itself, as SYSTEM.
check "the simple bind was read and left out" 1 \
  "$(grep -c 'Ignoring proxied logon, Subject User SID = "S-1-5-18", User name = "alice"' "$log")"

# The audit log rotated by renaming, with the reopen late: Samba's connection processes (smbd)
# write the new file at once, its main process (the KDC) the renamed one until it reopens its
# logs, on SIGHUP or when it next looks at its log's name, which it does only every hundred
# messages (counted afresh after a reopen, so a reopen and a bind first make the count small).
# qvsamba is restarted between the writes into the two files.
samba_pid=$(cat "$(dirname "$QV_DC_AUTH_LOG")/samba.pid")
kill -HUP "$samba_pid"
simple_bind alice 127.0.0.80
wait_for_line "$QV_DC_AUTH_LOG" "ipv4:127.0.0.80:" 10
mv "$QV_DC_AUTH_LOG" "$QV_DC_AUTH_LOG.1"
smb_logon bob 127.0.0.81 PC81
wait_for_line "$QV_DC_AUTH_LOG" "ipv4:127.0.0.81:" 10
stop_samba_source
sleep 3
start_samba_source
kerberos_logon carol 127.0.0.82
wait_for_line "$QV_DC_AUTH_LOG.1" "ipv4:127.0.0.82:" 10
check "the SMB logon went into the new audit log, the Kerberos logon into the renamed one" "yes yes" \
  "$(grep -q 'ipv4:127.0.0.81:' "$QV_DC_AUTH_LOG" && echo yes) $(grep -q 'ipv4:127.0.0.82:' "$QV_DC_AUTH_LOG.1" && echo yes)"
sleep 4  # the reopen, seconds late
kill -HUP "$samba_pid"
sleep 1
kerberos_logon dave 127.0.0.83
wait_for_line "$QV_DC_AUTH_LOG" "ipv4:127.0.0.83:" 10
wait_for_requests 8 30
sleep 1
check "the logons on both sides of the late reopen are reported" \
  "logon QVCORP\\bob QVCORP\\PC81 127.0.0.81|logon QVCORP\\carol QVCORP\\pc82 127.0.0.82|logon QVCORP\\dave QVCORP\\pc83 127.0.0.83" \
  "$(requests | tail -n +6 | paste -sd'|')"

# The Security log holds each of this test's logons once (other tests may use the same domain
# controller meanwhile, from other addresses), the failure as 4625.
"$qvevt" list >"$work/security.txt"
awk '/^Event identifier/ {event = $NF; n = 0} /^String: / {n++; s[n] = $NF}
     /^$/ && event == "(4624)" && s[19] ~ /^127\.0\.0\.[78]/ {print "4624", s[6], s[19], s[20]}
     /^$/ && event == "(4625)" && s[20] ~ /^127\.0\.0\.[78]/ {print "4625", s[6], s[20], s[21]}' \
  "$work/security.txt" >"$work/our_records.txt"
check "Security log: each logon once" "$(sort -u "$work/our_records.txt" | wc -l)" "$(wc -l <"$work/our_records.txt")"
check "Security log: the logons of this test" \
  "4624 DC1\$ 127.0.0.75|4624 alice 127.0.0.71|4624 alice 127.0.0.72|4624 alice 127.0.0.80|4624 bob 127.0.0.72|4624 bob 127.0.0.81|4624 carol 127.0.0.73|4624 carol 127.0.0.82|4624 dave 127.0.0.76|4624 dave 127.0.0.83|4625 dave@$QV_DC_DNS_DOMAIN 127.0.0.74" \
  "$(cut -d' ' -f1-3 "$work/our_records.txt" | sort -u | paste -sd'|')"
stop_samba_source
check "qvsamba told the service manager it was ready and stopping" "3 3" \
  "$(grep -c '^READY=1' "$work/notify.txt") $(grep -c '^STOPPING=1' "$work/notify.txt")"
check "qvsamba found nothing malformed" 0 "$(grep -c 'Skipping' "$work/qvsamba.err")"

set_value Shutdown REG_DWORD 1
wait "$agent" 2>/dev/null
unset agent
echo "samba source: $failures failed"
[ "$failures" -eq 0 ]
