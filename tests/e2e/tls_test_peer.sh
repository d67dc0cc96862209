#!/usr/bin/env bash
# A TLS server for the TLS client session tests: `openssl s_server` in its reverse-echo mode
# (each line comes back reversed; a line starting with CLOSE makes it send close_notify) with
# a self-signed certificate for CN=localhost made afresh in the state directory.
#
#   tls_test_peer.sh start STATE_DIR ADDRESS:PORT   starts it in the background, waits until it
#                                                   listens, writes STATE_DIR/pid
#   tls_test_peer.sh stop STATE_DIR                 stops it and removes STATE_DIR
#
# The tests find the server through QV_TLS_TEST_PEER=ADDRESS:PORT. Only loopback addresses
# are accepted, so a test run never listens on a real network.
set -u

usage() {
  echo "usage: $0 start STATE_DIR ADDRESS:PORT | stop STATE_DIR" >&2
  exit 2
}

stop_peer() {
  local state="$1"
  if [[ -f "$state/pid" ]]; then
    local pid
    pid=$(cat "$state/pid")
    if kill "$pid" 2>/dev/null; then
      for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -9 "$pid" 2>/dev/null
    fi
  fi
  rm -rf "$state"
}

start_peer() {
  local state="$1" endpoint="$2"
  [[ "$endpoint" =~ ^127\.[0-9]+\.[0-9]+\.[0-9]+:[0-9]+$ ]] || {
    echo "tls_test_peer: $endpoint is not a 127.x.y.z loopback address with a port" >&2
    exit 2
  }
  # A server left over from an interrupted run would hold the port.
  stop_peer "$state"
  mkdir -p "$state" || exit 1

  if ! openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
    -keyout "$state/key.pem" -out "$state/cert.pem" >"$state/req.log" 2>&1; then
    cat "$state/req.log" >&2
    exit 1
  fi

  # Output goes to a file, never to the caller's pipes: CTest waits for those to close.
  setsid openssl s_server -accept "$endpoint" -cert "$state/cert.pem" -key "$state/key.pem" -rev \
    </dev/null >"$state/server.log" 2>&1 &
  echo $! >"$state/pid"

  for _ in $(seq 100); do
    if grep -q '^ACCEPT' "$state/server.log" 2>/dev/null; then
      echo "tls_test_peer: listening on $endpoint (pid $(cat "$state/pid"))"
      exit 0
    fi
    if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then break; fi
    sleep 0.1
  done
  echo "tls_test_peer: openssl s_server did not start on $endpoint:" >&2
  cat "$state/server.log" >&2
  stop_peer "$state"
  exit 1
}

case "${1:-}" in
start)
  [[ $# -eq 3 ]] || usage
  start_peer "$2" "$3"
  ;;
stop)
  [[ $# -eq 2 ]] || usage
  stop_peer "$2"
  ;;
*)
  usage
  ;;
esac
