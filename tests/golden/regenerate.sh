#!/bin/sh
# Rewrites the transcripts of the archives here with the built `jov`; with
# --archives, first the archives themselves from their generator
# (tests/roundtrip/golden_test.cpp).
# Usage: tests/golden/regenerate.sh [--archives] [build folder]; then review `git diff`.
if [ "$1" = --archives ]; then
  shift
  JOV_GOLDEN_WRITE=archives "${1:-build}/tests/roundtrip_tests" --gtest_filter='Golden.Archives*' > /dev/null
fi
JOV_GOLDEN_WRITE=1 "${1:-build}/tests/roundtrip_tests" --gtest_filter='Golden.Every*'
