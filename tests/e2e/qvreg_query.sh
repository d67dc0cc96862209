#!/usr/bin/env bash
# qvreg query on a key with many values: it lists every value in the file's order and shows a
# value asked for by name with the spelling it is stored under. The key is read once per
# command, so a listing takes time in proportion to the key's size; the time limit only guards
# against going back to reading the whole file again for every value, which took minutes here.
# Usage: qvreg_query.sh QVREG
set -uo pipefail
qvreg=$1
failures=0
check() {
  if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}

QUORVANE_DATA_ROOT=$(mktemp -d /tmp/qv-qvreg-XXXXXX)
export QUORVANE_DATA_ROOT
trap 'rm -rf "$QUORVANE_DATA_ROOT"' EXIT
key='HKLM\SOFTWARE\Quorvane Test'
count=4000

"$qvreg" add "$key" /f >/dev/null
folder="$QUORVANE_DATA_ROOT/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Quorvane Test"
{
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane Test]\n'
  for ((i = 1; i <= count; i++)); do printf '"Value%04d"=dword:%08x\n' "$i" "$i"; done
} >"$folder/values.reg"

listing=$(timeout 60 "$qvreg" query "$key")
check "the listing succeeds in time" 0 $?
check "every value is listed" "$count" "$(grep -c '^    Value[0-9]* *REG_DWORD' <<<"$listing")"
check "in the file's order" "    Value0001    REG_DWORD    0x1|    Value4000    REG_DWORD    0xfa0" \
  "$(grep '^    Value' <<<"$listing" | sed -n '1p;$p' | paste -sd '|')"

one=$(timeout 60 "$qvreg" query "$key" /v VALUE3999)
check "one value succeeds in time" 0 $?
check "one value, shown as it is stored" "    Value3999    REG_DWORD    0xf9f" "$(grep '^    Value' <<<"$one")"

missing=$("$qvreg" query "$key" /v Nothing 2>&1)
check "a missing value fails" 1 $?
check "a missing value is named" 1 "$(grep -c 'ERROR: Cannot read the value "Nothing" of HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane Test\. .*Error code = 2\.' <<<"$missing")"

echo "qvreg query: $failures failed"
[ "$failures" -eq 0 ]
