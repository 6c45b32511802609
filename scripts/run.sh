#!/usr/bin/env bash
# The main job: builds the programs, starts a private simulated bus with one camera and shows
# what the bus holds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DKESTRIX_BUILD_TESTS=OFF -DKESTRIX_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)"

dir=$(mktemp -d)
trap 'kill "$busd" 2>/dev/null; wait "$busd" 2>/dev/null; rm -rf "$dir"' EXIT
build/simbus/kestrix-busd --dir "$dir/bus" --cameras 1 &
busd=$!
for _ in $(seq 50); do [ -S "$dir/bus/unit-000000" ] && break; sleep 0.1; done
build/tools/kestrix-busctl/kestrix-busctl --dir "$dir/bus" status
