#!/usr/bin/env bash
# Runs a 64-bit Windows program in the current test run's Wine prefix (QWI_WINE_STATE).
# CTest uses it as the emulator of every cross-built test program.
set -euo pipefail
state=${QWI_WINE_STATE:?QWI_WINE_STATE is not set (run through ctest or dev-run.sh)}
# A caller's own DLL overrides (a test that plants DLLs) win over the run's defaults.
caller_overrides=${WINEDLLOVERRIDES-}
# shellcheck disable=SC1091
. "$state/env.sh"
[ -n "$caller_overrides" ] && export WINEDLLOVERRIDES="$caller_overrides"
# shellcheck disable=SC1091
[ -f "$state/server.env" ] && . "$state/server.env"
exec /usr/lib/wine/wine64 "$@"
