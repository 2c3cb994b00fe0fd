#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite: unit tests, the stand-ins' own
# tests and the end-to-end scenarios (these need root for network namespaces), then the unit
# tests under the sanitizers and a short fuzz run (scripts/run-sanitizers.sh).
# `scripts/run-tests.sh --quick` runs the plain suite only; further arguments go to its ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
scripts/setup.sh
ctest --test-dir build/default --output-on-failure -j2 "$@"
if [ "$quick" = 0 ]; then scripts/run-sanitizers.sh; fi
