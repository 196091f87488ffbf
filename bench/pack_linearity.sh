#!/usr/bin/env bash
# Packer time and peak memory against file size: `jov pack -l LEVEL` of one
# sparse file (zeros, no disk used) of each size. Time per MiB should stay
# flat (8x the bytes, about 8x the time) and peak memory should not grow with
# the size: files stream through a bounded window.
#
# Usage: bench/pack_linearity.sh [BUILD_DIR]      (default: build)
#   SIZES_MIB="128 256 512 1024"   file sizes
#   LEVEL=1                        jov pack -l
#   THREADS=1                      jov pack -T
set -euo pipefail
source "$(dirname "$0")/common.sh" "${1:-}"
SIZES_MIB=${SIZES_MIB:-"128 256 512 1024"}
LEVEL=${LEVEL:-1}
THREADS=${THREADS:-1}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/src"

# Wall seconds, CPU seconds (user + system) and peak resident MB of one
# command. On a shared machine CPU seconds are the fairer measure of work.
measure() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
code = subprocess.run(sys.argv[1:]).returncode
seconds = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{seconds:.2f} {usage.ru_utime + usage.ru_stime:.2f} {usage.ru_maxrss / 1024:.0f}")
sys.exit(code)
PY
}

echo "== $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg); jov pack -l $LEVEL -T $THREADS; sparse files"
printf '%9s %9s %9s %9s %16s %16s\n' "MiB" "wall s" "CPU s" "peak MB" "CPU s per GiB" "CPU / first"
first=""
for mib in $SIZES_MIB; do
  rm -f "$WORK/src/file.bin"
  truncate -s "${mib}M" "$WORK/src/file.bin"
  read -r wall cpu peak < <(measure "$JOV" pack --raw -q -l "$LEVEL" -T "$THREADS" -o "$WORK/out.jov" "$WORK/src")
  rm -f "$WORK/out.jov"
  first=${first:-$cpu}
  printf '%9s %9s %9s %9s %16s %16s\n' "$mib" "$wall" "$cpu" "$peak" \
    "$(awk -v s="$cpu" -v m="$mib" 'BEGIN { printf "%.1f", s * 1024 / m }')" \
    "$(awk -v s="$cpu" -v f="$first" 'BEGIN { printf "%.2f", s / f }')"
done
echo "== load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
