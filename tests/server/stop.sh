#!/usr/bin/env bash
# Stops the test servers that start.sh started for STATE_DIR. Usage: stop.sh STATE_DIR
set -uo pipefail
state=$(realpath -m "${1:?usage: stop.sh STATE_DIR}")
pid_file="$state/server.pid"
[ -f "$pid_file" ] || exit 0
pid=$(cat "$pid_file")
# Only our own server: the pid must still run test_server.py.
if kill -0 "$pid" 2>/dev/null && grep -q test_server.py "/proc/$pid/cmdline" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null
fi
rm -f "$pid_file" "$state/http.port" "$state/https.port" "$state/proxy.port"
exit 0
