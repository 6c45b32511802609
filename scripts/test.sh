#!/usr/bin/env bash
# Builds and runs every suite: plain (then checks its install and runs the viewer on an X server),
# under ASan+UBSan, and the threaded suites under TSan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

build build -DKESTRIX_SANITIZE= -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_BUILD_BENCH=ON
ctest --test-dir build --output-on-failure -j "$jobs"
scripts/check-install.sh build
scripts/check-viewer-x11.sh build

build build-asan -DKESTRIX_SANITIZE=address -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

# Under TSan every process runs several times slower: the recording suites check the count and
# order of frames there rather than that none was lost, and leave memory figures out.
# TSan needs a fixed address layout on kernels with high mmap entropy.
build build-tsan -DKESTRIX_SANITIZE=thread -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    setarch "$(uname -m)" -R ctest --test-dir build-tsan -L threaded --output-on-failure -j "$jobs"
