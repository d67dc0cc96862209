#!/usr/bin/env bash
# The Debian package on this machine, with dpkg: install, upgrade, remove and purge. The
# packages are made by CPack from the build tree given (release 1, then release 2 of the same
# version for the upgrade). Needs root; runs one at a time on a machine (a lock file), and
# leaves the machine as it found it.
# Usage: debian_package.sh BUILD_DIR
set -uo pipefail
build=$1
work=$(mktemp -d)
failures=0
created_user=
cleanup() {
  dpkg-query -W quorvane >/dev/null 2>&1 && dpkg_retry --purge quorvane >/dev/null 2>&1
  [ -n "$created_user" ] && userdel quorvane 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
check() {  # description, expected, actual
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null || ! command -v cpack >/dev/null; then
  echo "skipped: installing a package needs root, dpkg and cpack"
  exit 0
fi
exec 9>/tmp/quorvane-debian-package.lock
flock 9
if dpkg-query -W quorvane >/dev/null 2>&1; then
  echo "skipped: quorvane is installed on this machine already; this test would replace it"
  exit 0
fi
getent passwd quorvane >/dev/null || created_user=yes

# dpkg waits for nobody: another installation at the same moment is waited for here.
dpkg_retry() {
  local status
  for _ in $(seq 1 120); do
    dpkg "$@" >"$work/dpkg.out" 2>&1
    status=$?
    grep -q 'lock' "$work/dpkg.out" || { cat "$work/dpkg.out"; return $status; }
    sleep 1
  done
  cat "$work/dpkg.out"
  return $status
}
key='HKLM\SOFTWARE\Tarnwell Systems\Quorvane'
qvreg() { QUORVANE_DATA_ROOT=/var/lib/quorvane /usr/sbin/qvreg "$@"; }
wants=/etc/systemd/system/multi-user.target.wants

for release in 1 2; do
  cpack --config "$build/CPackConfig.cmake" -B "$work/r$release" -D CPACK_DEBIAN_PACKAGE_RELEASE=$release \
    >"$work/cpack.out" 2>&1 || { cat "$work/cpack.out"; exit 1; }
done
first=$(ls "$work"/r1/quorvane_*.deb)
second=$(ls "$work"/r2/quorvane_*.deb)

dpkg_retry -i "$first" >"$work/install.out"
check "install: dpkg succeeds" "0" "$?"
check "install: nothing said but dpkg's and systemd's own" "" \
  "$(grep -vE '^(Selecting|\(Reading|Preparing|Unpacking|Setting up|Processing|Created symlink)' "$work/install.out")"
check "install: the programs" "ok ok ok ok" "$(for p in Quorvane qvreg qvevt qvsamba; do [ -x /usr/sbin/$p ] && echo ok; done | paste -sd' ')"
check "install: the agent's log goes beside it, in /opt/quorvane" "/opt/quorvane/Quorvane root:quorvane 775" \
  "$(readlink /usr/sbin/Quorvane) $(stat -c '%U:%G %a' /opt/quorvane)"
check "install: the service's user and its data root" "quorvane:quorvane 750" "$(stat -c '%U:%G %a' /var/lib/quorvane)"
check "install: the settings key" "0" "$(qvreg query "$key" >/dev/null; echo $?)"
check "install: both units, enabled" "quorvane.service qvsamba.service" \
  "$(basename -a "$wants"/quorvane.service "$wants"/qvsamba.service 2>/dev/null | paste -sd' ')"
check "install: the units are the package's" "/lib/systemd/system/quorvane.service /lib/systemd/system/qvsamba.service" \
  "$(readlink "$wants"/quorvane.service) $(readlink "$wants"/qvsamba.service)"
check "install: a man page for each command" "4" \
  "$(for p in Quorvane qvreg qvevt qvsamba; do gzip -t /usr/share/man/man8/$p.8.gz && echo; done 2>/dev/null | wc -l)"
check "install: qvsamba --help" "0" "$(/usr/sbin/qvsamba --help >/dev/null; echo $?)"

# What the site put there survives an upgrade.
qvreg add "$key" /v IdentServer /t REG_SZ /d idserver.example /f >/dev/null
QUORVANE_DATA_ROOT=/var/lib/quorvane runuser -u quorvane -- /usr/sbin/qvevt write --id 4624 -- S-1-0-0 >/dev/null
dpkg_retry -i "$second" >/dev/null
check "upgrade: dpkg succeeds" "0" "$?"
check "upgrade: the new release" "1.2.5.26-2" "$(dpkg-query -W -f='${Version}' quorvane)"
check "upgrade: the settings and the Security log are kept" "idserver.example 1" \
  "$(qvreg query "$key" /v IdentServer | awk '/IdentServer/ {print $3}') $(QUORVANE_DATA_ROOT=/var/lib/quorvane /usr/sbin/qvevt info | awk '/^Records:/ {print $2}')"

dpkg_retry --remove quorvane >/dev/null
check "remove: dpkg succeeds" "0" "$?"
check "remove: the programs go, the data root stays" "no yes" \
  "$([ -e /usr/sbin/qvsamba ] && echo yes || echo no) $([ -d /var/lib/quorvane ] && echo yes || echo no)"
dpkg_retry --purge quorvane >/dev/null
check "purge: dpkg succeeds" "0" "$?"
check "purge: the data root, the log folder and the units' links are gone" "no no no" \
  "$([ -e /var/lib/quorvane ] && echo yes || echo no) $([ -e /opt/quorvane ] && echo yes || echo no) $([ -e "$wants"/quorvane.service ] && echo yes || echo no)"
check "purge: dpkg knows nothing of it" "1" "$(dpkg-query -W quorvane >/dev/null 2>&1; echo $?)"

echo "debian package: $failures failed"
[ "$failures" -eq 0 ]
