#!/bin/sh
# Rewrites the transcripts of the archives here with the built `jov`.
# Usage: tests/golden/regenerate.sh [build folder]; then review `git diff`.
JOV_GOLDEN_WRITE=1 "${1:-build}/tests/roundtrip_tests" --gtest_filter='Golden.*'
