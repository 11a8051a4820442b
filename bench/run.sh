#!/usr/bin/env bash
# Runs every benchmark: the compiled bench_* programs, then bench/*.py.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
for program in "$build"/bench/bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program"
done
for script in "$root"/bench/*.py; do
  [ -f "$script" ] || continue
  echo "== $(basename "$script")"
  AFCLINK_BIN="$build/afclink" python3 "$script"
done
