#!/usr/bin/env bash
# Decoding speed against the fastest decoders at hand: `jov test` of a `-l 9`
# archive against `libdeflate-gunzip -t` of the same corpus's tar compressed
# with `gzip -9`, and `zstd -t` of it compressed with `zstd -19`, on the three
# corpora (pe, code, text) that ../shared/bench/make_corpus.sh builds.
#
# The machine may be shared, so the three commands run alternately, ROUNDS
# times, and each keeps its best wall and best CPU time; the ratios (other's
# time / jov's, above 1 when jov is faster) are the figures to compare between
# runs, the CPU ones on a busy machine.
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
source "$(dirname "$0")/common.sh" "${1:-}"
CORPORA=${CORPORA:-"pe code text"}
ROUNDS=${ROUNDS:-5}
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

# "wall cpu" seconds of one run of "$@" (cpu: user + system, which other
# loads on the machine disturb less), to the microsecond: a run takes a few
# tens of milliseconds, where the shell's millisecond `time` would be a step
# of several percent. A failing command stops the script.
timed() {
  python3 -c '
import os, resource, subprocess, sys, time
before = resource.getrusage(resource.RUSAGE_CHILDREN)
start = time.perf_counter()
code = subprocess.call(sys.argv[1:], stdout=subprocess.DEVNULL)
wall = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
print("%.6f %.6f" % (wall, cpu))
sys.exit(code)' "$@"
}
# The smaller of each field of two "wall cpu" pairs ("" when none yet).
least() {
  if [[ -z $2 ]]; then echo "$1"; return; fi
  awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " ");
    printf "%s %s", (x[1] < y[1] ? x[1] : y[1]), (x[2] < y[2] ? x[2] : y[2]) }'
}
ratio() { awk -v a="$1" -v b="$2" -v f="$3" 'BEGIN { split(a, x, " "); split(b, y, " "); printf "%.2f", x[f] / y[f] }'; }

echo "== $(nproc) cores; load at start: $(cut -d' ' -f1-3 /proc/loadavg); best of $ROUNDS, alternating"
printf '%-5s %10s %10s %10s  %-13s %-13s %-13s  %s\n' corpus "tar" "jov" "gz" "jov s" "libdeflate s" "zstd s" \
  "ratios: their time / jov's, wall (cpu)"
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
  printf '%-5s %10d %10d %10d  %-13s %-13s %-13s  libdeflate %s (%s)  zstd %s (%s)\n' "$c" \
    "$(stat -c %s "$CORPUS/$c.tar")" "$(stat -c %s "$WORK/$c.jov")" "$(stat -c %s "$WORK/$c.tar.gz")" \
    "$jov" "$gz" "$zs" "$(ratio "$gz" "$jov" 1)" "$(ratio "$gz" "$jov" 2)" "$(ratio "$zs" "$jov" 1)" \
    "$(ratio "$zs" "$jov" 2)"
  [[ -n ${ARCHIVES:-} ]] || rm -f "$WORK/$c".*
done
echo "== load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
