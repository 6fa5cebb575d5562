#!/usr/bin/env bash
# Developer shortcut: runs a Windows program in a long-lived prefix of your own, set up on first use.
#   QWI_DEV_PREFIX=/tmp/wine-me tests/wine/dev-run.sh prog.exe args...   (64-bit)
#   QWI_DEV_PREFIX=/tmp/wine-me tests/wine/dev-run.sh --32 prog32.exe ...  (32-bit, slow)
#   tests/wine/dev-run.sh --env      prints the exports, for your own wine64/reg commands
#   tests/wine/dev-run.sh --stop     ends the display and the wineserver
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=${QWI_DEV_PREFIX:-/tmp/qwi-dev-wine}
mkdir -p "$state"
if [ "${1:-}" = --stop ]; then exec "$here/teardown.sh" "$state"; fi

alive() {
    [ -f "$state/env.sh" ] && [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null
}
(
    flock 9
    # The display and the wineserver outlive this lock: they must not inherit its descriptor.
    if ! alive; then "$here/setup.sh" "$state" >&2 9>&-; fi
) 9>"$state/.lock"
# A live wineserver keeps each process start cheap; start one again if it ended.
( . "$state/env.sh"; /usr/lib/wine/wineserver -p 2>/dev/null 9>&- || true )
export QWI_WINE_STATE="$state"
case "${1:-}" in
    --env) cat "$state/env.sh"; [ -f "$state/server.env" ] && cat "$state/server.env"; exit 0 ;;
    --32) shift; exec "$here/run32.sh" "$@" ;;
    *) exec "$here/run.sh" "$@" ;;
esac
