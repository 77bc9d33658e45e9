#!/bin/sh
# Fails when a file of a driver folder includes anything but the platform
# header, another driver folder's header, <stddef.h> or <stdint.h>. The
# driver folders are those of driver_layers.txt (which of them a folder may
# include is the layer check's concern, tools/layers/layers.py).
# Usage: check_driver_includes.sh <repository root>
root=${1:-.}
folders=$(sed -e 's/#.*//' "$root/driver_layers.txt" | awk 'NF { print $1 }')
status=0
checked=0
tmp_fail=$(mktemp)
trap 'rm -f "$tmp_fail"' EXIT
for folder in $folders; do
    [ -d "$root/$folder" ] || continue
    for file in $(find "$root/$folder" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.hpp' -o -name '*.inl' \)); do
        checked=$((checked + 1))
        # Every #include line, with its line number.
        grep -n '^[[:space:]]*#[[:space:]]*include' "$file" | while IFS= read -r line; do
            target=$(printf '%s\n' "$line" | sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*//; s/[[:space:]]*(\/\/.*)?$//')
            allowed=no
            case "$target" in
            '<stddef.h>' | '<stdint.h>' | '"platform/platform.h"') allowed=yes ;;
            '"'*'/'*'.h"')
                # a header of a driver folder
                dir=${target#\"}
                dir=${dir%%/*}
                for known in $folders; do
                    [ "$dir" = "$known" ] && allowed=yes
                done
                ;;
            esac
            if [ "$allowed" = no ]; then
                echo "$file:${line%%:*}: forbidden include $target"
                echo fail >"$tmp_fail"
            fi
        done
    done
done
if [ -s "$tmp_fail" ]; then
    status=1
fi
if [ "$checked" -eq 0 ]; then
    echo "no driver source found under $root"
    status=1
fi
echo "checked $checked driver files"
exit $status
