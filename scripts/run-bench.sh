#!/usr/bin/env bash
# Builds the benchmarks (build/bench, Release) and measures every figure, writing BENCHMARKS.md
# and printing it. Runs the helper and each baseline side by side in the sandbox, so it needs
# root. KIVO_BENCH_ROUNDS sets the number of alternated rounds (default 21); KIVO_BENCH_ENGINE_*
# those of bench/engine_bench.py. Run it on a quiet machine: about a quarter of an hour.
#   scripts/run-bench.sh --quick [gbench,daemon,engines]   a few short rounds, printed only
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j 2
if [ "${1:-}" = "--quick" ]; then
  exec /usr/bin/python3 bench/run_bench.py build/bench "$@"
fi
/usr/bin/python3 bench/run_bench.py build/bench BENCHMARKS.md
