#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite: unit tests, the stand-ins' own
# tests and the end-to-end scenarios (these need root for network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
scripts/setup.sh
ctest --test-dir build/default --output-on-failure -j2 "$@"
