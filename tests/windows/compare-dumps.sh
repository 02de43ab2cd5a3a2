#!/usr/bin/env bash
# Compares what telvix_wintest wrote on two platforms: the same files, byte for byte, and at
# least 20 rendered frames.
#   tests/windows/compare-dumps.sh <folder A> <folder B>
set -euo pipefail
a=$1
b=$2
fail=0

list() { (cd "$1" && find . -type f | sort); }
if [ "$(list "$a")" != "$(list "$b")" ]; then
    echo "FAIL: the folders hold different files:"
    diff <(list "$a") <(list "$b") || true
    fail=1
fi

frames=0
while IFS= read -r file; do
    [ -f "$b/$file" ] || continue
    if ! cmp -s "$a/$file" "$b/$file"; then
        echo "FAIL: $file differs: $(cmp "$a/$file" "$b/$file" 2>&1 | head -1)"
        fail=1
    fi
    case "$file" in *.tvxd) frames=$((frames + 1)) ;; esac
done < <(list "$a")

if [ "$frames" -lt 20 ]; then
    echo "FAIL: only $frames frames compared, expected at least 20"
    fail=1
fi
[ -f "$a/commands.txt" ] || { echo "FAIL: no commands.txt"; fail=1; }
if [ "$fail" -eq 0 ]; then
    echo "PASS: commands.txt and $frames frames are byte-identical"
fi
exit "$fail"
