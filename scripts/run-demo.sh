#!/usr/bin/env bash
# Sets everything up, builds, and runs the helper in a private sandbox, showing what it does.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
scripts/setup.sh
/usr/bin/python3 scripts/demo.py build/default
