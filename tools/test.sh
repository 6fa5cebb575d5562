#!/usr/bin/env bash
# Builds both programs (32-bit shipping, 64-bit test twin) and runs every test under Wine.
# Works on a fresh Debian 12 machine: installs what it needs first. Extra arguments go to ctest
# (for example -R e2e).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
tools/install-deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset win64 >/dev/null
cmake --build --preset win64
ctest --preset win64 "$@"
echo "all tests passed in $(( $(date +%s) - start )) s"
