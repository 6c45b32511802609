#!/usr/bin/env bash
# Builds and runs every suite: plain (then checks its install and runs the viewer on an X server),
# under ASan+UBSan, and the threaded suites under TSan. Each stage's time is printed at its end,
# and all of them once more when the run ends (a failed run shows how far it got).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

times=()
report() {
    local line
    echo "== stage times"
    for line in "${times[@]}"; do echo "$line"; done
}
trap report EXIT

# stage NAME COMMAND...: runs the command and notes how long it took.
stage() {
    local name=$1 start=$SECONDS status=0
    shift
    "$@" || status=$?
    local took=$((SECONDS - start))
    times+=("$(printf '%-18s %3d min %02d s%s' "$name" $((took / 60)) $((took % 60)) \
        "$([ "$status" -eq 0 ] || echo ' (failed)')")")
    echo "== $name: $((took / 60)) min $((took % 60)) s"
    return "$status"
}

build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j "$jobs"
}

stage "plain build" build build -DKESTRIX_SANITIZE= -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_BUILD_BENCH=ON
stage "plain tests" ctest --test-dir build --output-on-failure -j "$jobs"
stage "install check" scripts/check-install.sh build
stage "X11 check" scripts/check-viewer-x11.sh build
stage "X11 grid check" scripts/check-grid-x11.sh build

stage "ASan build" build build-asan -DKESTRIX_SANITIZE=address -DKESTRIX_BUILD_TESTS=ON \
    -DKESTRIX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    stage "ASan tests" ctest --test-dir build-asan --output-on-failure -j "$jobs"

# Under TSan every process runs several times slower: the recording suites check the count and
# order of frames there rather than that none was lost, and leave memory figures out.
# TSan needs a fixed address layout on kernels with high mmap entropy.
stage "TSan build" build build-tsan -DKESTRIX_SANITIZE=thread -DKESTRIX_BUILD_TESTS=ON \
    -DKESTRIX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    stage "TSan tests" setarch "$(uname -m)" -R ctest --test-dir build-tsan -L threaded \
    --output-on-failure -j "$jobs"
