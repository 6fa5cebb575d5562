#!/usr/bin/env bash
# Runs a 32-bit Windows program in the current test run's prefix through 32-bit Wine, which on
# this kind of machine runs under qemu user emulation (about a minute per process).
# Exits 77 (reported by ctest as skipped) when the machine cannot run 32-bit Wine.
set -euo pipefail
state=${QWI_WINE_STATE:?QWI_WINE_STATE is not set (run through ctest or dev-run.sh)}
if [ ! -x /usr/lib/wine/wine ]; then
    echo "SKIP: 32-bit Wine (wine32:i386) is not installed"; exit 77
fi
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "SKIP: this machine cannot start the 32-bit Wine loader (no qemu-i386 binfmt registration)"; exit 77
fi
# A caller's own DLL overrides (a test that plants DLLs) win over the run's defaults.
caller_overrides=${WINEDLLOVERRIDES-}
# shellcheck disable=SC1091
. "$state/env.sh"
[ -n "$caller_overrides" ] && export WINEDLLOVERRIDES="$caller_overrides"
# shellcheck disable=SC1091
[ -f "$state/server.env" ] && . "$state/server.env"
exec /usr/lib/wine/wine "$@"
