#!/usr/bin/env bash
# Installer size against the strongest coders of the same reach, in one run:
# whole installers (stub included) of `jov pack` at LEVELS against the
# corpus's tar compressed by xz -9e with a 512 KiB and a 1 MiB dictionary and
# by zstd -19, and, where makensis is installed, against NSIS installers of
# the same tree (solid lzma with a 1 MiB dictionary, solid lzma with its
# default dictionary, zlib). Prints each size and jov's ratio to it (below 1
# when jov is smaller), the packing speed of each level (MB of file bytes per
# second of wall time and of CPU time: compare the CPU figures on a shared
# machine), and last how fast random data packs at -l 1 against zstd -1 on
# the same file.
#
# Usage: bench/compare_size.sh [BUILD_DIR]     (default: build)
#   CORPUS=/tmp/jov-corpus   where the corpora are built (kept between runs)
#   CORPORA="pe code text"   corpora to run
#   LEVELS="6 9"             jov levels to run
#   THREADS=0                jov pack -T (0: one per core)
#   RANDOM_MB=300            size of the random file (0 leaves it out)
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/common.sh" "${1:-}"
CORPORA=${CORPORA:-"pe code text"}
LEVELS=${LEVELS:-"6 9"}
THREADS=${THREADS:-0}
RANDOM_MB=${RANDOM_MB:-300}
for tool in xz zstd; do
  command -v "$tool" > /dev/null || { echo "compare_size: $tool not installed (scripts/setup.sh)" >&2; exit 1; }
done
if [[ ! -f $CORPUS/text.tar ]]; then bash "$MAKE_CORPUS" "$CORPUS"; fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
echo "== $(nproc) cores; load at start: $(cut -d' ' -f1-3 /proc/loadavg); jov pack -T $THREADS"
for c in $CORPORA; do
  printf '%-5s tar sha256 %s\n' "$c" "$(sha256sum < "$CORPUS/$c.tar" | cut -c1-16)"
done

# Runs a command with its output in $WORK/out and sets `wall` and `cpu` (s).
timed() {
  /usr/bin/time -f '%e %U %S' -o "$WORK/time" "$@"
  read -r wall user sys < "$WORK/time"
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
}
# jov's size at each level over `$1`.
ratios() {
  for l in $LEVELS; do awk -v a="${jov[$l]}" -v b="$1" -v l="$l" 'BEGIN { printf "  -l %s/it %.3f", l, a / b }'; done
}
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { if (s <= 0) print "-"; else printf "%.1f", b / s / 1e6 }'; }

# An NSIS script that installs the whole tree with the given compressor.
nsis() {
  local src=$1 compressor=$2 dict=$3
  {
    echo "SetCompressor /SOLID $compressor"
    [[ -n $dict ]] && echo "SetCompressorDictSize $dict"
    echo "OutFile \"$WORK/nsis.exe\""
    echo "InstallDir \"\$PROGRAMFILES\\Bench\""
    echo "Section"
    echo "SetOutPath \$INSTDIR"
    echo "File /r \"$src/*\""
    echo "SectionEnd"
  } > "$WORK/bench.nsi"
  makensis -V1 "$WORK/bench.nsi" > /dev/null
  stat -c %s "$WORK/nsis.exe"
}

printf '\n%-5s %-32s %12s %9s %9s\n' corpus method bytes "MB/s" "CPU MB/s"
for c in $CORPORA; do
  src=$CORPUS/$c
  files=$(find "$src" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
  declare -A jov=()
  for l in $LEVELS; do
    timed "$JOV" pack -q -T "$THREADS" -l "$l" -o "$WORK/setup.exe" "$src"
    jov[$l]=$(stat -c %s "$WORK/setup.exe")
    "$JOV" test -q "$WORK/setup.exe"   # every file decodes and matches its CRC-32
    printf '%-5s %-32s %12s %9s %9s\n' "$c" "jov pack -l $l" "${jov[$l]}" "$(mbps "$files" "$wall")" \
      "$(mbps "$files" "$cpu")"
  done
  others=("xz -9e, 512 KiB dictionary|xz --lzma2=preset=9e,dict=512KiB -c $CORPUS/$c.tar"
          "xz -9e, 1 MiB dictionary|xz --lzma2=preset=9e,dict=1MiB -c $CORPUS/$c.tar"
          "zstd -19|zstd -q -19 -c $CORPUS/$c.tar")
  for entry in "${others[@]}"; do
    name=${entry%%|*}
    ${entry#*|} > "$WORK/other"
    size=$(stat -c %s "$WORK/other")
    printf '%-5s %-32s %12s %s\n' "$c" "$name" "$size" "$(ratios "$size")"
  done
  if command -v makensis > /dev/null; then
    for variant in "NSIS solid lzma, 1 MiB|lzma|1" "NSIS solid lzma, default|lzma|" "NSIS zlib|zlib|"; do
      IFS='|' read -r name compressor dict <<< "$variant"
      size=$(nsis "$src" "$compressor" "$dict")
      printf '%-5s %-32s %12s %s\n' "$c" "$name" "$size" "$(ratios "$size")"
    done
  else
    echo "$c   (makensis not installed: no NSIS rows)"
  fi
  unset jov
done

if (( RANDOM_MB > 0 )); then
  mkdir "$WORK/random"
  head -c $((RANDOM_MB * 1000000)) /dev/urandom > "$WORK/random/random.bin"
  bytes=$((RANDOM_MB * 1000000))
  timed "$JOV" pack --raw -q -T "$THREADS" -l 1 -o "$WORK/random.jov" "$WORK/random"
  jw=$wall jc=$cpu
  timed zstd -q -1 -f "$WORK/random/random.bin" -o "$WORK/random.zst"
  printf '\nrandom %d MB: jov pack -l 1 %s MB/s (CPU %s), zstd -1 %s MB/s (CPU %s): jov at %s of zstd'"'"'s speed\n' \
    "$RANDOM_MB" "$(mbps $bytes "$jw")" "$(mbps $bytes "$jc")" "$(mbps $bytes "$wall")" "$(mbps $bytes "$cpu")" \
    "$(awk -v j="$jw" -v z="$wall" 'BEGIN { printf "%.2f", z / j }')"
fi
echo "== load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
