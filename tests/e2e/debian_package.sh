#!/usr/bin/env bash
# The Debian package on this machine, with dpkg: built as it ships (its own optimised, hardened
# build tree below BUILD_DIR), checked by lintian and by looking at every shipped program, then
# installed, attacked as the service's account would, upgraded, removed and purged. Release 1,
# then release 2 of the same version for the upgrade. Needs root; runs one at a time on a
# machine (a lock file), and leaves the machine as it found it.
# Usage: debian_package.sh SOURCE_DIR BUILD_DIR NOTIFY_RECORDER
set -uo pipefail
source_dir=$1
build=$2
recorder=$3
package_build="$build/debian-package"
work=$(mktemp -d)
failures=0
created_user=
installed=
cleanup() {
  [ -n "$installed" ] && dpkg-query -W quorvane >/dev/null 2>&1 && dpkg_retry --purge quorvane >/dev/null 2>&1
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

# The package's own build: the programs as they ship, not the test build's sanitized ones.
launcher=$(sed -n 's/^CMAKE_CXX_COMPILER_LAUNCHER:[A-Z]*=//p' "$build/CMakeCache.txt")
for release in 1 2; do
  cmake -S "$source_dir" -B "$package_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF \
    -DQV_DEBIAN_PACKAGE=ON -DQV_PACKAGE_RELEASE=$release ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} \
    ${launcher:+-DCMAKE_C_COMPILER_LAUNCHER=$launcher} >"$work/cmake.out" 2>&1 || { cat "$work/cmake.out"; exit 1; }
  nice -n 10 cmake --build "$package_build" -j 2 --target Quorvane qvreg qvevt qvsamba package_docs \
    >"$work/build.out" 2>&1 || { tail -50 "$work/build.out"; exit 1; }
  (cd "$package_build" && cpack --config CPackConfig.cmake -B "$work/r$release") >"$work/cpack.out" 2>&1 ||
    { cat "$work/cpack.out"; exit 1; }
done
first=$(ls "$work"/r1/quorvane_*.deb)
second=$(ls "$work"/r2/quorvane_*.deb)

# --- the package as a file ----------------------------------------------------------------------
lintian --fail-on error,warning "$first" >"$work/lintian.out" 2>&1
check "lintian: no errors and no warnings" "0 " \
  "$? $(grep -E '^[EW]: ' "$work/lintian.out" | paste -sd' ')"
check "the control file: the GSSAPI SASL module is a dependency" 1 \
  "$(dpkg-deb -f "$first" Depends | grep -c 'libsasl2-modules-gssapi-mit')"
dpkg-deb -x "$first" "$work/content"
check "copyright and changelog" "ok ok" \
  "$(for f in copyright changelog.Debian.gz; do [ -s "$work/content/usr/share/doc/quorvane/$f" ] && echo ok; done | paste -sd' ')"
check "debug symbols in their own package" 1 "$(ls "$work"/r1/quorvane-dbgsym_*.ddeb 2>/dev/null | wc -l)"
# Each shipped program: stripped, position-independent, relocations read-only (RELRO) and
# bound at start (BIND_NOW), and calling the fortified C library functions.
for program in Quorvane qvreg qvevt qvsamba; do
  binary="$work/content/usr/sbin/$program"
  check "$program: stripped, PIE, RELRO, BIND_NOW, fortified" "0 1 1 1 yes" \
    "$(readelf -SW "$binary" | grep -cE '\.symtab|\.debug_') $(readelf -dW "$binary" | grep -c 'FLAGS_1.*PIE') \
$(readelf -lW "$binary" | grep -c GNU_RELRO) $(readelf -dW "$binary" | grep -c 'FLAGS_1.*NOW') \
$([ "$(readelf --dyn-syms -W "$binary" | grep -cE ' __[a-z0-9_]+_chk(@|$)')" -gt 0 ] && echo yes || echo no)"
done

# --- installed ----------------------------------------------------------------------------------
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
as_service() { runuser -u quorvane -- "$@"; }
wants=/etc/systemd/system/multi-user.target.wants

installed=yes
dpkg_retry -i "$first" >"$work/install.out"
check "install: dpkg succeeds" "0" "$?"
check "install: nothing said but dpkg's and systemd's own" "" \
  "$(grep -vE '^(Selecting|\(Reading|Preparing|Unpacking|Setting up|Processing|Created symlink)' "$work/install.out")"
check "install: the programs, root's alone" "root:root 755 root:root 755 root:root 755 root:root 755" \
  "$(stat -c '%U:%G %a' /usr/sbin/Quorvane /usr/sbin/qvreg /usr/sbin/qvevt /usr/sbin/qvsamba | paste -sd' ')"
check "install: the service's user can change neither the programs nor their folder" "no no" \
  "$(as_service test -w /usr/sbin/Quorvane && echo yes || echo no) $(as_service test -w /usr/sbin && echo yes || echo no)"
check "install: the service's user, its data root and its log folder" "quorvane:quorvane 750 quorvane:quorvane 750" \
  "$(stat -c '%U:%G %a' /var/lib/quorvane /var/log/quorvane | paste -sd' ')"
check "install: the settings key, the service's" "0 quorvane" \
  "$(qvreg query "$key" >/dev/null; echo $?) $(stat -c %U "/var/lib/quorvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Tarnwell Systems/Quorvane")"
check "install: both units, enabled" "quorvane.service qvsamba.service" \
  "$(basename -a "$wants"/quorvane.service "$wants"/qvsamba.service 2>/dev/null | paste -sd' ')"
check "install: the units are the package's" "/lib/systemd/system/quorvane.service /lib/systemd/system/qvsamba.service" \
  "$(readlink "$wants"/quorvane.service) $(readlink "$wants"/qvsamba.service)"
check "install: a man page for each command" "4" \
  "$(for p in Quorvane qvreg qvevt qvsamba; do gzip -t /usr/share/man/man8/$p.8.gz && echo; done 2>/dev/null | wc -l)"
check "install: qvsamba --help" "0" "$(/usr/sbin/qvsamba --help >/dev/null; echo $?)"

# A password in the settings, set by root: the service can read it, nobody else.
qvreg add "$key" /v AdPassword /t REG_SZ /d s3cret /f >/dev/null
values="/var/lib/quorvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Tarnwell Systems/Quorvane/values.reg"
check "password: the values file is the service's, 0600" "quorvane:quorvane 600" "$(stat -c '%U:%G %a' "$values")"
check "password: readable by the service, by no other user" "yes no" \
  "$(as_service cat "$values" >/dev/null 2>&1 && echo yes || echo no) $(runuser -u nobody -- cat "$values" >/dev/null 2>&1 && echo yes || echo no)"

# The service's account plants the log as a link to a file of root's; root's next run of the
# agent must leave that file alone, say so, and still do its job. What the agent tells the
# debugger channel (syslog) is recorded at /dev/log in a mount namespace of its own.
printf 'precious\n' >"$work/target"
as_service ln -s "$work/target" /var/log/quorvane/Quorvane.log
unshare -m --propagation private bash -c '
  mount -t tmpfs -o mode=0755 tmpfs /dev && mknod -m 666 /dev/null c 1 3 && mknod -m 666 /dev/urandom c 1 9 || exit 90
  "$1" /dev/log "$2" & recorder=$!
  for _ in $(seq 1 100); do [ -S /dev/log ] && break; sleep 0.05; done
  QUORVANE_DATA_ROOT=/var/lib/quorvane /usr/sbin/Quorvane -X -SERVER attack.example
  status=$?
  kill $recorder
  exit $status' _ "$recorder" "$work/syslog.txt"
check "symlink attack: root's run goes on and exits 0" 0 $?
check "symlink attack: the link's target is untouched" "precious" "$(cat "$work/target")"
check "symlink attack: the refusal is logged" yes "$(grep -qF 'Unable to create log file "/var/log/quorvane/Quorvane.log". The create operation stopped after reaching a symbolic link. Error code = 681.' "$work/syslog.txt" && echo yes || echo no)"
check "symlink attack: the setting is stored all the same" attack.example \
  "$(qvreg query "$key" /v IdentServer | awk '/IdentServer/ {print $3}')"
rm /var/log/quorvane/Quorvane.log

# What the site put there survives an upgrade.
qvreg add "$key" /v IdentServer /t REG_SZ /d idserver.example /f >/dev/null
QUORVANE_DATA_ROOT=/var/lib/quorvane as_service /usr/sbin/qvevt write --id 4624 -- S-1-0-0 >/dev/null
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
  "$([ -e /var/lib/quorvane ] && echo yes || echo no) $([ -e /var/log/quorvane ] && echo yes || echo no) $([ -e "$wants"/quorvane.service ] && echo yes || echo no)"
check "purge: dpkg knows nothing of it" "1" "$(dpkg-query -W quorvane >/dev/null 2>&1; echo $?)"

echo "debian package: $failures failed"
[ "$failures" -eq 0 ]
