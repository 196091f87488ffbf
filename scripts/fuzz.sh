#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/ and runs them one after another.
#
# Usage: scripts/fuzz.sh --bounded            every target for a short fixed budget
#                                             (JOV_FUZZ_SECONDS, default 30): the
#                                             test command's run, keeps them alive
#        scripts/fuzz.sh [SECONDS] [TARGET..]  every (or the named) target for
#                                             SECONDS each (default 600)
#
# Each target starts from its committed seeds (tests/fuzz/corpus/<target>) and
# keeps what it learns in build-fuzz/corpus/<target>. A crash, leak, timeout or
# failed check lands in build-fuzz/findings/<target>/ and makes the script
# fail; turn each into a regression test in tests/unit. The last lines give
# seconds and executions per target. JOV_FUZZ_DIR names another build folder
# (default build-fuzz), e.g. for a long run beside an edited tree.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${JOV_FUZZ_DIR:-build-fuzz}

seconds=600
if [[ ${1:-} == --bounded ]]; then
  seconds=${JOV_FUZZ_SECONDS:-30}
  shift
elif [[ ${1:-} =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
all=(decode_block extract pack)
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")

declare -A max_len=([decode_block]=65536 [extract]=65536 [pack]=16384)

CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJOV_FUZZ=ON -DJOV_BUILD_STUB=OFF -DJOV_WERROR=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target fuzzers >/dev/null

summary=()
failed=0
for t in "${targets[@]}"; do
  [[ -n ${max_len[$t]:-} ]] || { echo "fuzz: unknown target $t" >&2; exit 2; }
  work=$dir/corpus/$t findings=$dir/findings/$t log=$dir/fuzz-$t.log
  mkdir -p "$work" "$findings"
  echo "fuzz: $t for ${seconds}s"
  status=0
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    "$dir/tests/fuzz/fuzz_$t" "$work" "tests/fuzz/corpus/$t" \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len="${max_len[$t]}" \
    -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1 || status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  if ((status != 0)); then
    failed=1
    echo "fuzz: $t FOUND A PROBLEM (see $log and $findings/)"
    grep -m5 -E 'ERROR|fuzz check failed|runtime error|SUMMARY' "$log" || true
  fi
  summary+=("$(printf '%-13s %6ss %12s executions%s' "$t" "$seconds" "$runs" "$( ((status)) && echo '  FAILED')")")
done
printf '%s\n' "${summary[@]}"
exit $failed
