#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, round-trip, install and package,
# end-to-end under Wine, the unit and round-trip tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the bounded fuzz runs.
# Usage: scripts/test.sh            (everything)
#        JOV_SKIP=e2e,fuzz scripts/test.sh   (leave groups out while working)
#
# The end-to-end scenarios spend their time waiting for Wine and its windows,
# not computing, so they run beside the other groups (their own prefix and
# display); their log follows at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
skip=",${JOV_SKIP:-},"
e2e_pid=""
trap '[[ -z $e2e_pid ]] || kill -- -"$e2e_pid" 2>/dev/null || true' EXIT

step() { printf '\n==== %s (%s s)\n' "$*" "$SECONDS"; }

step setup
bash scripts/setup.sh

step "build (host and stub)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJOV_WERROR=ON >/dev/null
cmake --build build -j"$jobs"

if [[ $skip != *,e2e,* ]] && ctest --test-dir build -N -L e2e | grep -q 'Total Tests: [1-9]'; then
  step "end-to-end tests under Wine started (log: build/e2e.log)"
  set -m  # its own process group, so that an early exit can end it
  ctest --test-dir build -L e2e --output-on-failure >build/e2e.log 2>&1 &
  e2e_pid=$!
  set +m
fi

step "unit and round-trip tests"
ctest --test-dir build -L 'unit|roundtrip' -j"$jobs" --output-on-failure

if [[ $skip != *,install,* ]]; then
  step "install and Debian package"
  ctest --test-dir build -L install --output-on-failure
fi

if [[ $skip != *,asan,* ]]; then
  # -O1 keeps assertions and the checks but runs the packer several times
  # faster than -O0; only what the tests need is built.
  step "unit and round-trip tests under ASan and UBSan"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DJOV_SANITIZE=ON \
    -DJOV_BUILD_STUB=OFF -DJOV_WERROR=ON >/dev/null
  cmake --build build-asan -j"$jobs" --target unit_tests roundtrip_tests robustness_tests jov
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan -L 'unit|roundtrip' -j"$jobs" --output-on-failure
fi

if [[ $skip != *,fuzz,* && -x scripts/fuzz.sh ]]; then
  step "bounded fuzzing"
  bash scripts/fuzz.sh --bounded
fi

if [[ -n $e2e_pid ]]; then
  step "end-to-end tests under Wine"
  status=0
  wait "$e2e_pid" || status=$?
  e2e_pid=""
  cat build/e2e.log
  ((status == 0)) || exit "$status"
fi

step "all tests passed"
