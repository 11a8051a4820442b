#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over every C++ translation unit of the
# repository: the program, the unit tests and their fakes, the benchmarks
# and the fuzz harnesses. Exits 1 when there is any finding. Edits nothing.
#   scripts/check-tidy.sh                 every translation unit
#   scripts/check-tidy.sh src/main/x.cpp  just these (must be in the build)
# The compile database comes from its own build directory, build-tidy/
# (TIDY_BUILD_DIR), configured here with clang so that the fuzz harnesses
# are in it; nothing is compiled. CLANG_TIDY picks the binary (default
# clang-tidy-14 when installed, else clang-tidy); JOBS the parallel runs.
set -euo pipefail

root=$(git rev-parse --show-toplevel)
cd "$root"
build=${TIDY_BUILD_DIR:-build-tidy}
jobs=${JOBS:-$(nproc)}
if [ -z "${CLANG_TIDY:-}" ]; then
  CLANG_TIDY=clang-tidy
  command -v clang-tidy-14 >/dev/null 2>&1 && CLANG_TIDY=clang-tidy-14
fi
if ! command -v "$CLANG_TIDY" >/dev/null 2>&1; then
  echo "check-tidy: $CLANG_TIDY not found (scripts/install-deps.sh lint)" >&2
  exit 2
fi

# Configuring is cheap and keeps the database in step with CMakeLists.txt.
config=(-S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DAFCLINK_WERROR=ON
        -DAFCLINK_BENCH=ON)
if command -v clang >/dev/null 2>&1 && command -v clang++ >/dev/null 2>&1; then
  config+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DAFCLINK_FUZZ=ON)
else
  echo "check-tidy: no clang; the fuzz harnesses are not checked" >&2
fi
mkdir -p "$build"
if ! cmake "${config[@]}" >"$build/check-tidy-configure.log" 2>&1; then
  cat "$build/check-tidy-configure.log" >&2
  exit 2
fi

# The repository's C++ translation units in the database, each once (a
# harness may compile a source file of the program a second time).
mapfile -t units < <(python3 - "$build/compile_commands.json" "$root" "$@" <<'PY'
import json, os, sys
db, root, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
wanted = {os.path.realpath(w) for w in wanted}
seen = []
for entry in json.load(open(db)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.startswith("..") or rel.startswith("build") or not path.endswith(".cpp"):
        continue
    if wanted and path not in wanted:
        continue
    if rel not in seen:
        seen.append(rel)
print("\n".join(seen))
PY
)
if [ ${#units[@]} -eq 0 ] || [ -z "${units[0]}" ]; then
  echo "check-tidy: no translation units to check" >&2
  exit 2
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
start=$SECONDS
# Each run writes its own file; a failing run must not stop the others.
printf '%s\n' "${units[@]}" | xargs -P "$jobs" -I{} sh -c \
  '"$1" -p "$2" --quiet "$3" >"$4/$(echo "$3" | tr / _).log" 2>&1 || echo "$3" >>"$4/failed"' \
  sh "$CLANG_TIDY" "$build" {} "$out"

# A header's finding shows up once per unit that includes it: print it once.
findings=$(cat "$out"/*.log | grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' \
  | sed "s|^$root/||" | sort -u || true)
if [ -n "$findings" ] || [ -s "$out/failed" ]; then
  cat "$out"/*.log | grep -vE "^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$" \
    | sed "s|^$root/||" >&2
  echo >&2
  echo "check-tidy: $(printf '%s\n' "$findings" | grep -c . || true) finding(s):" >&2
  printf '%s\n' "$findings" >&2
  exit 1
fi
echo "check-tidy: ${#units[@]} translation units clean ($((SECONDS - start)) s)"
