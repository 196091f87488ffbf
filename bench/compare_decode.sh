#!/usr/bin/env bash
# Decoding speed against the fastest decoders at hand: `jov test` of a `-l 9`
# archive against `libdeflate-gunzip -t` of the same corpus's tar compressed
# with `gzip -9`, and `zstd -t` of it compressed with `zstd -19`, on the three
# corpora (pe, code, text) that ../shared/bench/make_corpus.sh builds.
#
# The machine may be shared, so the three commands run alternately, ROUNDS
# times, and each keeps its best wall time; the ratio (other's time / jov's
# time, above 1 when jov is faster) is the figure to compare between runs.
#
# Usage: bench/compare_decode.sh [BUILD_DIR]     (default: build)
#   CORPUS=/tmp/jov-corpus   where the corpora are built (kept between runs)
#   CORPORA="pe code text"   corpora to run
#   ROUNDS=5                 alternating rounds per corpus
#   ARCHIVES=DIR             keep the compressed corpora there and reuse them
#                            (the packer is slow at -l 9; remove DIR after
#                            changing it)
set -euo pipefail
shopt -s inherit_errexit
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
JOV=$BUILD/jov
CORPUS=${CORPUS:-/tmp/jov-corpus}
CORPORA=${CORPORA:-"pe code text"}
ROUNDS=${ROUNDS:-5}
MAKE_CORPUS=$ROOT/../shared/bench/make_corpus.sh
[[ -x $JOV ]] || { echo "compare_decode: $JOV not built" >&2; exit 1; }
for tool in libdeflate-gunzip zstd gzip; do
  command -v "$tool" > /dev/null || { echo "compare_decode: $tool not installed (scripts/setup.sh)" >&2; exit 1; }
done

if [[ ! -f $CORPUS/text.tar ]]; then bash "$MAKE_CORPUS" "$CORPUS"; fi
if [[ -n ${ARCHIVES:-} ]]; then
  WORK=$ARCHIVES
  mkdir -p "$WORK"
else
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
fi

# Wall time of one run of "$@" in seconds; a failing command stops the script.
timed() {
  local start=$EPOCHREALTIME
  "$@" > /dev/null
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.6f", b - a }'
}
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

echo "== $(nproc) cores; load at start: $(cut -d' ' -f1-3 /proc/loadavg); best of $ROUNDS, alternating"
printf '%-5s %11s %11s %11s %9s %9s %9s   %s\n' corpus "tar bytes" "jov bytes" "gz bytes" "jov s" "libdefl s" "zstd s" \
  "ratios (their time / jov's)"
for c in $CORPORA; do
  [[ -f $WORK/$c.jov ]] || "$JOV" pack --raw -q -l 9 -o "$WORK/$c.jov" "$CORPUS/$c"
  [[ -f $WORK/$c.tar.gz ]] || gzip -9 -c < "$CORPUS/$c.tar" > "$WORK/$c.tar.gz"
  [[ -f $WORK/$c.tar.zst ]] || zstd -q -19 -c < "$CORPUS/$c.tar" > "$WORK/$c.tar.zst"
  jov="" gz="" zs=""
  for ((r = 0; r < ROUNDS; ++r)); do
    jov=$(least "$(timed "$JOV" test "$WORK/$c.jov")" "$jov")
    gz=$(least "$(timed libdeflate-gunzip -t "$WORK/$c.tar.gz")" "$gz")
    zs=$(least "$(timed zstd -q -t "$WORK/$c.tar.zst")" "$zs")
  done
  printf '%-5s %11d %11d %11d %9.4f %9.4f %9.4f   libdeflate %.2f  zstd %.2f\n' "$c" \
    "$(stat -c %s "$CORPUS/$c.tar")" "$(stat -c %s "$WORK/$c.jov")" "$(stat -c %s "$WORK/$c.tar.gz")" \
    "$jov" "$gz" "$zs" "$(awk -v a="$gz" -v b="$jov" 'BEGIN { print a / b }')" \
    "$(awk -v a="$zs" -v b="$jov" 'BEGIN { print a / b }')"
  [[ -n ${ARCHIVES:-} ]] || rm -f "$WORK/$c".*
done
echo "== load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
