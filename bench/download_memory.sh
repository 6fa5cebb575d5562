#!/usr/bin/env bash
# Memory benchmark of the download worker: downloads 1 MiB and 256 MiB from the loopback test
# server and compares the process's peak memory. The body streams through one fixed buffer, so
# the two peaks must stay within 1 MiB of each other.
# Usage: bench/download_memory.sh BUILD_DIR   (x86_64 build with tests/helpers/download_bench.exe)
# Runs in the prefix of QWI_DEV_PREFIX (default /tmp/qwi-dev-wine), set up on first use, and
# starts its own test server there when none runs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$(realpath "${1:?usage: download_memory.sh BUILD_DIR}")
bench="$build/tests/helpers/download_bench.exe"
[ -f "$bench" ] || { echo "missing $bench (build the download_bench target)" >&2; exit 2; }
state=${QWI_DEV_PREFIX:-/tmp/qwi-dev-wine}

[ -f "$state/env.sh" ] || "$root/tests/wine/dev-run.sh" --env >/dev/null
if [ ! -f "$state/server.pid" ] || ! kill -0 "$(cat "$state/server.pid")" 2>/dev/null; then
    QWI_BUILD_DIR="$build" "$root/tests/server/start.sh" "$state" >/dev/null
fi
# shellcheck disable=SC1091
. "$state/server.env"

# The pin of the server's /body/N?mz (the test pattern beginning with "MZ"): the installer asks a
# plain http address only with one.
pin() {
    /usr/bin/python3 - "$root/tests/server" "$1" <<'PIN'
import hashlib, sys
sys.path.insert(0, sys.argv[1])
import test_server
size = int(sys.argv[2])
digest = hashlib.sha256()
for piece in test_server.PatternSource(size, mz=True).blocks(0, size, 1 << 20):
    digest.update(piece)
print(digest.hexdigest())
PIN
}
run() {
    QWI_WINE_STATE="$state" "$root/tests/wine/run.sh" "$bench" \
        "http://127.0.0.1:$QWI_HTTP_PORT/body/$1?mz" "$(pin "$1")" "Z:$(echo "$state/bench-download.bin" | tr / '\\')"
}
field() { sed -n "s/.*$1=\([0-9]*\).*/\1/p"; }

small=$(run $((1 << 20)))
large=$(run $((256 << 20)))
echo "1 MiB:   $small"
echo "256 MiB: $large"
for name in peak_working_set peak_private; do
    a=$(echo "$small" | field $name)
    b=$(echo "$large" | field $name)
    echo "$name: 1 MiB $a bytes, 256 MiB $b bytes, ratio $(awk "BEGIN { printf \"%.3f\", $b / $a }"), difference $((b - a)) bytes"
    if [ $((b - a)) -gt $((1 << 20)) ]; then
        echo "FAIL: $name grew by more than 1 MiB" >&2
        status=1
    fi
done
exit "${status:-0}"
