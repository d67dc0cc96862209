#!/usr/bin/env bash
# Configure mode end to end, on the real settings store: the program stores its command-line
# settings and exits 0; a missing settings key exits 3; a bad command line exits 2 and says
# which argument. Usage: configure_mode.sh PROGRAM posix QVREG | configure_mode.sh PROGRAM windows
set -uo pipefail
program=$1
platform=$2
qvreg=${3:-}
source "$(dirname "$0")/program_under_test.sh"
trap cleanup_work EXIT
[ "$platform" = posix ] || registry delete "$key" /f >/dev/null 2>&1

run -X -SERVER host
check "a missing settings key exits 3" 3 $?

registry add "$key" /f >/dev/null
run -X -SERVER idserver.example -PROTOCOL TCPS -AD_SERVER dc1
check "configure mode exits 0" 0 $?
query=$(registry query "$key")
check "IdentServer stored" 1 "$(grep -c 'IdentServer *REG_SZ *idserver.example' <<<"$query")"
check "IdentProtocol stored" 1 "$(grep -c 'IdentProtocol *REG_DWORD *0x1' <<<"$query")"
check "AdServer stored" 1 "$(grep -c 'AdServer *REG_SZ *dc1' <<<"$query")"

log="$work/Quorvane.log"
check "the log file is written beside the program" yes "$([ -f "$log" ] && echo yes || echo no)"
check "the log names the stored server" 1 "$(grep -c 'Identity server = "idserver.example" (/SERVER)' "$log" 2>/dev/null)"
check "the log names the protocol" 1 "$(grep -c 'Identity protocol = secure TCP (/PROTOCOL)' "$log" 2>/dev/null)"
check "the Settings thread started and stopped" 2 "$(grep -c -E 'Settings thread (started|normal exit)' "$log" 2>/dev/null)"

run -X -AD_SERVER ""
check "an empty AD server is accepted" 0 $?
check "an empty AD server deletes the value" 0 "$(registry query "$key" | grep -c AdServer)"

# The filter lists, stored as REG_MULTI_SZ from a list separated by semicolons; empty deletes.
run -X -IGNORE_USERS 'svc_*; CORP\backup' -EXCLUDE_NETWORKS 10.9.0.0/16
check "filter lists are stored" "0 1 1" \
  "$? $(registry query "$key" | grep -c 'IgnoreUsers *REG_MULTI_SZ *svc_\*\\0CORP\\backup$') $(registry query "$key" | grep -c 'ExcludeNetworks *REG_MULTI_SZ *10.9.0.0/16$')"
run -X -IGNORE_USERS ""
check "an empty list deletes it" 0 "$(registry query "$key" | grep -c IgnoreUsers)"

# The dry run stores nothing, and says when it cannot read its file (the Windows build reads no
# exported logs yet).
before=$(registry query "$key")
run -REPLAY "$work/missing.evtx" -IGNORE_USERS x
check "a dry run without its file exits 1" 1 $?
check "a dry run stores nothing" "$before" "$(registry query "$key")"
if [ "$platform" = posix ]; then
  check "a dry run says why" 1 "$(grep -c 'Unable to read the exported log' "$work/stderr")"
else
  check "a dry run says why" 1 "$(grep -c 'not available in the Windows build yet' "$work/QuorvaneReplay.log")"
fi

run -X -BOGUS
check "a bad switch exits 2" 2 $?
if [ "$platform" = posix ]; then
  check "the bad switch is quoted" 1 "$(grep -c 'Invalid command line argument:  "BOGUS"' "$work/stderr")"
fi

echo "configure mode: $failures failed"
[ "$failures" -eq 0 ]
