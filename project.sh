#!/usr/bin/env bash
# Quorvane's one entry point for a Debian 12 machine.
#   ./project.sh test    install what is needed, build both targets, run both test runs
#   ./project.sh run     install, build, and run the agent on its embedded default
#   ./project.sh build   build both targets (native with sanitizers, Windows cross build)
#   ./project.sh bench   build optimised natively and run the benchmarks
#   ./project.sh package build the Debian package as it ships (build/package) and run lintian on it
#   ./project.sh fuzz [SECONDS]  build every fuzz target (clang) and run each that long (default 60)
#   ./project.sh setup   install the Debian packages only
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ googletest libbenchmark-dev g++-mingw-w64-x86-64-posix wine wine64
          pkg-config libssl-dev openssl libevtx-dev libevtx-utils iproute2
          libmsi-dev libgsf-1-dev libglib2.0-dev msitools wixl
          libldap2-dev libsasl2-dev libkrb5-dev libsasl2-modules-gssapi-mit
          samba samba-ad-dc samba-ad-provision samba-dsdb-modules winbind krb5-user smbclient ldb-tools ldap-utils
          libsystemd-dev systemd libsimdjson-dev dpkg-dev lintian clang libclang-rt-14-dev)
NATIVE_DIR=build/native
WINDOWS_DIR=build/windows
FUZZ_DIR=build/fuzz
JOBS=$(nproc)

log() { printf '\n== %s\n' "$*"; }

setup() {
  local missing=()
  for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

build() {
  log "native build (AddressSanitizer, UndefinedBehaviorSanitizer)"
  cmake -S . -B "$NATIVE_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON >/dev/null
  cmake --build "$NATIVE_DIR" -j "$JOBS"
  log "Windows cross build (mingw-w64)"
  cmake -S . -B "$WINDOWS_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
  cmake --build "$WINDOWS_DIR" -j "$JOBS"
}

# Runs a command in a network namespace of its own where that can be made (root), so the fixed
# loopback addresses of a target's helpers never meet another run's.
isolated() {
  if unshare -n true 2>/dev/null; then
    unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
  else
    "$@"
  fi
}

# Every fuzz target fuzz/CMakeLists.txt defines, built with clang and libFuzzer, each run for
# SECONDS from its seed corpus. New inputs go to a scratch folder, never into the seed corpus;
# a crash leaves its input there and fails the run. Prints each target's runs and coverage.
fuzz() {
  local seconds=${1:-60} status=0 name program corpus scratch
  log "fuzz targets (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)"
  CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -G Ninja -DQV_FUZZ=ON -DQV_TESTS=OFF >/dev/null
  cmake --build "$FUZZ_DIR" -j "$JOBS" --target fuzz_targets || return 1
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-fuzz.XXXXXX")
  log "each fuzz target for $seconds s"
  while read -r name program corpus; do
    mkdir -p "$scratch/$name/new"
    local seeds=()
    [ "$corpus" != - ] && seeds=("$corpus")
    if isolated "$program" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$scratch/$name/" \
         "$scratch/$name/new" "${seeds[@]}" >"$scratch/$name/output.txt" 2>&1; then
      sed -n 's/^#\([0-9]*\)[[:space:]]*DONE[[:space:]]*cov: \([0-9]*\) ft: \([0-9]*\).*/\1 \2 \3/p' "$scratch/$name/output.txt" |
        { read -r runs coverage features
          printf '%-24s %12s runs in %s s, coverage %s edges (%s features)\n' "$name" "${runs:-?}" "$seconds" \
            "${coverage:-?}" "${features:-?}"; }
    else
      status=1
      echo "$name: FAILED (its output and the input that failed are in $scratch/$name)"
      tail -40 "$scratch/$name/output.txt"
    fi
  done <"$FUZZ_DIR/fuzz_targets.txt"
  [ "$status" -eq 0 ] && rm -rf "$scratch"
  return $status
}

fresh_wine_prefix() {
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-wine.XXXXXX")
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  log "making a fresh Wine prefix in $WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
}

test_all() {
  local native_log windows_log fuzz_log started
  native_log=$(mktemp) windows_log=$(mktemp) fuzz_log=$(mktemp) started=$(mktemp)
  log "native tests"
  local native_status=0 windows_status=0
  ASAN_OPTIONS=allocator_may_return_null=1 ctest --test-dir "$NATIVE_DIR" -j "$JOBS" --output-on-failure \
    | tee "$native_log" || native_status=$?
  fresh_wine_prefix
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
  log "Windows tests under Wine"
  ctest --test-dir "$WINDOWS_DIR" -V | tee "$windows_log" |
    { grep -E '^[0-9]+: \[  (FAILED|PASSED)|^[0-9]+: (ok|FAILED):|Test *#|tests passed' || true; } || windows_status=$?

  # Each fuzz target builds and survives a few seconds from its seeds.
  local fuzz_status=0
  fuzz 5 | tee "$fuzz_log" || fuzz_status=$?

  # The tests write into build/ and temporary folders only.
  local written source_status=0
  written=$(find . -path ./build -prune -o -path ./.git -prune -o -newer "$started" -type f -print)
  if [ -n "$written" ]; then
    log "FAILED: the test run wrote into the source tree:"
    echo "$written"
    source_status=1
  fi

  # One closing line for both runs: every native test case is a CTest test; the Windows
  # programs report their GoogleTest counts.
  local passed failed
  passed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\)/\2 \1/p' "$native_log" |
           awk '{print $1 - $2}')
  failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of.*/\1/p' "$native_log")
  passed=$((${passed:-0} + $(sed -n 's/^[0-9]*: \[  PASSED  \] \([0-9]*\) test.*/\1/p' "$windows_log" | awk '{s += $1} END {print s + 0}')))
  failed=$((${failed:-0} + $({ grep -c -E '^[0-9]+: \[  FAILED  \] [A-Za-z]' "$windows_log" || true; })))
  passed=$((passed + $({ grep -c ' runs in ' "$fuzz_log" || true; })))
  failed=$((failed + $({ grep -c ': FAILED' "$fuzz_log" || true; }) + source_status))
  rm -f "$native_log" "$windows_log" "$fuzz_log" "$started"
  echo
  echo "${passed} passed, ${failed} failed"
  [ "$native_status" -eq 0 ] && [ "$windows_status" -eq 0 ] && [ "$fuzz_status" -eq 0 ] && [ "$source_status" -eq 0 ]
}

# The main job on an embedded default, in a throw-away settings store and data root: the
# reference identity server on 127.0.0.1, the agent in the foreground following the Security
# log, sample logons written into that log (alice, bob, then carol on alice's address, which
# ends alice's logon) and one exported domain controller log imported, then Shutdown = 1.
run_default() {
  local work key='HKLM\SOFTWARE\Tarnwell Systems\Quorvane'
  local qvreg="$NATIVE_DIR/qvreg" qvevt="$NATIVE_DIR/tools/qvevt/qvevt"
  work=$(mktemp -d)
  export QUORVANE_DATA_ROOT="$work/data"
  cp "$NATIVE_DIR/Quorvane" "$work/"
  "$NATIVE_DIR/tools/identity_server/identity_server" --address 127.0.0.1 --print --ready-file "$work/ready" \
    >"$work/server.txt" 2>/dev/null &
  run_server=$!
  trap 'kill $run_server ${run_agent:-} 2>/dev/null' EXIT
  for _ in $(seq 1 100); do [ -f "$work/ready" ] && break; sleep 0.1; done

  log "settings: the identity server on 127.0.0.1 over TCP"
  "$qvreg" add "$key" /f >/dev/null
  "$qvreg" add "$key" /v IdentServer /t REG_SZ /d 127.0.0.1 /f >/dev/null
  "$qvreg" add "$key" /v IdentProtocol /t REG_DWORD /d 2 /f >/dev/null
  "$qvreg" query "$key"

  log "the agent in the foreground: Quorvane -A"
  "$work/Quorvane" -A &
  run_agent=$!
  # It follows the log from its end: records count once it is waiting there.
  for _ in $(seq 1 200); do grep -q "EVENT_LOG::Process: OldestRecordNumber" "$work/Quorvane.log" 2>/dev/null && break; sleep 0.05; done

  log "sample network logons (event 4624) into the Security log"
  local user address workstation
  for user in alice:10.20.30.40:PC7 bob:10.20.30.41:PC9 carol:10.20.30.40:PC7; do
    IFS=: read -r user address workstation <<<"$user"
    "$qvevt" write --id 4624 --computer DC1 -- S-1-0-0 - - 0x0 S-1-5-21-1-2-3-1104 "$user" CORP 0x3e7a 3 NtLmSsp NTLM \
      "$workstation" '{00000000-0000-0000-0000-000000000000}' - 'NTLM V2' 128 0x0 - "$address" 50123
  done
  local exported=../shared/data/evtx/dc_security_4624_4768_4769.evtx
  if [ -f "$exported" ]; then
    log "an exported domain controller log: qvevt import $(basename "$exported")"
    "$qvevt" import "$exported"
  fi
  sleep 2

  log "stopping the agent: Shutdown = 1"
  "$qvreg" add "$key" /v Shutdown /t REG_DWORD /d 1 /f >/dev/null
  local status=0
  wait "$run_agent" || status=$?
  unset run_agent
  mv "$work/Quorvane.log" "$work/agent.log"
  echo "Quorvane -A exited with $status; $("$qvreg" query "$key" /v Shutdown | grep -o 'Shutdown.*')"

  # Heartbeats repeat a logon every Heartbeat minutes (one at least), longer than this run:
  # report mode sends one at once.
  log "a heartbeat, from report mode: Quorvane -REPORT_HEARTBEAT"
  "$work/Quorvane" -REPORT_HEARTBEAT -USER_NAME 'CORP\dave' -COMPUTER_NAME 'CORP\PC3'
  sleep 0.2

  log "what the identity server received"
  cat "$work/server.txt"
  log "the agent's log, $work/agent.log: its lifecycle and reports"
  grep -E "Running as|started|Connected to|Processing|reported|User name changed|Stopping Service|stopped|Uninitializing" \
    "$work/agent.log" | cut -c 24- || true
}

case "${1:-}" in
  setup) setup ;;
  build) setup; build ;;
  test) setup; build; test_all ;;
  fuzz) setup; fuzz "${2:-60}" ;;
  bench)
    setup
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCHMARKS=ON >/dev/null
    cmake --build build/bench -j "$JOBS"
    for benchmark in build/bench/benchmarks/*_benchmark; do "$benchmark"; done
    ;;
  run) setup; build; run_default ;;
  package)
    setup
    cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF -DQV_DEBIAN_PACKAGE=ON >/dev/null
    cmake --build build/package -j "$JOBS" --target Quorvane qvreg qvevt qvsamba package_docs
    (cd build/package && cpack --config CPackConfig.cmake >/dev/null)
    log "the Debian package and its debug symbols"
    ls -1 build/package/quorvane_*.deb build/package/quorvane-dbgsym_*.ddeb
    lintian build/package/quorvane_*.deb
    ;;
  *) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
