#!/usr/bin/env bash
# Performance benchmarks of the installer: download speed against a minimal WinINet loop and
# curl, the download over a link that resets every 32 MiB against a clean one, peak memory of a
# small and a large download, size of the shipping executable, and the time to the first splash
# render against a trivial program. Prints a Markdown report (also kept in
# $QWI_DEV_PREFIX/bench/report.md).
#
# Usage: bench/run.sh [--mib N] [--runs N] [--only size|startup|memory|speed|flaky ...]
#   --mib N: the payload's size in MiB (default 256; a smaller one for a quick trial, where the
#   flaky link resets every eighth of it).
# Environment: QWI_DEV_PREFIX (Wine prefix and state, default /tmp/wine-bench),
#   QWI_BENCH_BUILD64 (default /tmp/build-bench64), QWI_BENCH_BUILD32 (default /tmp/build-bench32).
# Builds what it needs (x86_64 twin, a start-up probe build, the i686 shipping build); the first
# run also creates the Wine prefix (a few minutes).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
state=$(realpath -m "${QWI_DEV_PREFIX:-/tmp/wine-bench}")
export QWI_DEV_PREFIX="$state" # tests/wine/dev-run.sh sets up and uses the same prefix
b64=$(realpath -m "${QWI_BENCH_BUILD64:-/tmp/build-bench64}")
b64_startup="$b64-startup"
b32=$(realpath -m "${QWI_BENCH_BUILD32:-/tmp/build-bench32}")
work="$state/bench"
payload_mib=256
measure_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --mib) payload_mib=${2:-}; shift 2 || { echo "--mib needs a value" >&2; exit 2; } ;;
        *) measure_args+=("$1"); shift ;;
    esac
done
case "$payload_mib" in ''|*[!0-9]*|0) echo "--mib needs a positive whole number of MiB" >&2; exit 2 ;; esac
jobs=$(nproc)
say() { echo "== $*" >&2; }

# ---- builds ---------------------------------------------------------------------------------
say "building the x86_64 twin and its helpers in $b64"
cmake --preset win64 -B "$b64" -S "$root" >/dev/null
cmake --build "$b64" -j"$jobs" --target QuorvelWebInstaller qwi_core download_bench trust_ca window_driver >/dev/null

say "building the start-up probe (ends after the first render) in $b64_startup"
cmake --preset win64 -B "$b64_startup" -S "$root" -DQWI_BUILD_TESTS=OFF \
    -DQWI_STARTUP_PROBE=ON >/dev/null
cmake --build "$b64_startup" -j"$jobs" --target QuorvelWebInstaller >/dev/null

say "building the shipping i686 executable in $b32"
cmake --preset win32 -B "$b32" -S "$root" -DQWI_BUILD_TESTS=OFF >/dev/null
cmake --build "$b32" -j"$jobs" --target QuorvelWebInstaller >/dev/null
# The same link once more, unstripped and with a map, to see what takes the space.
( cd "$b32" && sed -e 's/ -s / /' \
      -e 's/-o QuorvelWebInstaller\.exe/-o QuorvelWebInstaller-unstripped.exe -Wl,-Map=QuorvelWebInstaller.map/' \
      -e 's/--out-implib,[^ ]*/--out-implib,unstripped.dll.a/' \
      CMakeFiles/QuorvelWebInstaller.dir/link.txt | sh )

say "building the benchmark programs"
tools="$b64/bench"
mkdir -p "$tools"
cxx=x86_64-w64-mingw32-g++-posix
flags=(-std=c++17 -O2 -Wall -municode -static -DUNICODE -D_UNICODE)
"$cxx" "${flags[@]}" -o "$tools/wininet_loop.exe" "$here/wininet_loop.cpp" -lwininet -lbcrypt
"$cxx" "${flags[@]}" -o "$tools/stamp_setup.exe" "$here/stamp_setup.cpp"
"$cxx" "${flags[@]}" -o "$tools/launch_timer.exe" "$here/launch_timer.cpp"
x86_64-w64-mingw32-windres -I "$root/res" "$root/res/art.rc" -O coff -o "$tools/art.res"
"$cxx" "${flags[@]}" -fno-exceptions -fno-rtti -I "$root" -DNOMINMAX -D_WIN32_WINNT=0x0601 -DWINVER=0x0601 \
    -o "$tools/download_profile.exe" "$here/download_profile.cpp" "$tools/art.res" "$b64/libqwi_core.a" \
    -lpsapi -lole32 -loleaut32 -luuid -lshell32 -lgdi32 -luser32 -ladvapi32 -lkernel32 -lntdll # as QWI_SYSTEM_LIBS

# ---- Wine prefix, server, payload -----------------------------------------------------------
say "preparing the Wine prefix $state and the loopback server"
"$root/tests/wine/dev-run.sh" --env >/dev/null
mkdir -p "$work/files" "$work/tmp"
payload="$work/files/bench-setup.exe"
# A runnable program with the payload's MiB of data after its image: the loader ignores trailing data.
expected=$(( $(stat -c %s "$tools/stamp_setup.exe") + (payload_mib << 20) ))
if [ ! -f "$payload" ] || [ "$(stat -c %s "$payload")" != "$expected" ]; then
    cp "$tools/stamp_setup.exe" "$payload.tmp"
    head -c $((payload_mib << 20)) /dev/urandom >>"$payload.tmp"
    mv "$payload.tmp" "$payload"
fi
QWI_FILES_DIR="$work/files" QWI_BUILD_DIR="$b64" "$root/tests/server/start.sh" "$state" >/dev/null
holder=
finish() {
    "$root/tests/server/stop.sh" "$state" >/dev/null 2>&1 || true
    if [ -n "$holder" ]; then kill "$holder" 2>/dev/null || true; fi
}
trap finish EXIT
# shellcheck disable=SC1091
. "$state/server.env"
# shellcheck disable=SC1091
. "$state/env.sh"
export WINEPREFIX DISPLAY
# A user of Wine's desktop process for the whole run, as a Windows session always has its desktop.
# Without one it quits 10-25 s after its last window, the next installer run starts a new one and
# waits for it: about 0.1-0.4 s, or 10 s where the prefix's RpcSs service can't start (see
# docs/PERFORMANCE.md, "slow start-ups"). The dump returns once the desktop is there.
setsid /usr/lib/wine/wine64 "$b64/tests/helpers/window_driver.exe" hold </dev/null >/dev/null 2>&1 &
holder=$!
/usr/lib/wine/wine64 "$b64/tests/helpers/window_driver.exe" dump </dev/null >/dev/null 2>&1 || true

url="http://127.0.0.1:$QWI_HTTP_PORT/files/bench-setup.exe"
stamp_windows="Z:$(echo "$work/setup-started.txt" | tr / '\\')"
# Pinned by its SHA-256: the installer asks a plain http address only with a pin.
for kind in speed:"$b64" startup:"$b64_startup"; do
    python3 "$root/tools/qwi_config.py" write "${kind#*:}/QuorvelWebInstaller.exe" -o "$work/installer-${kind%%:*}.exe" \
        "https_url=$url" "http_url=$url" "setup_args=$stamp_windows" --sha256-of "$payload" >/dev/null
done

# Over https no pin is needed: the download without the digest of every byte.
secure_url="https://localhost:$QWI_HTTPS_PORT/files/bench-setup.exe"
python3 "$root/tools/qwi_config.py" write "$b64/QuorvelWebInstaller.exe" -o "$work/installer-speed-https.exe" \
    "https_url=$secure_url" "http_url=$secure_url" "setup_args=$stamp_windows" >/dev/null

# ---- measurements ---------------------------------------------------------------------------
say "measuring"
python3 "$here/bench.py" --work "$work" --payload "$payload" --http-port "$QWI_HTTP_PORT" --https-port "$QWI_HTTPS_PORT" \
    --installer-speed-https "$work/installer-speed-https.exe" \
    --launch-timer "$tools/launch_timer.exe" --stamp-setup "$tools/stamp_setup.exe" \
    --wininet-loop "$tools/wininet_loop.exe" --profile "$tools/download_profile.exe" \
    --download-bench "$b64/tests/helpers/download_bench.exe" \
    --installer-speed "$work/installer-speed.exe" --installer-startup "$work/installer-startup.exe" \
    --installer32 "$b32/QuorvelWebInstaller.exe" --map "$b32/QuorvelWebInstaller.map" "${measure_args[@]}" | tee "$work/report.md"
{
    echo
    echo "Machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(nproc) cores," \
        "$(/usr/lib/wine/wine64 --version); $(date -u '+%Y-%m-%d %H:%M UTC')"
} | tee -a "$work/report.md"
