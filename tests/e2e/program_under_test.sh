# Shared by the end-to-end scripts that run the program: a work folder, a copy of the program
# in it (the log file goes beside the program), and 'run', 'registry' and 'check' for the
# platform, and 'log_count' and 'wait_for_log' over the program's log. Source it after setting
# program, platform and qvreg (POSIX only).
work=$(mktemp -d)
failures=0
key='HKLM\SOFTWARE\Tarnwell Systems\Quorvane'
cleanup_work() { [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"; }

check() {  # description, expected, actual
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}

cp "$program" "$work/"
copy="$work/$(basename "$program")"
log="$work/Quorvane.log"
wine_runner=$(realpath "$(dirname "${BASH_SOURCE[0]}")/../../tools/wine-run")

if [ "$platform" = posix ]; then
  export QUORVANE_DATA_ROOT="$work/data"
  run() { "$copy" "$@" 2>"$work/stderr"; }
  registry() { "$qvreg" "$@"; }
else
  export WINEPREFIX=${WINEPREFIX:-$work/wine}
  [ -f "$WINEPREFIX/system.reg" ] || WINEDEBUG=-all wineboot --init >/dev/null 2>&1
  run() { "$wine_runner" "$copy" "$@" 2>"$work/stderr"; }
  registry() { "$wine_runner" reg "$@" 2>/dev/null | tr -d '\r'; }
fi

# How many lines of the log hold a fixed text (the Windows build writes CR LF).
log_count() { { tr -d '\r' <"$log"; } 2>/dev/null | grep -cF -- "$1"; }

wait_for_log() {  # fixed text, seconds (default 10)
  for _ in $(seq 1 $(( ${2:-10} * 20 ))); do
    [ "$(log_count "$1")" -gt 0 ] && return 0
    sleep 0.05
  done
  echo "  (log never showed: $1)"
  return 1
}
