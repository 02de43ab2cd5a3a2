#!/usr/bin/env bash
# Checks the house style: every C++ source and header as clang-format 14 lays it out, and
# clang-tidy 14's bugprone and performance checks (.clang-tidy) silent on the product code,
# the tests, the benchmarks and the tools. The version is pinned: another clang-format lays
# out some constructs differently, and a style check must not change with the machine.
#
# usage: scripts/check-style.sh [BUILD_DIR]   (a configured build with compile_commands.json;
#                                              default: build)
#        scripts/check-style.sh --fix-format  (rewrites the files clang-format would change)
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
tidy=clang-tidy-14
mapfile -t sources < <(git ls-files '*.cpp' '*.h')

if [ "${1:-}" = "--fix-format" ]; then
    "$format" -i "${sources[@]}"
    exit 0
fi

echo "clang-format: ${#sources[@]} files"
"$format" --dry-run -Werror "${sources[@]}"

build=${1:-build}
if [ ! -f "$build/compile_commands.json" ]; then
    echo "error: $build/compile_commands.json not found; configure a build first" >&2
    exit 2
fi
# Only sources this build compiles are checked: the fuzz target and the Windows-only code
# are built by their own toolchains, and their headers are checked through what includes them.
mapfile -t units < <(python3 - "$build/compile_commands.json" <<'PY'
import json, os, sys
root = os.getcwd()
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if not path.startswith("..") and path not in seen:
        seen.add(path)
        print(path)
PY
)
echo "clang-tidy: ${#units[@]} translation units"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
printf '%s\n' "${units[@]}" |
    xargs -P "$(nproc)" -n 4 "$tidy" -p "$build" --quiet 2>/dev/null >"$log" || true
if grep -q 'warning:\|error:' "$log"; then
    grep -A3 'warning:\|error:' "$log"
    echo "clang-tidy: $(grep -c 'warning:\|error:' "$log") findings" >&2
    exit 1
fi
echo "clang-tidy: no findings"
