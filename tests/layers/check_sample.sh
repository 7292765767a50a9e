#!/bin/sh
# Runs the layer check on the sample tree; its report must be expected.txt exactly, and it must fail.
python=$1 check=$2 sample=$3
out=$("$python" "$check" "$sample/src" "$sample/architecture.md")
status=$?
out=$(printf '%s\n' "$out" | sed "s|$sample/||")
if [ "$status" -ne 1 ] || [ "$out" != "$(cat "$sample/expected.txt")" ]; then
    echo "exit $status, report:"
    printf '%s\n' "$out"
    exit 1
fi
echo "the check rejects every sample include against the order"
