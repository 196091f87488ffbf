#!/usr/bin/env bash
# Builds everything and runs the main job: packs examples/ into Setup.exe,
# installs it under Wine on a private display and shows what it did. Exits
# non-zero unless the installer ended well, the tree is installed and the
# installed program was started.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python3 scripts/demo.py --check  # before minutes of building, not after
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
python3 scripts/demo.py build
