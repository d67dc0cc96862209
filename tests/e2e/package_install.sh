#!/usr/bin/env bash
# The deployment path under Wine, in a Wine prefix of its own: the product's package installs
# with SERVER on the command line (programs in place, service registered, identity server and
# event source in the registry), removes itself again, refuses to install without a server,
# and installs with the transform that the Linux Setupsmith writes, taking the identity server
# from it: Wine's own installer engine judges the transform.
# Usage: package_install.sh PACKAGE SETUPSMITH   (SETUPSMITH native)
set -uo pipefail
package=$(realpath "$1")
setupsmith=$(realpath "$2")
work=$(mktemp -d)
failures=0
export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
check() {  # description, expected, actual
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}
wine_run=$(realpath "$(dirname "$0")/../../tools/wine-run")
settings='HKLM\SOFTWARE\Tarnwell Systems\Quorvane'
service='HKLM\SYSTEM\CurrentControlSet\Services\Quorvane'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorvane'
folder="$WINEPREFIX/drive_c/Program Files/Tarnwell Systems/Quorvane"

wineboot --init >/dev/null 2>&1
# A persistent server: otherwise a service started by the installer dies with the installer.
wineserver -p
cd "$work" || exit 1
cp "$package" Quorvane_Setupx64.msi
# The package starts the service when it installs it. Wine's installer engine fails its
# StartServices action for this service (Wine's sc starts it, see tests/e2e/service_wine.sh),
# and a failed start rolls the installation back, so the copy installed
# here registers the service without starting it: every other action of the package runs as
# shipped.
check "the package starts the service at install" 163 \
  "$(msiinfo export Quorvane_Setupx64.msi ServiceControl | tr -d '\r' | awk -F'\t' '$1 == "QuorvaneServiceControl" {print $3}')"
msibuild Quorvane_Setupx64.msi -q "UPDATE \`ServiceControl\` SET \`Event\` = 162 WHERE \`ServiceControl\` = 'QuorvaneServiceControl'"

msiexec() { "$wine_run" msiexec "$@" >/dev/null 2>&1; }
value() {  # key, value name: the value's data as reg shows it
  "$wine_run" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

msiexec /i Quorvane_Setupx64.msi /qn SERVER=127.0.0.1
check "the package installs with SERVER given" 0 $?
check "the programs are in place" "yes yes" \
  "$([ -f "$folder/Quorvane.exe" ] && echo yes) $([ -f "$folder/Setupsmith.exe" ] && echo yes)"
check "IdentServer holds the server" 127.0.0.1 "$(value "$settings" IdentServer)"
check "the service is registered" 'C:\Program Files\Tarnwell Systems\Quorvane\Quorvane.exe' \
  "$(value "$service" ImagePath | tr -d '"')"
check "the service starts automatically" 0x2 "$(value "$service" Start)"
check "the event source names the program" 'C:\Program Files\Tarnwell Systems\Quorvane\Quorvane.exe' \
  "$(value "$source_key" EventMessageFile)"
check "the event source supports three types" 0x7 "$(value "$source_key" TypesSupported)"

msiexec /x Quorvane_Setupx64.msi /qn
check "the package removes itself" 0 $?
check "the service is gone" "" "$(value "$service" ImagePath)"
check "IdentServer is gone" "" "$(value "$settings" IdentServer)"

msiexec /i Quorvane_Setupx64.msi /qn
# 1603, which Wine hands on cut to 8 bits.
check "without a server the package doesn't install" 67 $?
check "nothing was written" "" "$(value "$settings" IdentServer)"

"$setupsmith" /I Quorvane_Setupx64.msi /SERVER 127.0.0.2 >/dev/null
check "Setupsmith writes the transform" 0 $?
msiexec /i Quorvane_Setupx64.msi TRANSFORMS=Quorvane_Setupx64.mst /qn
check "the package installs with the transform" 0 $?
check "IdentServer comes from the transform" 127.0.0.2 "$(value "$settings" IdentServer)"
check "the service is registered" yes "$([ -n "$(value "$service" ImagePath)" ] && echo yes)"

echo "package install: $failures failed"
[ "$failures" -eq 0 ]
