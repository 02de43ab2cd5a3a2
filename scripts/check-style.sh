#!/usr/bin/env bash
# Checks the house style: every C++ source and header as clang-format 14 lays it out, and
# clang-tidy 14's bugprone and performance checks (.clang-tidy) silent on the product code,
# the tests, the benchmarks and the tools. The version is pinned: another clang-format lays
# out some constructs differently, and a style check must not change with the machine.
#
# usage: scripts/check-style.sh [BUILD_DIR]   (a configured build with compile_commands.json;
#                                              default: build)
#        scripts/check-style.sh --changed [BUILD_DIR]
#                                             (only the sources and headers changed against
#                                              main, committed or not, and the translation
#                                              units that include a changed header; default
#                                              build folder: build, else build-quick)
#        scripts/check-style.sh --fix-format  (rewrites the files clang-format would change)
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
tidy=clang-tidy-14

changed=0
if [ "${1:-}" = "--changed" ]; then
    changed=1
    shift
fi

if [ "$changed" = 1 ]; then
    # Changed against where this branch left main, plus what is staged, unstaged or new.
    base=$(git merge-base HEAD main 2>/dev/null || git rev-parse HEAD)
    mapfile -t sources < <(
        {
            git diff --name-only --diff-filter=d "$base" -- '*.cpp' '*.h'
            git ls-files --others --exclude-standard -- '*.cpp' '*.h'
        } | sort -u)
    if [ "${#sources[@]}" -eq 0 ]; then
        echo "no C++ files changed against main"
        exit 0
    fi
else
    mapfile -t sources < <(git ls-files '*.cpp' '*.h')
fi

if [ "${1:-}" = "--fix-format" ]; then
    "$format" -i "${sources[@]}"
    exit 0
fi

echo "clang-format: ${#sources[@]} files"
"$format" --dry-run -Werror "${sources[@]}"

if [ -n "${1:-}" ]; then
    build=$1
elif [ "$changed" = 1 ] && [ ! -f build/compile_commands.json ]; then
    build=build-quick
else
    build=build
fi
if [ ! -f "$build/compile_commands.json" ]; then
    echo "error: $build/compile_commands.json not found; configure a build first" >&2
    exit 2
fi
# Only sources this build compiles are checked, each once: the fuzz target and the Windows-only
# code are built by their own toolchains, and headers are checked through what includes them.
# With --changed: the changed sources, and those that include a changed header by its name.
mapfile -t units < <(python3 - "$build/compile_commands.json" "$changed" "${sources[@]}" <<'PY'
import json, os, re, sys
root = os.getcwd()
only_changed = sys.argv[2] == "1"
changed = set(sys.argv[3:])
headers = {os.path.basename(p) for p in changed if p.endswith(".h")}
include = re.compile(r'^\s*#\s*include\s*["<]([^">]+)[">]', re.M)
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.startswith("..") or path in seen:
        continue
    seen.add(path)
    if only_changed and path not in changed:
        try:
            text = open(path, encoding="utf-8", errors="replace").read()
        except OSError:
            continue
        if not any(os.path.basename(name) in headers for name in include.findall(text)):
            continue
    print(path)
PY
)
echo "clang-tidy: ${#units[@]} translation units"
if [ "${#units[@]}" -eq 0 ]; then
    exit 0
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# One unit per clang-tidy run, as many runs at once as there are cores: the slow units (those
# that include CLI11 or OpenImageIO) do not hold back a batch of quick ones.
printf '%s\n' "${units[@]}" |
    xargs -P "$(nproc)" -n 1 "$tidy" -p "$build" --quiet 2>/dev/null >"$log" || true
if grep -q 'warning:\|error:' "$log"; then
    grep -A3 'warning:\|error:' "$log"
    echo "clang-tidy: $(grep -c 'warning:\|error:' "$log") findings" >&2
    exit 1
fi
echo "clang-tidy: no findings"
