#!/usr/bin/env bash
# Makes a delay-import library from a mingw import library, so that the DLL is loaded on first
# use (after the program has restricted the DLL search path) rather than by the loader at start.
# Usage: make_delay_lib.sh TRIPLE IMPORT_LIB DLL_NAME OUTPUT
set -euo pipefail
triple=$1 import_lib=$2 dll=$3 out=$4
mkdir -p "$(dirname "$out")"
def=${out%.a}.def
{
    if [ "${triple%%-*}" = i686 ]; then
        # __imp__Name@N (stdcall) -> Name@N; --kill-at then imports it by its plain name.
        "$triple-nm" "$import_lib" | sed -n 's/^[0-9a-f]* I __imp__\(.*\)$/\1/p'
    else
        "$triple-nm" "$import_lib" | sed -n 's/^[0-9a-f]* I __imp_\(.*\)$/\1/p'
    fi
} | sort -u >"$def.names"
{ echo "LIBRARY $dll"; echo "EXPORTS"; cat "$def.names"; } >"$def.tmp"
rm -f "$def.names"
mv "$def.tmp" "$def"
"$triple-dlltool" --kill-at -d "$def" -y "$out" -D "$dll"
