#!/usr/bin/env bash
# Starts (or stops) the reference identity servers the unit tests talk to, one per loopback
# address because the ports are fixed: 127.0.0.11 behaves, the others misbehave in one way
# each, or serve a certificate of their own, or go down on request (see
# tests/identity/reference_servers.h).
#   identity_servers.sh start SERVER_PROGRAM STATE_DIR
#   identity_servers.sh stop STATE_DIR
set -uo pipefail
action=$1

if [ "$action" = stop ]; then
  state=$2
  for pidfile in "$state"/*.pid; do
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null
  done
  rm -rf "$state"
  exit 0
fi

server=$2
state=$3
rm -rf "$state"
mkdir -p "$state"

start() {  # address, switches...
  local address=$1
  shift
  "$server" --address "$address" --ready-file "$state/$address.ready" --record "$state/$address.jsonl" "$@" \
    >"$state/$address.out" 2>&1 &
  echo $! >"$state/$address.pid"
}

start 127.0.0.11
start 127.0.0.12 --wrong-id
start 127.0.0.13 --response-length 13
start 127.0.0.14 --response-length 15
start 127.0.0.15 --no-flag
start 127.0.0.16 --split-response 30
start 127.0.0.17 --drop-after 1 --misbehave-count 1 --per-connection
start 127.0.0.18 --no-tls
start 127.0.0.20 --status 7
start 127.0.0.21 --reset-idle 300
start 127.0.0.22 --delay-ms 1500 --misbehave-count 1 --per-connection
start 127.0.0.23 --close-after-answer 300
start 127.0.0.24 --drop

# Certificates: from a test authority for the right address, for another name, expired; and
# the server's own self-signed one.
certificates="$state/certificates"
"$(dirname "$0")/test_certificates.sh" "$certificates" 127.0.0.101 127.0.0.99 127.0.0.103 || exit 1
for name in good:101 wrong:102 expired:103; do
  start "127.0.0.${name#*:}" --no-plain --cert "$certificates/${name%:*}.pem" --key "$certificates/${name%:*}.key"
done
start 127.0.0.104 --no-plain --write-cert "$certificates/self-signed.pem"
# Failover: a primary that is down while its file exists, and a fallback.
start 127.0.0.105 --down-file "$state/127.0.0.105.down"
start 127.0.0.106

# Ready when every server has written its ready file.
for _ in $(seq 1 100); do
  ready=$(ls "$state"/*.ready 2>/dev/null | wc -l)
  if [ "$ready" -eq 19 ]; then
    "$(dirname "$0")/test_certificates.sh" --pins "$certificates/self-signed" || exit 1
    exit 0
  fi
  sleep 0.1
done
echo "the reference identity servers did not start:" >&2
cat "$state"/*.out >&2
exit 1
