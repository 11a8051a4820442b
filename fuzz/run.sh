#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset, in build-fuzz/) and runs
# each for SECONDS (default 300) against a scratch copy of its seed corpus
# in fuzz/corpus/<target>/, one target at a time, so the committed corpus
# never grows. Prints one summary line per target; a crashing input is kept
# in build-fuzz/fuzz-artifacts/<target>/ and the sanitizer's report is
# printed. Exits non-zero if any target fails to build or crashes.
#
#   bash fuzz/run.sh 60      # what CI runs
set -uo pipefail

seconds="${1:-300}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: fuzz/run.sh [SECONDS]" >&2
  exit 2
fi
cd "$(dirname "$0")/.." || exit 2

# Target, then its options: the largest input worth trying, and whether to
# try long inputs from the start (inputs that are scripts of operations).
targets=(
  "fuzz_tokenize -max_len=1024"
  "fuzz_command -max_len=2048 -len_control=0"
  "fuzz_compressed_copy -max_len=16384"
  "fuzz_alias -max_len=2048"
  "fuzz_locator -max_len=4096"
  "fuzz_afc -max_len=512 -len_control=0"
)

bash scripts/install-deps.sh fuzz || exit 1

build=build-fuzz
mkdir -p "$build"
log="$build/fuzz-build.log"
if ! cmake --preset fuzz >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "fuzz: configuring failed (full log: $log)" >&2
  exit 1
fi

scratch="$(cd "$(mktemp -d "${TMPDIR:-/tmp}/afclink-fuzz.XXXXXX")" && pwd)"
trap 'rm -rf "$scratch"' EXIT

report_start='^(fuzz_[a-z_]+: |==[0-9]+==ERROR|.*runtime error:|ERROR: libFuzzer|==[0-9]+== ERROR)'
failed=0
summary=()
for entry in "${targets[@]}"; do
  read -r target options <<<"$entry"
  if ! cmake --build "$build" --target "$target" -j2 >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    summary+=("$(printf '%-22s %-7s (log: %s)' "$target" FAILED-BUILD "$log")")
    failed=1
    continue
  fi

  corpus="$scratch/$target"
  mkdir -p "$corpus"
  cp fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null
  # Absolute: fuzz_command works inside a scratch folder of its own.
  artifacts="$PWD/$build/fuzz-artifacts/$target"
  mkdir -p "$artifacts"
  output="$scratch/$target.log"
  echo "fuzz: $target for ${seconds}s" >&2
  # shellcheck disable=SC2086  # options are separate words
  # A fixed seed (FUZZ_SEED, 1 unless set) makes a run repeatable, so a
  # finding can be replayed as it happened; set another to explore afresh.
  "$build/fuzz/$target" $options -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" >"$output" 2>&1
  status=$?

  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$output" | tail -n 1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$output" | tail -n 1)"
  progress="$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$output" | tail -n 1)"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$progress")"
  features="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$progress")"
  units="$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$progress")"
  case "$status" in
    0) verdict=ok ;;
    70) verdict=TIMEOUT ;;  # libFuzzer's exit status for an input over -timeout
    *) verdict=CRASH ;;
  esac
  line="$(printf '%-22s %-7s %10s execs %7s/s  cov %5s  ft %6s  corpus %5s' "$target" \
    "$verdict" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${features:-?}" "${units:-?}")"
  if [ "$status" -ne 0 ]; then
    failed=1
    artifact="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$output" | tail -n 1)"
    line+="  input: ${artifact:-none written}"
    # The report: from the harness's or the sanitizer's first word to the
    # written input.
    first="$(grep -n -m 1 -E "$report_start" "$output" | cut -d: -f1)"
    {
      echo "---- $target (exit $status) ----"
      sed -n "${first:-1},/Test unit written/p" "$output" | head -n 80
    } >&2
  fi
  summary+=("$line")
done

echo
printf '%s\n' "${summary[@]}"
exit "$failed"
