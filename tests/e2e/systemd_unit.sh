#!/usr/bin/env bash
# The systemd unit, checked by systemd's own tools without a running service manager:
# 'systemd-analyze verify' (which insists that the program exists, so it reads a copy whose
# program path names the program just built), and 'systemd-analyze security', whose exposure
# score must stay at 2.0 or lower ("OK").
# Usage: systemd_unit.sh UNIT PROGRAM [PATH_IN_UNIT]   (default /usr/sbin/Quorvane)
set -uo pipefail
unit=$1
program=$2
installed=${3:-/usr/sbin/Quorvane}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # description, expected, actual
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}

copy="$work/$(basename "$unit")"
sed "s|$installed|$program|g" "$unit" >"$copy"
output=$(systemd-analyze verify --man=no "$copy" 2>&1)
check "systemd-analyze verify passes" 0 $?
check "systemd-analyze verify has nothing to say" "" "$output"
[ -n "$output" ] && echo "$output"

systemd-analyze security --offline=true --threshold=20 --no-pager "$copy" >"$work/security.txt" 2>&1
check "exposure level 2.0 or lower" 0 $?
tail -1 "$work/security.txt"

echo "systemd unit: $failures failed"
[ "$failures" -eq 0 ]
