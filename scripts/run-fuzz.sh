#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan+UBSan) and runs every fuzz target for a fixed
# time each: scripts/run-fuzz.sh [seconds per target] (default 20; CI uses the default, a long
# local run passes e.g. 3600). A target is every executable NAME_fuzz the preset builds (each
# src/**/NAME_fuzz.cpp of a module, and what kivo_ne_manager registers); its seeds are the
# folder corpus/NAME/ beside its code, with an optional dictionary corpus/NAME.dict.
# New inputs go to build/fuzz/corpus/NAME, crashes to build/fuzz/artifacts/NAME; the seeds in
# the tree are never written. Fails when any target crashes, hangs or trips a sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"

export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
cmake --preset fuzz >/dev/null
cmake --build build/fuzz
mapfile -t programs < <(find build/fuzz -name CMakeFiles -prune -o -type f -perm -u+x -name '*_fuzz' -print | sort)
if ((${#programs[@]} == 0)); then
  echo "No fuzz targets were built in build/fuzz" >&2
  exit 1
fi

failed=()
for program in "${programs[@]}"; do
  name="$(basename "$program")"
  seeds="$(find src kivo_ne_manager -type d -path "*/corpus/$name" 2>/dev/null | head -n 1)"
  seeds="${seeds:-/nonexistent/$name}"
  work="build/fuzz/corpus/$name"
  artifacts="build/fuzz/artifacts/$name/"
  mkdir -p "$work" "$artifacts"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1
        -artifact_prefix="$artifacts")
  [ -f "$seeds.dict" ] && args+=(-dict="$seeds.dict")
  corpora=("$work")
  [ -d "$seeds" ] && corpora+=("$seeds")
  echo "== $name: ${seconds}s"
  if ! "$program" "${args[@]}" "${corpora[@]}" >"build/fuzz/$name.log" 2>&1; then
    tail -n 60 "build/fuzz/$name.log"
    failed+=("$name")
  else
    grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/$name.log" || true
  fi
done

if ((${#failed[@]})); then
  echo "Fuzz targets failed: ${failed[*]} (inputs in build/fuzz/artifacts/)" >&2
  exit 1
fi
echo "All ${#programs[@]} fuzz targets ran ${seconds}s each without a finding."
