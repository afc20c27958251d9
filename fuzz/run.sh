#!/usr/bin/env bash
# Runs every libFuzzer program of a fuzz build for a fixed time each, starting from the checked-in
# seeds and crashes. New corpus entries go to fuzz/out/<target>/corpus (not checked in); a crashing
# input is kept in fuzz/out/<target>/ and makes the run fail. Copy it to fuzz/crashes/<target>/
# once fixed.   fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS] [TARGET...]}
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : 1 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || for f in "$src"/fuzz/targets/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
failed=0
summary=()
for t in "${targets[@]}"; do
  out=$src/fuzz/out/$t
  mkdir -p "$out/corpus"
  [ -x "$build/fuzz/fuzz_$t" ] || { echo "fuzz: $build/fuzz/fuzz_$t missing (build with make fuzz)" >&2; failed=1; continue; }
  echo "== fuzz $t for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/fuzz_$t" "$out/corpus" $(ls -d "$src/fuzz/corpus/$t" "$src/fuzz/crashes/$t" 2>/dev/null) \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$out/" >"$out/log.txt" 2>&1
  rc=$?
  line="$t: rc=$rc execs=$(grep -o 'number_of_executed_units: *[0-9]*' "$out/log.txt" | grep -o '[0-9]*$')"
  line="$line $(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$out/log.txt" | tail -1) corpus=$(ls "$out/corpus" | wc -l)"
  if [ $rc -ne 0 ]; then
    failed=1
    line="$line FINDING (see $out/log.txt)"
    grep -E 'ERROR|SUMMARY|Test unit written' "$out/log.txt" | head -5
  fi
  summary+=("$line")
done
echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $failed
