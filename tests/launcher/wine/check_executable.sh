#!/usr/bin/env bash
# Reads ZorimSlicer.exe with the cross objdump and checks what the linker and
# the resource compiler had to put into it:
#   - the GUI subsystem (no console window opens),
#   - the two exported 32-bit data symbols, placed in a data section,
#   - version information, icon and manifest resources,
#   - no import of MinGW's runtime DLLs, which would not be beside it.
#
#   check_executable.sh <objdump> <ZorimSlicer.exe>
set -euo pipefail

objdump=$1
exe=$2
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

headers=$("$objdump" -p "$exe")
sections=$("$objdump" -h "$exe")

grep -Eq '^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)' <<<"$headers" ||
    fail "subsystem is not Windows GUI"

# Export names map by position to the export address table's RVAs.
image_base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
declare -A export_rva=()
mapfile -t rvas < <(awk '/Export RVA/ { print $5 }' <<<"$headers")
mapfile -t names < <(awk '/\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
                          table && /^\t\[/ { print $3; next }
                          table { table = 0 }' <<<"$headers")
for i in "${!names[@]}"; do
    export_rva[${names[$i]}]=${rvas[$i]:-}
done

# Address range of a section, as "start end" relative to the image base.
section_range() {
    local size vma
    read -r size vma < <(awk -v name="$1" '$2 == name { print $3, $4 }' <<<"$sections") || return 1
    echo $((16#$vma - 16#$image_base)) $((16#$vma - 16#$image_base + 16#$size))
}

for symbol in NvOptimusEnablement AmdPowerXpressRequestHighPerformance; do
    rva=${export_rva[$symbol]:-}
    if [[ -z "$rva" ]]; then
        fail "$symbol is not exported"
        continue
    fi
    in_data=no
    for section in .data .bss; do
        read -r start end < <(section_range "$section") || continue
        address=$((16#$rva))
        if ((address >= start && address + 4 <= end)); then
            in_data=yes
        fi
    done
    [[ $in_data == yes ]] || fail "$symbol (RVA $rva) does not lie in .data or .bss"
done
if ((${#names[@]} != 2)); then
    fail "expected exactly two exports, found: ${names[*]:-none}"
fi

# Resource types at the top of the resource directory: 3 icon, 14 icon
# group, 16 version, 24 manifest.
resource_types=$(awk '/The .rsrc Resource Directory section/ { rsrc = 1 }
                      rsrc && /^0[0-9a-f]+   Entry: ID:/ { sub(",", "", $4); print $4 }' <<<"$headers")
for type in 0x000003 0x00000e 0x000010 0x000018; do
    grep -qx "$type" <<<"$resource_types" || fail "resource type $type missing (found: $(echo $resource_types))"
done

imports=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers")
for runtime in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    if grep -qx "$runtime" <<<"$imports"; then
        fail "imports $runtime, which is not shipped beside the launcher"
    fi
done

if ((failures > 0)); then
    echo "$failures check(s) failed for $exe" >&2
    exit 1
fi
echo "ZorimSlicer.exe: GUI subsystem, 2 data exports, icon, version and manifest resources, no MinGW runtime DLLs"
