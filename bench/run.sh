#!/usr/bin/env bash
# Runs every benchmark: the compiled bench_* programs, then bench/*.py.
# Each one prints its figures and exits non-zero when it misses its target;
# all of them run regardless, and the misses are listed at the end.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
missed=()
for program in "$build"/bench/bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" || missed+=("$(basename "$program")")
done
for script in "$root"/bench/*.py; do
  [ -f "$script" ] || continue
  echo "== $(basename "$script")"
  AFCLINK_BIN="$build/afclink" python3 "$script" || missed+=("$(basename "$script")")
done
if [ ${#missed[@]} -gt 0 ]; then
  echo "targets missed: ${missed[*]}"
  exit 1
fi
echo "every target met"
