#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, round-trip, install and package,
# end-to-end under Wine, the unit and round-trip tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the bounded fuzz runs.
# Usage: scripts/test.sh            (everything)
#        JOV_SKIP=e2e,fuzz scripts/test.sh   (leave groups out while working)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
skip=",${JOV_SKIP:-},"

step() { printf '\n==== %s\n' "$*"; }

step setup
bash scripts/setup.sh

step "build (host and stub)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJOV_WERROR=ON >/dev/null
cmake --build build -j"$jobs"

step "unit and round-trip tests"
ctest --test-dir build -L 'unit|roundtrip' -j"$jobs" --output-on-failure

if [[ $skip != *,install,* ]]; then
  step "install, Debian package and signed installer"
  ctest --test-dir build -L install --output-on-failure
fi

if [[ $skip != *,asan,* ]]; then
  step "unit and round-trip tests under ASan and UBSan"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DJOV_SANITIZE=ON -DJOV_BUILD_STUB=OFF -DJOV_WERROR=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan -L 'unit|roundtrip' -j"$jobs" --output-on-failure
fi

if [[ $skip != *,fuzz,* && -x scripts/fuzz.sh ]]; then
  step "bounded fuzzing"
  bash scripts/fuzz.sh --bounded
fi

if [[ $skip != *,e2e,* ]] && ctest --test-dir build -N -L e2e | grep -q 'Total Tests: [1-9]'; then
  step "end-to-end tests under Wine"
  ctest --test-dir build -L e2e --output-on-failure
fi

step "all tests passed"
