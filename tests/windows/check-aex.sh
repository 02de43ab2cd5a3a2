#!/usr/bin/env bash
# Checks a built plug-in DLL from outside: a 64-bit PE DLL named without a lib prefix whose
# exports are exactly the expected ones and which imports only Windows' own DLLs (the C++ runtime
# is linked in statically, so users need no mingw DLLs beside it).
#   tests/windows/check-aex.sh <objdump> <Telvix.aex>
#   tests/windows/check-aex.sh <objdump> <file> <expected name> <export>...
set -euo pipefail
objdump=$1
aex=$2
name=${3:-Telvix.aex}
if [ "$#" -gt 3 ]; then
    expected=$(printf '%s\n' "${@:4}")
else
    expected=entryPointFunc
fi
fail=0

[ "$(basename "$aex")" = "$name" ] || { echo "FAIL: file is named $(basename "$aex"), not $name"; fail=1; }

dump=$("$objdump" -p "$aex")
grep -q 'file format pei-x86-64' <<<"$dump" || { echo "FAIL: not an x86-64 PE image"; fail=1; }
grep -q '(PE32+)' <<<"$dump" || { echo "FAIL: not PE32+"; fail=1; }
grep -Eq '^[[:space:]]+DLL$' <<<"$dump" || { echo "FAIL: not flagged as a DLL"; fail=1; }
# The names listed under "[Ordinal/Name Pointer] Table", up to the next blank line.
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}' <<<"$dump")
if [ "$exports" != "$expected" ]; then
    echo "FAIL: exports are [$(tr '\n' ' ' <<<"$exports")], expected exactly [$(tr '\n' ' ' <<<"$expected")]"
    fail=1
fi

imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump")
[ -n "$imports" ] || { echo "FAIL: no import table found"; fail=1; }
for dll in $imports; do
    # Windows' own libraries only: no libstdc++, libgcc or winpthread DLLs.
    case "${dll,,}" in
        kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll | ucrtbase.dll | \
            api-ms-win-*.dll) ;;
        *) echo "FAIL: imports $dll, which is not a Windows system DLL"; fail=1 ;;
    esac
done

if [ "$fail" -eq 0 ]; then
    echo "PASS: $(basename "$aex") exports only $(tr '\n' ' ' <<<"$expected")and imports only $(tr '\n' ' ' <<<"$imports")"
fi
exit "$fail"
