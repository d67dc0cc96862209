#!/usr/bin/env bash
# qvsamba, the program, on a full disk while files are written beside its audit log (its own
# position file among them): a preloaded library (tools/qvsamba/tests/fault_shim.c) makes the
# Security log's appends fail with ENOSPC, then only the log's drop of its oldest records. A
# refused batch is tried again every 5 seconds, however busy the folder; a batch the log
# published before its drop failed is not written again; once the fault clears, each logon is
# in the log exactly once.
# Usage: qvsamba_disk_full.sh QVSAMBA QVEVT FAULT_SHIM
set -uo pipefail
qvsamba=$1
qvevt=$2
shim=$3
work=$(mktemp -d)
failures=0
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"' EXIT
check() {  # description, expected, actual
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}
export QUORVANE_DATA_ROOT=$work/data QVSAMBA_FAULT_FILE=$work/fault
folder=$work/samba
audit=$folder/auth_json_audit.log
mkdir -p "$folder"
: >"$audit"

logons() {  # first last: one authentication line each, for users u<first> to u<last>
  local i
  for i in $(seq "$1" "$2"); do
    printf '{"timestamp": "2026-12-08T11:16:18.487270+0000", "type": "Authentication", "Authentication": {"eventId": 4624, "logonId": "0", "logonType": 3, "status": "NT_STATUS_OK", "remoteAddress": "ipv4:10.0.0.1:45084", "serviceDescription": "SMB2", "authDescription": "NTLMSSP", "clientDomain": "QVCORP", "clientAccount": "u%d", "workstation": "VM", "becameAccount": "u%d", "becameDomain": "QVCORP", "becameSid": "S-1-5-21-1-2-3-1107", "passwordType": "NTLMv2"}}\n' "$i" "$i"
  done >>"$audit"
}
info() { "$qvevt" info | sed -n "s/^$1: *\([0-9]*\).*/\1/p"; }
wait_for_records() {  # count, seconds
  for _ in $(seq 1 $(($2 * 10))); do [ "$(info 'Next record')" -gt "$1" ] && return 0; sleep 0.1; done
  echo "  (the log holds $(($(info 'Next record') - 1)) records, not $1)"
  return 1
}
struck() { cat "$work/fault.count" 2>/dev/null | wc -l; }
plant() { rm -f "$work/fault.count"; echo "$1" >"$work/fault"; }

"$qvevt" max-size 32768 >/dev/null
plant "pwrite records ENOSPC beyond"
LD_PRELOAD=$shim ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
  "$qvsamba" --audit-log "$audit" --position "$folder/qvsamba.position" --computer dc1 2>"$work/qvsamba.err" &
pids+=($!)
qvsamba_pid=$!
for _ in $(seq 1 100); do grep -q "Following" "$work/qvsamba.err" && break; sleep 0.1; done
# Files written beside the audit log all along.
(i=0; while :; do echo $i >"$folder/neighbour.$((i % 20))"; i=$((i + 1)); sleep 0.01; done) &
pids+=($!)

# The appends fail: the same batch is tried again only after the wait.
logons 1 10
for _ in $(seq 1 100); do [ "$(struck)" -gt 0 ] && break; sleep 0.1; done
sleep 6.5
tries=$(struck)
check "a refused batch is tried every 5 seconds however busy the folder (2 tries in 6.5 s)" 2 "$tries"
check "nothing is in the log while appends fail" 1 "$(info 'Next record')"

# Only the drop of old records fails: the batches are in the log once each.
plant "pwrite .records.tmp ENOSPC"
for first in $(seq 11 10 241); do logons "$first" $((first + 9)); sleep 0.05; done
wait_for_records 250 30
check "the drop of old records failed while the folder was busy" yes "$([ "$(struck)" -gt 0 ] && echo yes || echo no)"
check "the failure after publishing is said once, as what it is" 1 \
  "$(grep -c 'took batch [0-9]*, then failed to drop its oldest records.*There is not enough space on the disk' "$work/qvsamba.err")"

# The fault clears.
rm -f "$work/fault"
logons 251 260
wait_for_records 260 30
sleep 1
check "every logon was appended once" 261 "$(info 'Next record')"
check "the log is back within its maximum size" yes "$([ "$(info 'Size')" -le 32768 ] && echo yes || echo no)"
"$qvevt" list | awk '/^String: 6\t/ {print $NF}' >"$work/users.txt"
kept=$(wc -l <"$work/users.txt")
check "the records kept are the newest logons, each once, in order" "$(seq $((261 - kept)) 260 | sed 's/^/u/' | paste -sd' ')" \
  "$(paste -sd' ' "$work/users.txt")"
check "said once that it works again" 1 "$(grep -c 'works normally again' "$work/qvsamba.err")"

kill -TERM "$qvsamba_pid"
wait "$qvsamba_pid"
check "qvsamba stops with 0" 0 $?
echo "qvsamba disk full: $failures failed"
[ "$failures" -eq 0 ] || { sed 's/^/  qvsamba: /' "$work/qvsamba.err" | tail -20; false; }
