// Committed archives, good and bad, and what `jov list`, `list --json`,
// `test` and `extract` make of each: statuses, every output line, the files
// that appear (with their times, modes and digests), and that the JSON
// parses. tests/golden/regenerate.sh rewrites the transcripts after a
// deliberate change; review the diff.
#include <gtest/gtest.h>

#include "run_jov.h"

namespace fs = std::filesystem;

namespace {

const char TRANSCRIPT[] = R"(for c in "list" "list --json" "test" "extract -C out"; do
  echo "\$ jov $c"
  $JOV $c "$A" > o 2> e; echo "[exit $?]"; cat o; sed 's/^/! /' e
  if [ "$c" = "list --json" ]; then python3 -c 'import json; json.load(open("o"))' 2>/dev/null || echo "BAD JSON"; fi
done
rm o e
find . -mindepth 1 ! -name '.*' ! -name "$A" \( -type d -printf '%p/\n' -o -perm /222 -printf '%p %s %TF %TT\n' \
  -o -printf '%p %s %TF %TT read-only\n' \) | LC_ALL=C sort | sed "s/ $(date +%F) [0-9:.]*/ (no time: now)/"
find . -type f -path './out/*' -exec md5sum {} + | LC_ALL=C sort -k2
)";

std::string transcript(const fs::path& archive) {
  TempDir dir;
  fs::copy_file(archive, dir.path() / archive.filename());
  return runShell(dir.path(), "A='" + archive.filename().string() + "'\n" + TRANSCRIPT).out;
}

TEST(Golden, EveryArchiveReadsAsRecorded) {
  int cases = 0;
  for (const auto& item : fs::directory_iterator(GOLDEN_DIR)) {
    fs::path expected = item.path().string() + ".txt";
    if (!fs::exists(expected)) continue;
    ++cases;
    if (getenv("JOV_GOLDEN_WRITE")) writeFile(expected, transcript(item.path()));
    EXPECT_EQ(transcript(item.path()), readFile(expected)) << item.path().filename();
  }
  EXPECT_GE(cases, 20);
}

}  // namespace
