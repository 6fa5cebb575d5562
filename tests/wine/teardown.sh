#!/usr/bin/env bash
# Ends a Wine test run: stops the test servers, the wineserver (and every Wine process of the
# prefix with it) and the virtual display. Usage: teardown.sh STATE_DIR
set -uo pipefail
state=$(realpath -m "$1")
here=$(cd "$(dirname "$0")" && pwd)
if [ -x "$here/../server/stop.sh" ]; then
    "$here/../server/stop.sh" "$state" || true
fi
if [ -d "$state/prefix" ]; then
    wineserver=/usr/lib/wine/wineserver
    [ -x "$wineserver" ] || wineserver=$(command -v wineserver)
    WINEPREFIX="$state/prefix" "$wineserver" -k 2>/dev/null || true
    WINEPREFIX="$state/prefix" timeout 20 "$wineserver" -w 2>/dev/null || true
fi
if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid"
fi
exit 0
