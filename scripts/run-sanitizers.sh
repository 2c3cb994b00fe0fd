#!/usr/bin/env bash
# The unit tests again under the sanitizers, then a short fuzz run: every unit test under
# ASan+UBSan (asan preset), the server and engine tests under TSan (tsan preset), and every fuzz
# target for KIVO_FUZZ_SECONDS (default 20) each. Only unit-test executables are built here; the
# end-to-end scenarios run in the plain suite. Needs clang (setup.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"

echo "== Unit tests under ASan+UBSan"
cmake --preset asan >/dev/null
cmake --build build/asan --target kivo_unit_tests
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -L '^unit$' --output-on-failure -j2

echo "== Server and engine unit tests under TSan"
cmake --preset tsan >/dev/null
cmake --build build/tsan --target kivo_server_tests kivo_net_tests kivo_dns_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -L '^unit$' --output-on-failure -j2

echo "== Fuzz targets"
scripts/run-fuzz.sh "${KIVO_FUZZ_SECONDS:-20}"
