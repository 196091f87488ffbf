#!/usr/bin/env bash
# `jov extract` against `tar -x` on a tree of many tiny files: the cost of
# jov's crash safety (every file synced before it gets its name, in
# batches) beside an extractor that syncs nothing. Each tool extracts into a
# fresh folder on the same file system; the archives are read from the page
# cache. Wall time is what the user waits for; a ratio of at most 1.5 is the
# aim.
#
# Usage: bench/extract_many.sh [BUILD_DIR]        (default: build)
#   FILES=50000     number of files (100 folders, 1 to 64 bytes each)
#   RUNS=3          runs per tool; the best is shown
#   WORK=DIR        where to extract (default: a folder in TMPDIR)
set -euo pipefail
source "$(dirname "$0")/common.sh" "${1:-}"
FILES=${FILES:-50000}
RUNS=${RUNS:-3}

WORK=$(mktemp -d "${WORK:-${TMPDIR:-/tmp}}/jov-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
python3 - "$FILES" <<'PY'
import os, random, sys
random.seed(7)
for i in range(int(sys.argv[1])):
    folder = f"src/d{i % 100:02d}"
    os.makedirs(folder, exist_ok=True)
    with open(f"{folder}/f{i:06d}.txt", "wb") as f:
        f.write(random.randbytes(random.randint(1, 64)))
PY
"$JOV" pack --raw -q -l 1 -o tree.jov src
tar -cf tree.tar -C src .

# Best wall seconds of RUNS runs of a command that extracts into out/.
best() {
  local best=""
  for _ in $(seq "$RUNS"); do
    rm -rf out && mkdir out && sync
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    best=$(python3 -c "print(min(x for x in [$end - $start, ${best:-1e9}]))")
  done
  echo "$best"
}

fs=$(df -T . | awk 'NR == 2 { print $2 }')
echo "== $FILES files in 100 folders on $fs ($WORK); $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
tar_s=$(best tar -xf tree.tar -C out)
jov_s=$(best "$JOV" extract -q -C out tree.jov)
diff -r src out > /dev/null || { echo "bench: jov extract gave another tree" >&2; exit 1; }
printf '%-14s %8s s\n' "tar -x" "$tar_s" "jov extract" "$jov_s"
python3 -c "print(f'ratio          {$jov_s / $tar_s:8.2f}')"
