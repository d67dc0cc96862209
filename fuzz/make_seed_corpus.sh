#!/bin/sh
# Makes fuzz/corpus/ from the exported Windows logs: each log is imported with qvevt into a
# scratch data root, and its records are written out one per seed file, plus one seed with all
# records of each small log as a single read would deliver them.
#   fuzz/make_seed_corpus.sh QVEVT EVTX_FOLDER
set -eu
qvevt=$1
evtx=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d /tmp/qv-seed-XXXXXX)
trap 'rm -rf "$root"' EXIT
export QUORVANE_DATA_ROOT="$root"
mkdir -p "$here/corpus"
for file in "$evtx"/*.evtx; do
    name=$(basename "$file" .evtx)
    "$qvevt" --log "$name" import "$file" > /dev/null
    python3 - "$root/eventlog/$name/records" "$here/corpus/$name" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()[64:]  # after the store's header
offset = 0
while offset + 4 <= len(data):
    length = struct.unpack_from('<I', data, offset)[0]
    if length < 60 or offset + length > len(data):
        break
    number = struct.unpack_from('<I', data, offset + 8)[0]
    open('%s_%04d.bin' % (sys.argv[2], number), 'wb').write(data[offset:offset + length])
    offset += length
if len(data) <= 16384:
    open('%s_all.bin' % sys.argv[2], 'wb').write(data)
PY
done
