# Shared by the end-to-end scripts that run the agent against the reference identity server:
# the agent runs in a mount namespace where /etc/hosts and nsswitch.conf are the test's own, so
# its reverse look-ups never ask the network, and the server's --record file is read back as
# one line a request. Source it after program_under_test.sh.
#   private_hosts            the hosts file, on standard input (files only, only these names)
#   with_private_resolver PROGRAM ARGS...   runs it with that resolver (in the foreground)
#   request_lines FILE       "kind user computer address" a request ("-" for no computer)
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
  echo "skipped: the agent's private resolver needs root and unshare"
  exit 0
fi

private_hosts() {
  cat >"$work/hosts"
  echo 'hosts: files' >"$work/nsswitch.conf"
}

with_private_resolver() {
  unshare --mount --propagation private sh -c \
    'mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/nsswitch.conf && shift 2 && exec "$@"' \
    sh "$work/hosts" "$work/nsswitch.conf" "$@"
}

request_lines() {
  [ -f "$1" ] || return 0
  sed -E 's/.*"kind":"([a-z]+)".*/\1/' "$1" | paste -d' ' - \
    <(sed -E 's/.*"user_name":"([^"]*)".*/\1/; t; s/.*/-/' "$1" | sed 's/\\\\/\\/g') \
    <(sed -E 's/.*"computer_name":"([^"]*)".*/\1/; t; s/.*/-/' "$1" | sed 's/\\\\/\\/g') \
    <(sed -E 's/.*"ip":"([^"]*)".*/\1/' "$1")
}
