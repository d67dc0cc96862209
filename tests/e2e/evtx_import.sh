#!/bin/sh
# Imports every exported Windows log of the shared test data into a fresh event log store and
# checks that the store gives back what evtxexport reads from the file: record numbers,
# computers, sources, event identifiers and every replacement string, in order.
#
#   evtx_import.sh QVEVT EVTXEXPORT [DATA_FOLDER]
#
# Times and levels are left out of the comparison: evtxexport shows the written time to
# 100 ns and the event level, the classic record keeps whole seconds and an event type.
set -eu

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

if [ "$files" -eq 0 ]; then
    echo "FAIL: no .evtx files in $DATA"
    exit 1
fi
if [ "$failures" -ne 0 ]; then
    echo "$failures failures in $files files"
    exit 1
fi
echo "all $files files imported faithfully"
