#!/bin/sh
# Fails when a folder of src/ includes from a folder above it. The folders are layers,
# lowest first; each may include only from itself and the layers before it.
LAYERS="base capture tls flow record export pipeline app report"
src="${1:-$(dirname "$0")/../src}"

rank() {
    i=0
    for layer in $LAYERS; do
        [ "$layer" = "$1" ] && { echo $i; return; }
        i=$((i + 1))
    done
    echo -1
}

status=0
for dir in "$src"/*/; do
    folder=$(basename "$dir")
    own=$(rank "$folder")
    if [ "$own" -lt 0 ]; then
        echo "src/$folder: not a known layer (add it to LAYERS in scripts/check-layers.sh)"
        status=1
        continue
    fi
    # file:line:#include "used/..."
    found=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/' "$dir" | while IFS= read -r hit; do
        used=$(printf '%s\n' "$hit" | sed -E 's/^[^:]*:[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"/]+)\/.*/\1/')
        theirs=$(rank "$used")
        if [ "$theirs" -lt 0 ] || [ "$theirs" -gt "$own" ]; then
            echo "layer violation: src/$folder may not include from $used: ${hit#"$src"/}"
        fi
    done)
    if [ -n "$found" ]; then
        printf '%s\n' "$found"
        status=1
    fi
done
[ $status -eq 0 ] && echo "layers: every include points down ($LAYERS)"
exit $status
