# Sourced by the bench scripts, with the script's first argument: where the
# tree, the build, jov and the corpora are; stops when jov is not built.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
JOV=${JOV:-$BUILD/jov}
CORPUS=${CORPUS:-/tmp/jov-corpus}
MAKE_CORPUS=$ROOT/../shared/bench/make_corpus.sh
[[ -x $JOV ]] || { echo "$(basename "$0" .sh): $JOV not built" >&2; exit 1; }
