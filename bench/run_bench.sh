#!/usr/bin/env bash
# Compression benchmark: `jov pack` at every level against gzip, zstd and xz on
# the three corpora (pe, code, text) that ../shared/bench/make_corpus.sh builds.
# Prints one table: compressed size, ratio, compression MB/s and decompression
# MB/s (jov: `jov test` of the archive; the others: their own decompression to
# /dev/null). MB/s count the input bytes (the corpus's file bytes for jov, the
# tar's bytes for the others), 1 MB = 10^6 bytes.
#
# Usage: bench/run_bench.sh [BUILD_DIR]     (default: build)
#   CORPUS=/tmp/jov-corpus   where the corpora are built (kept between runs)
#   LEVELS="0 1 2 ... 9"     jov levels to run
#   CORPORA="pe code text"   corpora to run
#   THREADS=0                jov pack -T (0: one per core)
set -euo pipefail
source "$(dirname "$0")/common.sh" "${1:-}"
LEVELS=${LEVELS:-"0 1 2 3 4 5 6 7 8 9"}
CORPORA=${CORPORA:-"pe code text"}
THREADS=${THREADS:-0}

echo "== $(nproc) cores; load at start: $(cut -d' ' -f1-3 /proc/loadavg); jov pack -T $THREADS"
echo "== corpora (make_corpus.sh prints each tar's sha256)"
bash "$MAKE_CORPUS" "$CORPUS"
echo

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

now() { date +%s.%N; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { if (s <= 0) print "-"; else printf "%.1f", b / s / 1e6 }'; }

printf '%-5s %-40s %12s %7s %9s %9s\n' corpus method bytes ratio "comp MB/s" "dec MB/s"
row() { printf '%-5s %-40s %12s %6.2f%% %9s %9s\n' "$1" "$2" "$3" "$(awk -v a="$3" -v b="$4" 'BEGIN{print 100*a/b}')" "$5" "$6"; }

for c in $CORPORA; do
  src=$CORPUS/$c
  tar=$CORPUS/$c.tar
  files=$(find "$src" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
  tarsize=$(stat -c %s "$tar")
  for l in $LEVELS; do
    out=$WORK/$c.$l.jov
    t0=$(now); "$JOV" pack --raw -q -T "$THREADS" -l "$l" -o "$out" "$src"; t1=$(now)
    size=$(stat -c %s "$out")
    # `jov test` decodes every file and checks its CRC-32: a failure stops the run.
    d0=$(now); "$JOV" test "$out" > /dev/null; d1=$(now)
    dec=$(mbps "$files" "$(echo "$d1 - $d0" | bc)")
    row "$c" "jov pack -l $l" "$size" "$files" "$(mbps "$files" "$(echo "$t1 - $t0" | bc)")" "$dec"
    rm -f "$out"
  done
  x86=""
  [[ $c == pe || $c == code ]] && x86="--x86"
  while IFS='|' read -r name comp decomp; do
    t0=$(now); $comp < "$tar" > "$WORK/out"; t1=$(now)
    size=$(stat -c %s "$WORK/out")
    d0=$(now); $decomp < "$WORK/out" > /dev/null; d1=$(now)
    row "$c" "$name" "$size" "$tarsize" "$(mbps "$tarsize" "$(echo "$t1 - $t0" | bc)")" \
      "$(mbps "$tarsize" "$(echo "$d1 - $d0" | bc)")"
  done <<LIST
gzip -9|gzip -9 -c|gzip -dc
zstd -19|zstd -q -19 -c|zstd -q -dc
zstd --ultra -22 --zstd=wlog=20|zstd -q --ultra -22 --zstd=wlog=20 -c|zstd -q -dc
xz -9e $x86|xz $x86 --lzma2=preset=9e -c|xz -dc
xz $x86 --lzma2=preset=9e,dict=1MiB|xz $x86 --lzma2=preset=9e,dict=1MiB -c|xz -dc
LIST
  rm -f "$WORK/out"
done
echo "== load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
