#!/usr/bin/env bash
# Checks every tracked C and C++ file against .clang-format and lists the
# files that would change; exits 1 when there are any. Edits nothing.
#   scripts/check-format.sh         check
#   scripts/check-format.sh --fix   reformat the files in place
# CLANG_FORMAT picks the binary (default clang-format-14 when installed, else
# clang-format; the style was tuned with 14, and other versions may disagree
# on details).
set -euo pipefail

fix=0
case "${1:-}" in
  --fix) fix=1 ;;
  "") ;;
  *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

cd "$(git rev-parse --show-toplevel)"
if [ -z "${CLANG_FORMAT:-}" ]; then
  CLANG_FORMAT=clang-format
  command -v clang-format-14 >/dev/null 2>&1 && CLANG_FORMAT=clang-format-14
fi
clang_format=$CLANG_FORMAT
if ! command -v "$clang_format" >/dev/null 2>&1; then
  echo "check-format: $clang_format not found (scripts/install-deps.sh lint)" >&2
  exit 2
fi

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')

if [ "$fix" -eq 1 ]; then
  "$clang_format" -i --style=file "${files[@]}"
  exit 0
fi

bad=()
for f in "${files[@]}"; do
  if ! "$clang_format" --dry-run --Werror --style=file "$f" >/dev/null 2>&1; then
    bad+=("$f")
  fi
done

if [ ${#bad[@]} -ne 0 ]; then
  echo "check-format: ${#bad[@]} file(s) not formatted (scripts/check-format.sh --fix):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
