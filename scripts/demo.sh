#!/usr/bin/env bash
# Builds everything and runs the main job: packs examples/ into Setup.exe,
# installs it under Wine on a private display and shows what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
python3 scripts/demo.py build
