#!/usr/bin/env bash
# Reads zorim_network.dll with the cross objdump and checks its two tables:
#   - exports: exactly the host interface's names as listed in
#     expected_exports.h, undecorated, and nothing else;
#   - imports: only DLLs that every Windows 10 has, so that the DLL needs
#     nothing beside it (no MinGW run-time DLLs); built in the MSVC ABI, also
#     the Visual C++ run-time that its host loads (msvcp140, vcruntime140, the
#     universal CRT), and no msvcrt.dll, the C run-time of MinGW's ABI.
#
#   check_dll.sh <objdump> <zorim_network.dll> <expected_exports.h> [mingw|msvc]
set -euo pipefail

objdump=$1
dll=$2
expected_header=$3
abi=${4:-mingw}
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

headers=$("$objdump" -p "$dll")

# The names in expected_exports.h: a working export is a quoted name alone on
# its line, a fixed-result export the first field of a {name, kinds, result} row.
expected=$(sed -nE 's/^[[:space:]]*\{?"([A-Za-z0-9_]+)",.*/\1/p' "$expected_header" | sort)
[[ $(wc -l <<<"$expected") -eq 107 ]] ||
    fail "expected 107 names in $expected_header, read $(wc -l <<<"$expected")"

actual=$(awk '/\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
              table && /^\t\[/ { print $3; next }
              table { table = 0 }' <<<"$headers" | sort)

missing=$(comm -23 <(echo "$expected") <(echo "$actual"))
unexpected=$(comm -13 <(echo "$expected") <(echo "$actual"))
[[ -z "$missing" ]] || fail "exports missing: $(echo $missing)"
[[ -z "$unexpected" ]] || fail "unexpected exports (a decorated name has @ or _Z in it): $(echo $unexpected)"
[[ $(grep -c . <<<"$actual") -eq 107 ]] || fail "$(grep -c . <<<"$actual") exports instead of 107 (a name twice?)"

# Part of every 64-bit Windows 10.
system_dlls=(
    kernel32.dll user32.dll advapi32.dll shell32.dll ole32.dll
    ws2_32.dll mswsock.dll bcrypt.dll api-ms-win-core-synch-l1-2-0.dll
)
case $abi in
    mingw) system_dlls+=(msvcrt.dll) ;;
    # The universal CRT's api-ms-win-crt-*.dll forward to ucrtbase.dll.
    msvc) system_dlls+=(msvcp140.dll vcruntime140.dll ucrtbase.dll 'api-ms-win-crt-*.dll') ;;
    *) echo "check_dll.sh: unknown ABI $abi" >&2; exit 2 ;;
esac
imports=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers")
[[ -n "$imports" ]] || fail "no import table read"
for name in $imports; do
    known=no
    for system in "${system_dlls[@]}"; do
        # shellcheck disable=SC2053 # a name may be a pattern
        [[ $name == $system ]] && known=yes
    done
    [[ $known == yes ]] || fail "imports $name, which is not a system DLL of the $abi build"
done

if ((failures > 0)); then
    echo "$failures check(s) failed for $dll" >&2
    exit 1
fi
echo "$(basename "$dll"): the 107 host-interface exports and nothing else; imports only $(echo $imports)"
