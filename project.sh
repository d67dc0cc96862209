#!/usr/bin/env bash
# Quorvane's one entry point for a Debian 12 machine.
#   ./project.sh test    install what is needed, build both targets, run both test runs
#   ./project.sh run     install, build, and run the program on its embedded default
#   ./project.sh build   build both targets (native with sanitizers, Windows cross build)
#   ./project.sh bench   build optimised natively and run the benchmarks
#   ./project.sh setup   install the Debian packages only
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ googletest libbenchmark-dev g++-mingw-w64-x86-64-posix wine wine64
          pkg-config libssl-dev openssl libevtx-dev libevtx-utils
          libsystemd-dev systemd)
NATIVE_DIR=build/native
WINDOWS_DIR=build/windows
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

fresh_wine_prefix() {
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-wine.XXXXXX")
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  log "making a fresh Wine prefix in $WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
}

test_all() {
  local native_log windows_log
  native_log=$(mktemp) windows_log=$(mktemp)
  log "native tests"
  local native_status=0 windows_status=0
  ASAN_OPTIONS=allocator_may_return_null=1 ctest --test-dir "$NATIVE_DIR" -j "$JOBS" --output-on-failure \
    | tee "$native_log" || native_status=$?
  fresh_wine_prefix
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
  log "Windows tests under Wine"
  ctest --test-dir "$WINDOWS_DIR" -V | tee "$windows_log" |
    { grep -E '^[0-9]+: \[  (FAILED|PASSED)|^[0-9]+: (ok|FAILED):|Test *#|tests passed' || true; } || windows_status=$?

  # One closing line for both runs: every native test case is a CTest test; the Windows
  # programs report their GoogleTest counts.
  local passed failed
  passed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\)/\2 \1/p' "$native_log" |
           awk '{print $1 - $2}')
  failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of.*/\1/p' "$native_log")
  passed=$((${passed:-0} + $(sed -n 's/^[0-9]*: \[  PASSED  \] \([0-9]*\) test.*/\1/p' "$windows_log" | awk '{s += $1} END {print s + 0}')))
  failed=$((${failed:-0} + $({ grep -c -E '^[0-9]+: \[  FAILED  \] [A-Za-z]' "$windows_log" || true; })))
  rm -f "$native_log" "$windows_log"
  echo
  echo "${passed} passed, ${failed} failed"
  [ "$native_status" -eq 0 ] && [ "$windows_status" -eq 0 ]
}

case "${1:-}" in
  setup) setup ;;
  build) setup; build ;;
  test) setup; build; test_all ;;
  bench)
    setup
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCHMARKS=ON >/dev/null
    cmake --build build/bench -j "$JOBS"
    for benchmark in build/bench/benchmarks/*_benchmark; do "$benchmark"; done
    ;;
  run)
    setup; build
    # The embedded default: a reference identity server on loopback, the settings stored in a
    # throw-away store (configure mode), then one identity reported to the server over TLS with
    # its heartbeat and logoff (report mode); the server's view and the program's log follow.
    work=$(mktemp -d)
    export QUORVANE_DATA_ROOT="$work/data"
    cp "$NATIVE_DIR/Quorvane" "$work/"
    "$NATIVE_DIR/tools/identity_server/identity_server" --address 127.0.0.1 --print --ready-file "$work/ready" \
      >"$work/server.txt" 2>/dev/null &
    server=$!
    trap 'kill $server 2>/dev/null' EXIT
    for _ in $(seq 1 100); do [ -f "$work/ready" ] && break; sleep 0.1; done
    "$NATIVE_DIR/qvreg" add 'HKLM\SOFTWARE\Tarnwell Systems\Quorvane' /f
    "$work/Quorvane" -X -SERVER 127.0.0.1 -PROTOCOL TCPS
    echo "Quorvane -X exited with $?"
    "$NATIVE_DIR/qvreg" query 'HKLM\SOFTWARE\Tarnwell Systems\Quorvane'
    "$work/Quorvane" -REPORT_HEARTBEAT -REPORT_LOGOFF -TCP -USER_NAME 'CORP\alice' -COMPUTER_NAME 'CORP\pc7'
    echo "Quorvane -REPORT_LOGOFF exited with $?"
    sleep 0.2
    echo "--- what the identity server received"
    cat "$work/server.txt"
    echo "--- $work/Quorvane.log"
    cat "$work/Quorvane.log"
    ;;
  *) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
