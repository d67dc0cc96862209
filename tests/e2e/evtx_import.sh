#!/bin/sh
# Imports every exported Windows log of the shared test data into a fresh event log store and
# checks that the store gives back what evtxexport reads from the file: record numbers,
# computers, sources, event identifiers and every replacement string, in order.
#
#   evtx_import.sh QVEVT EVTXEXPORT [DATA_FOLDER]
#
# Levels are left out of the comparison (evtxexport shows the event level, the classic record
# keeps an event type), and times are compared to the second, as the classic record keeps them.
set -eu
export LC_ALL=C

QVEVT=$1
EVTXEXPORT=$2
DATA=${3:-/work/shared/data/evtx}

WORK=$(mktemp -d /tmp/qv-evtx-import-XXXXXX)
trap 'rm -rf "$WORK"' EXIT INT TERM

# The lines both tools print the same way, one record after another. Continuation lines of a
# string with line breaks in it are kept too: everything but the time, level and type lines.
normalise() {
    grep -v -e '^evtxexport ' -e '^Written time' -e '^Event level' -e '^Event type' -e '^Event category' |
        sed -e '/./,$!d'
}

# Each record's time to the second as the store should list it: the time in the record's
# header, or, where the header has none (evtxexport shows 1601-01-01), the event's own
# TimeCreated.
expected_times() {
    "$EVTXEXPORT" "$1" 2>/dev/null |
        sed -n 's/^Written time[[:space:]]*: \(.*\)\.[0-9]* UTC$/\1 UTC/p' >"$WORK/written"
    "$EVTXEXPORT" -f xml "$1" 2>/dev/null | sed -n 's/.*<TimeCreated SystemTime="\([^"]*\)".*/\1/p' >"$WORK/created"
    paste -d '|' "$WORK/written" "$WORK/created" | while IFS='|' read -r written created; do
        case "$written" in
            "Jan 01, 1601 "*) date -u -d "$created" '+%b %d, %Y %H:%M:%S UTC' ;;
            *) echo "$written" ;;
        esac
    done
}

files=0
failures=0
for file in "$DATA"/*.evtx; do
    [ -e "$file" ] || continue
    files=$((files + 1))
    name=$(basename "$file" .evtx)
    export QUORVANE_DATA_ROOT="$WORK/$name"
    mkdir -p "$QUORVANE_DATA_ROOT"

    if ! "$QVEVT" import "$file" >"$WORK/$name.import" 2>&1; then
        echo "FAIL $name: import failed:"
        cat "$WORK/$name.import"
        failures=$((failures + 1))
        continue
    fi
    "$EVTXEXPORT" "$file" 2>/dev/null | normalise >"$WORK/$name.expected"
    "$QVEVT" list | normalise >"$WORK/$name.actual"

    expected=$(grep -c '^Event number' "$WORK/$name.expected" || true)
    if [ "$expected" -eq 0 ]; then
        echo "FAIL $name: evtxexport shows no records"
        failures=$((failures + 1))
    elif ! diff -u "$WORK/$name.expected" "$WORK/$name.actual" >"$WORK/$name.diff"; then
        echo "FAIL $name: the store differs from the file:"
        head -40 "$WORK/$name.diff"
        failures=$((failures + 1))
    else
        echo "ok   $name: $expected records"
    fi
    expected_times "$file" >"$WORK/$name.expected-times"
    "$QVEVT" list | sed -n 's/^Written time[[:space:]]*: //p' >"$WORK/$name.actual-times"
    if ! diff -u "$WORK/$name.expected-times" "$WORK/$name.actual-times" >"$WORK/$name.times-diff"; then
        echo "FAIL $name: the times differ from the file's:"
        head -20 "$WORK/$name.times-diff"
        failures=$((failures + 1))
    fi

    # A second import of the same file is numbered on after the first, and said so.
    "$QVEVT" import "$file" >"$WORK/$name.again"
    if ! grep -q 'renumbered' "$WORK/$name.again"; then
        echo "FAIL $name: a second import was not reported as renumbered"
        failures=$((failures + 1))
    fi
    total=$("$QVEVT" info | sed -n 's/^Records: *//p')
    if [ "$total" -ne $((expected * 2)) ]; then
        echo "FAIL $name: $total records after importing $expected twice"
        failures=$((failures + 1))
    fi
done

# A bad command line is refused with status 2 and changes nothing.
export QUORVANE_DATA_ROOT="$WORK/arguments"
for arguments in "" "bogus" "write" "write --id x" "write --id 4624 --type nonsense" "import" \
    "list --from" "max-size 0" "info extra"; do
    status=0
    # shellcheck disable=SC2086
    "$QVEVT" $arguments >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 2 ]; then
        echo "FAIL: \"qvevt $arguments\" ended with $status, not 2"
        failures=$((failures + 1))
    fi
done
if [ -e "$QUORVANE_DATA_ROOT/eventlog/Security/records" ] && [ "$("$QVEVT" info | sed -n 's/^Records: *//p')" -ne 0 ]; then
    echo "FAIL: a refused command line wrote records"
    failures=$((failures + 1))
fi

if [ "$files" -eq 0 ]; then
    echo "FAIL: no .evtx files in $DATA"
    exit 1
fi
if [ "$failures" -ne 0 ]; then
    echo "$failures failures in $files files"
    exit 1
fi
echo "all $files files imported faithfully"
