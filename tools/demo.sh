#!/usr/bin/env bash
# Shows the Quorvel Web Installer at work on this machine, from a fresh checkout:
#   1. installs the packages (tools/install-deps.sh; needs root or sudo the first time),
#   2. builds the installer and a stand-in setup program (tests/helpers/fake_setup.exe),
#   3. serves the stand-in from the local test server (tests/server/test_server.py), slowed down
#      so that the splash stays up for a few seconds,
#   4. points a copy of the installer at that server and pins the stand-in by its SHA-256
#      (tools/qwi_config.py write ... --sha256-of setup.exe: a plain http:// address is used only
#      with a pin), and runs it under Wine, on your display when $DISPLAY works, else on a virtual one,
#   5. reports the exit code, the command line the setup program received, the installer's log
#      and a screenshot of the splash (build/demo/splash.png).
#
# Usage: tools/demo.sh [--win32] [--build-dir DIR] [--seconds N] [--no-deps]
#   --win32      run the shipping 32-bit build (under 32-bit Wine: about a minute per process)
#                instead of its 64-bit twin
#   --build-dir  build here instead of build/win64 (build/win32 with --win32)
#   --seconds    how long the demo download takes (default 5)
#   --no-deps    do not run tools/install-deps.sh
# The Wine prefix of the demo stays in build/demo/prefix, so later runs start at once.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
preset=win64
build_dir=
seconds=5
deps=1
while [ $# -gt 0 ]; do
    case "$1" in
        --win32) preset=win32 ;;
        --build-dir) build_dir=$(realpath -m "$2"); shift ;;
        --seconds) seconds=$2; shift ;;
        --no-deps) deps=0 ;;
        -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
[ -n "$build_dir" ] || build_dir=$root/build/$preset
demo=$root/build/demo
mkdir -p "$demo"
step() { printf '\n== %s\n' "$*"; }

# ---- 1. packages ---------------------------------------------------------------------------
if [ "$deps" = 1 ]; then
    step "Installing packages (tools/install-deps.sh)"
    deps_env=()
    [ "$preset" = win64 ] && deps_env=(QWI_SKIP_WINE32=1)
    if [ "$(id -u)" = 0 ]; then
        env "${deps_env[@]}" "$root/tools/install-deps.sh"
    elif command -v sudo >/dev/null; then
        sudo env "${deps_env[@]}" "$root/tools/install-deps.sh"
    else
        echo "demo: not root and no sudo: run tools/install-deps.sh as root first, then --no-deps" >&2
        exit 1
    fi
fi

# ---- 2. build ------------------------------------------------------------------------------
step "Building the installer ($preset) in $build_dir"
cmake --preset "$preset" -B "$build_dir" -S "$root" >"$demo/cmake.log" 2>&1 ||
    { cat "$demo/cmake.log"; exit 1; }
# Only what the demo runs: the installer, the stand-in setup program and the window helper.
cmake --build "$build_dir" -j"$(nproc)" --target QuorvelWebInstaller fake_setup window_driver
installer=$build_dir/QuorvelWebInstaller.exe
fake_setup=$build_dir/tests/helpers/fake_setup.exe
driver=$build_dir/tests/helpers/window_driver.exe
if [ "$preset" = win32 ]; then
    # The window helper drives windows from outside and may come from either build; the 64-bit
    # one starts in a fraction of a second.
    if [ -x "$root/build/win64/tests/helpers/window_driver.exe" ]; then
        driver=$root/build/win64/tests/helpers/window_driver.exe
    fi
fi

# ---- 3. display, Wine prefix ----------------------------------------------------------------
pids=()
cleanup() {
    if [ -n "${WINEPREFIX:-}" ]; then /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

where="your display ${DISPLAY:-}"
virtual=0
if [ -z "${DISPLAY:-}" ] || ! timeout 10 xwd -root -silent -display "$DISPLAY" >/dev/null 2>&1; then
    exec 3>"$demo/display"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$demo/xvfb.log" 2>&1 &
    pids+=($!)
    exec 3>&-
    for _ in $(seq 100); do [ -s "$demo/display" ] && break; sleep 0.1; done
    [ -s "$demo/display" ] || { echo "demo: Xvfb did not start" >&2; cat "$demo/xvfb.log" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$demo/display")"
    where="a virtual display ($DISPLAY, Xvfb)"
    virtual=1
fi

export WINEPREFIX=$demo/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
wine=/usr/lib/wine/wine64
[ "$preset" = win32 ] && wine=/usr/lib/wine/wine
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    step "Creating the demo's Wine prefix (once; a few minutes)"
    /usr/lib/wine/wine64 wineboot --init >"$demo/wineboot.log" 2>&1
fi

# A virtual display has no window manager: let Wine draw the title bars and take closed windows
# away itself (else it waits two seconds for a window manager at every close).
managed=Y
[ "$virtual" = 1 ] && managed=N
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d "$managed" /f >/dev/null 2>&1

# The installer writes setup.exe into a new run folder under the system's temporary folder
# (C:\windows\temp\quorvel-<random>); earlier demos' folders go first, so the one found is this run's.
system_temp=$WINEPREFIX/drive_c/windows/temp
rm -rf "$system_temp"/quorvel-*
run_file() { # the newest run folder's file $1, or nothing
    local folder
    folder=$(ls -td "$system_temp"/quorvel-* 2>/dev/null | head -n1)
    [ -n "$folder" ] && echo "$folder/$1"
}

# ---- 4. server and installer --------------------------------------------------------------
rate=$(( $(stat -c %s "$fake_setup") / seconds ))
[ "$rate" -gt 0 ] || rate=1
step "Serving the stand-in setup program at $rate bytes per second"
files=$demo/files
mkdir -p "$files"
cp "$fake_setup" "$files/setup.exe"
rm -f "$demo/http.port" "$demo/https.port" "$demo/relay.port"
/usr/bin/python3 "$root/tests/server/test_server.py" --state-dir "$demo" --files-dir "$files" \
    >"$demo/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$demo/http.port" ] && break; sleep 0.1; done
[ -s "$demo/http.port" ] || { echo "demo: the test server did not start" >&2; cat "$demo/server.log" >&2; exit 1; }
server_port=$(cat "$demo/http.port")

# The test server sends files at full speed; a small relay in front of it slows the transfer.
/usr/bin/python3 - "$server_port" "$rate" "$demo/relay.port" <<'RELAY' &
import socket, sys, threading, time
upstream, rate, port_file = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
def pipe(source, target, limit):
    started, sent = time.monotonic(), 0
    try:
        while True:
            data = source.recv(max(1, limit // 20) if limit else 65536)
            if not data:
                break
            target.sendall(data)
            sent += len(data)
            if limit:
                delay = started + sent / limit - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
    except OSError:
        pass
    for s in (source, target):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
def serve(client):
    server = socket.create_connection(("127.0.0.1", upstream))
    threading.Thread(target=pipe, args=(client, server, 0), daemon=True).start()
    pipe(server, client, rate)
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
with open(port_file + ".tmp", "w") as f:
    f.write("%d\n" % listener.getsockname()[1])
import os; os.replace(port_file + ".tmp", port_file)
while True:
    connection, _ = listener.accept()
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
RELAY
pids+=($!)
for _ in $(seq 100); do [ -s "$demo/relay.port" ] && break; sleep 0.1; done
[ -s "$demo/relay.port" ] || { echo "demo: the relay did not start" >&2; exit 1; }
url="http://127.0.0.1:$(cat "$demo/relay.port")/files/setup.exe"

demo_exe=$demo/QuorvelWebInstaller.exe
setup_args='"AID=32197" --demo'
# The installer runs elevated and starts what it downloads, so it asks a plain http:// address only
# when the configuration pins the setup program: here by its SHA-256 (a signed setup program can be
# pinned by its signer instead, --signer-of). This is the deployer's step too.
configure=(/usr/bin/python3 "$root/tools/qwi_config.py" write "$installer" -o "$demo_exe"
           "https_url=$url" "http_url=$url" "setup_args=$setup_args" --sha256-of "$files/setup.exe")
step "Configuring a copy of the installer: plain http, pinned by the setup program's SHA-256"
echo "tools/qwi_config.py write ${installer#"$root"/} -o ${demo_exe#"$root"/} https_url=$url http_url=$url" \
    "'setup_args=$setup_args' --sha256-of ${files#"$root"/}/setup.exe"
"${configure[@]}" >/dev/null

# ---- 5. run -------------------------------------------------------------------------------
# One quick program first, so that the prefix's own processes are up before the installer starts.
/usr/lib/wine/wine64 "$driver" dump >/dev/null 2>&1 || true

step "Running the installer under Wine on $where"
echo "download address: $url"
rm -f "$demo/splash.png"
started=$(date +%s%N)
"$wine" "$demo_exe" &
installer_pid=$!

shot=
if facts=$(/usr/lib/wine/wine64 "$driver" wait "Quorvel Web Installer" --splash --timeout-ms 180000 2>/dev/null); then
    rect=$(printf '%s\n' "$facts" | sed -n 's/^rect=//p' | tr -d '\r')
    IFS=, read -r left top right bottom <<<"$rect"
    # Photograph the splash with its bar about half-way.
    for _ in $(seq $(( seconds * 20 ))); do
        size=$(stat -c %s "$(run_file setup.exe)" 2>/dev/null || echo 0)
        [ "$size" -ge $(( $(stat -c %s "$fake_setup") / 2 )) ] && break
        sleep 0.05
    done
    if xwd -root -silent -display "$DISPLAY" 2>/dev/null |
        /usr/bin/convert xwd:- -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "png:$demo/splash.png" 2>/dev/null; then
        shot=$demo/splash.png
    fi
fi

set +e
wait "$installer_pid"
code=$?
set -e
ended=$(date +%s%N)

# The setup program runs on by itself; give it a moment to write its record.
for _ in $(seq 1200); do record=$(run_file setup-run.txt); [ -s "$record" ] && break; sleep 0.1; done

step "Result"
elapsed_ms=$(( (ended - started) / 1000000 ))
printf 'installer exit code: %s (after %d.%d s)\n' "$code" $((elapsed_ms / 1000)) $((elapsed_ms % 1000 / 100))
if [ -s "$record" ]; then
    echo "setup program started with this command line:"
    sed -n '1p' "$record" | sed 's/^/    /'
    echo "setup program file: $(sed -n '2p' "$record")"
    echo "setup program's working directory: $(sed -n '3p' "$record")"
else
    echo "the setup program did not start (no $record)"
fi
log=$(run_file install.log)
if [ -s "$log" ]; then
    echo "the installer's log ($log):"
    sed 's/^/    /' "$log"
fi
if [ -n "$shot" ]; then
    echo "screenshot of the splash: $shot"
else
    echo "no screenshot of the splash was taken (the splash was not seen)"
fi
[ "$code" = 0 ] && [ -s "$record" ]
