#!/usr/bin/env bash
# Prepares one Wine test run in STATE_DIR: a virtual display, a fresh Wine prefix and a
# persistent wineserver, then the local test servers. Writes STATE_DIR/env.sh for run.sh.
# Usage: setup.sh STATE_DIR
set -euo pipefail
state=$(realpath -m "$1")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$state"
"$here/teardown.sh" "$state" >/dev/null 2>&1 || true
rm -rf "$state/prefix"
mkdir -p "$state/prefix"

# Xvfb picks a free display itself and tells us which, so parallel runs never collide.
exec 3>"$state/display"
setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$state/xvfb.log" 2>&1 &
echo $! >"$state/xvfb.pid"
exec 3>&-
for _ in $(seq 100); do [ -s "$state/display" ] && break; sleep 0.1; done
[ -s "$state/display" ] || { echo "Xvfb did not start"; cat "$state/xvfb.log"; exit 1; }
display=":$(head -n1 "$state/display")"

cat >"$state/env.sh" <<ENV
export WINEPREFIX="$state/prefix"
export DISPLAY="$display"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export QWI_WINE_STATE="$state"
ENV
# shellcheck disable=SC1091
. "$state/env.sh"

wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
# Daemons must not hold the caller's output open (ctest waits for it to close).
"$wineserver" -p </dev/null >>"$state/wineserver.log" 2>&1
start=$(date +%s)
/usr/lib/wine/wine64 wineboot --init </dev/null >"$state/wineboot.log" 2>&1
echo "wine prefix ready in $(( $(date +%s) - start )) s (display $display)"

# Every program under test sees a fixed, known screen DPI unless a test sets its own.
/usr/lib/wine/wine64 reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1 || true
# The error window asks for Arial, which Wine does not have: name Liberation Sans (fonts-liberation,
# Arial's widths) for it rather than leave the face to Wine's fallback, so that a line breaks here
# where it would on Windows.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ /d 'Liberation Sans' /f >/dev/null 2>&1 || true
# The virtual display has no window manager: let Wine manage windows itself, or it waits about
# 2 s for one each time a window is closed.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true

# Keep Wine's desktop process for the whole run, started with its output elsewhere: otherwise a
# test program starts it, it inherits that program's output, and ctest waits about 20 s for it
# to quit after each test (see window_driver hold).
holder="${QWI_BUILD_DIR:-}/tests/helpers/window_driver.exe"
if [ -n "${QWI_BUILD_DIR:-}" ] && [ -f "$holder" ]; then
    setsid /usr/lib/wine/wine64 "$holder" hold </dev/null >/dev/null 2>&1 9>&- &
fi

if [ -x "$here/../server/start.sh" ]; then
    "$here/../server/start.sh" "$state"
fi

# The signer tests' code-signing authority (tests/signing), trusted in this prefix only, and its
# revocation list; and an authority that only the user's own root store trusts, put there as a
# program of the user would.
signing="${QWI_BUILD_DIR:-}/tests/signing"
trust="${QWI_BUILD_DIR:-}/tests/helpers/trust_ca.exe"
if [ -n "${QWI_BUILD_DIR:-}" ] && [ -f "$signing/ca.der" ] && [ -f "$trust" ]; then
    for file in ca.der ca.crl --user:user_ca.der; do
        option=()
        case $file in --user:*) option=(--user); file=${file#--user:} ;; esac
        [ -f "$signing/$file" ] || continue
        QWI_WINE_STATE="$state" "$here/run.sh" "$trust" "${option[@]}" "Z:$(echo "$signing/$file" | tr / '\\')" \
            </dev/null >>"$state/trust.log" 2>&1 || echo "note: could not add the signing test $file" >&2
    done
fi
