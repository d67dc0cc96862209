#!/usr/bin/env bash
# Fails when an #include points up a layer. The layers, top to bottom:
#   service -> eventlog -> identity, directory -> support -> platform -> base
# with transform (Setupsmith) beside the agent's layers on top of support, and tools,
# benchmarks and fuzz on top of everything. A layer's tests (tests/<layer>/) keep their
# layer's rule. identity and directory stand side by side: identity may use the directory.
#   check_layers.sh [SOURCE_ROOT]     check the tree
#   check_layers.sh --self-test       show that an upward include is caught
set -euo pipefail

allowed() {
    case "$1" in
        base) echo "base" ;;
        platform) echo "base platform resources" ;;
        support) echo "base platform resources support" ;;
        directory) echo "base platform resources support directory" ;;
        identity) echo "base platform resources support directory identity" ;;
        eventlog) echo "base platform resources support directory identity eventlog" ;;
        service) echo "base platform resources support directory identity eventlog service" ;;
        transform) echo "base platform resources support transform" ;;
    esac
}

check() {
    local root=$1 violations=0 layer file line target
    for layer in base platform support directory identity eventlog service transform; do
        for dir in "$root/$layer" "$root/tests/$layer"; do
            [ -d "$dir" ] || continue
            while IFS=: read -r file line target; do
                local top=${target%%/*}
                [ "$top" = "$target" ] && continue          # generated headers beside the build
                [ "$top" = tests ] && [[ $dir == */tests/* ]] && continue
                if [[ " $(allowed "$layer") " != *" $top "* ]]; then
                    echo "${file#"$root"/}:$line: $layer/ includes $target"
                    violations=$((violations + 1))
                fi
            done < <(grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' "$dir" --include='*.h' \
                         --include='*.cpp' | sed -E 's/^([^:]+):([0-9]+):.*"([^"]+)"$/\1:\2:\3/')
        done
    done
    if [ "$violations" -ne 0 ]; then
        echo "$violations include(s) point up a layer"
        return 1
    fi
    echo "every include points down or sideways within its layer"
}

if [ "${1:-}" = --self-test ]; then
    root=$(cd "$(dirname "$0")/.." && pwd)
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    for layer in base platform support directory identity eventlog service transform; do
        [ -d "$root/$layer" ] && cp -r "$root/$layer" "$scratch/"
    done
    check "$scratch" >/dev/null || { echo "the tree itself fails the check"; exit 1; }
    printf '#include "eventlog/event_log.h"\n' >>"$scratch/identity/identity_request.cpp"
    if check "$scratch" >/dev/null; then
        echo "an upward include (identity -> eventlog) went unnoticed"
        exit 1
    fi
    echo "an upward include is caught"
    exit 0
fi

check "${1:-$(cd "$(dirname "$0")/.." && pwd)}"
