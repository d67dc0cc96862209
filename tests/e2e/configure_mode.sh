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

run -X -BOGUS
check "a bad switch exits 2" 2 $?
if [ "$platform" = posix ]; then
  check "the bad switch is quoted" 1 "$(grep -c 'Invalid command line argument:  "BOGUS"' "$work/stderr")"
fi

echo "configure mode: $failures failed"
[ "$failures" -eq 0 ]
