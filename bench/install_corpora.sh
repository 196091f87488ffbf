#!/usr/bin/env bash
# The installer under Wine installs each benchmark corpus byte for byte, at
# the levels that take the packer's different paths (0 stores, 1 greedy, 6
# lazy, 9 optimal; planned block ends from 5): `jov pack`, then `Setup.exe /S
# /D=...` on a private prefix and Xvfb display, then `diff -r` of the
# installed tree against the corpus. Slow (minutes), hence a bench script
# rather than a test.
#
# Usage: bench/install_corpora.sh [BUILD_DIR]     (default: build)
#   CORPUS=/tmp/jov-corpus   where the corpora are built (kept between runs)
#   CORPORA="pe code text"   LEVELS="0 1 6 9"
# Prints one line per installer and exits 1 if any differs.
set -euo pipefail
source "$(dirname "$0")/common.sh" "${1:-}"
CORPORA=${CORPORA:-"pe code text"}
LEVELS=${LEVELS:-"0 1 6 9"}
if [[ ! -f $CORPUS/text.tar ]]; then bash "$MAKE_CORPUS" "$CORPUS"; fi

WORK=$(mktemp -d)
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
display=$((600 + RANDOM % 300))
export DISPLAY=:$display
Xvfb "$DISPLAY" -screen 0 1024x768x24 > /dev/null 2>&1 &
xvfb=$!
cleanup() { wineserver -k > /dev/null 2>&1 || true; kill "$xvfb" 2> /dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT
wineboot -i > /dev/null 2>&1
drive_c=$WINEPREFIX/drive_c

failed=0
for c in $CORPORA; do
  for l in $LEVELS; do
    "$JOV" pack -q -l "$l" -o "$WORK/Setup.exe" "$CORPUS/$c"
    status=0
    wine "$WORK/Setup.exe" /S "/D=C:\\out\\$c$l" > /dev/null 2>&1 || status=$?
    if [[ $status == 0 ]] && diff -r "$CORPUS/$c" "$drive_c/out/$c$l" > /dev/null; then
      verdict="installed byte for byte"
    else
      verdict="FAILED (exit $status or a difference)"
      failed=1
    fi
    printf '%-5s -l %s  %11d bytes  %s\n' "$c" "$l" "$(stat -c %s "$WORK/Setup.exe")" "$verdict"
    rm -rf "$drive_c/out/$c$l"
  done
done
exit $failed
