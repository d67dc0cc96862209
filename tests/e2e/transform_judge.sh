#!/usr/bin/env bash
# The transforms that Linux writes, judged by Wine's installer engine: Setupsmith's own (in a
# neutral, a 1252 and a 1251 package), and one with every kind of change the writer handles
# (rows inserted, changed within and beyond what a change mask can name, deleted, a new table,
# integers and null fields, a text longer than 64 KiB, more texts than 16 bits number) written
# by qvmst. The Windows test program applies each with msi.dll and compares every table with
# the changed package.
# Usage: transform_judge.sh UNIT_TESTS SETUPSMITH QVMST PACKAGE   (SETUPSMITH and QVMST native)
set -uo pipefail
unit_tests=$(realpath "$1")
setupsmith=$(realpath "$2")
qvmst=$(realpath "$3")
package=$(realpath "$4")
wine_run=$(realpath "$(dirname "$0")/../../tools/wine-run")
work=$(mktemp -d)
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
cases="$work/cases"
mkdir "$cases"
cd "$cases" || exit 1
fail() { echo "FAILED: $*"; exit 1; }

# Setupsmith's transforms, with server texts that need care, in the code pages that hold them.
setupsmith_case() {  # case, code page (empty: the package's own), server
  cp "$package" "$1-before.msi"
  if [ -n "$2" ]; then
    printf '\r\n\r\n%s\t_ForceCodepage\r\n' "$2" >_ForceCodepage.idt
    msibuild "$1-before.msi" -i _ForceCodepage.idt || fail "msibuild (code page $2)"
  fi
  "$setupsmith" /I "$1-before.msi" /SERVER "$3" >/dev/null || fail "Setupsmith exited with $?"
  mv "$1-before_Modified.msi" "$1-after.msi"
  mv "$1-before.mst" "$1.mst"
}
setupsmith_case setupsmith "" "dc1's \"dc\"; DROP TABLE \`Property\` -- ' OR '1'='1"
setupsmith_case setupsmith-1252 1252 "Zürich's \"dc\"; ü€"
setupsmith_case setupsmith-1251 1251 "dc1-Москва"

# Every kind of change.
cp "$package" rows-before.msi
columns=$(for i in $(seq 2 17); do printf '`C%d` SHORT, ' "$i"; done)
msibuild rows-before.msi \
  -q "CREATE TABLE \`Wide\` (\`Key\` CHAR(16) NOT NULL, ${columns}\`Last\` CHAR(32) PRIMARY KEY \`Key\`)" \
  -q "INSERT INTO \`Wide\` (\`Key\`, \`C2\`, \`C17\`, \`Last\`) VALUES ('a', -5, 7, 'first')" \
  -q "INSERT INTO \`Wide\` (\`Key\`, \`C3\`, \`Last\`) VALUES ('b', 3, 'second')" \
  -q "INSERT INTO \`Wide\` (\`Key\`, \`C17\`, \`Last\`) VALUES ('c', 1, 'third')" || fail "msibuild (before)"
cp rows-before.msi rows-after.msi
long=$(head -c 70000 /dev/zero | tr '\0' 'x')
msibuild rows-after.msi \
  -q "UPDATE \`Property\` SET \`Value\` = '9.8.7' WHERE \`Property\` = 'ProductVersion'" \
  -q "DELETE FROM \`Property\` WHERE \`Property\` = 'ALLUSERS'" \
  -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('LONGTEXT', '$long')" \
  -q "UPDATE \`Wide\` SET \`Last\` = 'changed beyond the mask' WHERE \`Key\` = 'a'" \
  -q "UPDATE \`Wide\` SET \`C2\` = 32000, \`C3\` = -32000 WHERE \`Key\` = 'b'" \
  -q "UPDATE \`Wide\` SET \`C17\` = 2 WHERE \`Key\` = 'c'" \
  -q "CREATE TABLE \`Extra\` (\`Id\` LONG NOT NULL, \`Note\` CHAR(0), \`Flag\` SHORT PRIMARY KEY \`Id\`)" \
  -q "INSERT INTO \`Extra\` (\`Id\`, \`Note\`, \`Flag\`) VALUES (-2147483647, 'negative', 1)" \
  -q "INSERT INTO \`Extra\` (\`Id\`, \`Note\`) VALUES (2147483647, 'no flag')" || fail "msibuild (after)"
# More texts than 16 bits number: every reference to a text in the transform takes 3 bytes.
{ printf 'Key\tNote\r\ns72\tI2\r\nMany\tKey\r\n'; seq -f 'text%05g' 0 65999 | sed 's/$/\t7\r/'; } >Many.idt
msibuild rows-after.msi -i Many.idt || fail "msibuild (many texts)"
"$qvmst" rows-after.msi rows-before.msi rows.mst || fail "qvmst exited with $?"

export QV_JUDGE_DIR="Z:${cases//\//\\}"
"$wine_run" "$unit_tests" --gtest_color=no --gtest_filter='InstallerTransformJudge.*'
