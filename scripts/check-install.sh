#!/usr/bin/env bash
# Proves the install works for an outside user: installs a finished build into a temporary
# prefix, builds the consumer project against it (CMake package and pkg-config) and against the
# source tree (add_subdirectory), runs the installed kestrix-capture --simulate from a folder
# outside the build, where it must find the installed kestrix-busd, and, when the build has them,
# loads the installed GStreamer plugin and streams with it and imports the installed Python
# module and takes a frame with it.
#   scripts/check-install.sh [build folder (default build)]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath "${1:-build}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "check-install.sh: $*" >&2; exit 1; }

echo "installing $build into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/kestrix-capture bin/kestrix-busctl bin/kestrix-busd bin/kestrix-check \
         share/man/man1/kestrix-capture.1 share/man/man1/kestrix-busctl.1 \
         share/man/man1/kestrix-check.1 \
         share/man/man1/kestrix-busd.1 share/bash-completion/completions/kestrix-capture \
         include/kestrix/camera/C1394Dcam.h include/kestrix/platform/Event.h \
         include/kestrix/bus/CFirewireComm.h include/kestrix/files/CDcamAviFile.h; do
    [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
libdir=$(dirname "$(find "$prefix" -name libkestrix_platform.a)")
[ -f "$libdir/cmake/KestrixView/KestrixViewConfig.cmake" ] || fail "no CMake package in $libdir"
[ -f "$libdir/pkgconfig/kestrixview.pc" ] || fail "no pkg-config file in $libdir"

# Every installed header must find what it includes within the install.
(cd "$prefix/include/kestrix" && find . -name '*.h' | sort | sed 's|^\./\(.*\)|#include "\1"|') \
    >"$work/all-headers.cpp"
g++ -std=c++20 -fsyntax-only -I"$prefix/include/kestrix" "$work/all-headers.cpp" ||
    fail "an installed header includes one that is not installed"

consumer() {
    local name=$1
    shift
    echo "consumer: $name"
    cmake -S tests/consumer -B "$work/$name" -G Ninja "$@" >"$work/$name.log" 2>&1 &&
        cmake --build "$work/$name" -j "$(nproc)" >>"$work/$name.log" 2>&1 ||
        { cat "$work/$name.log"; fail "the consumer does not build with $name"; }
    (cd "$work" && "$work/$name/consumer" "$work/$name.jpg")
}
consumer find_package -DCMAKE_PREFIX_PATH="$prefix"
consumer add_subdirectory -DKESTRIX_SOURCE_TREE="$src"

echo "consumer: pkg-config"
mkdir -p "$work/pkg-config"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$work/pkg-config/consumer" tests/consumer/main.cpp \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs kestrixview) ||
    fail "the consumer does not build with pkg-config"
(cd "$work" && "$work/pkg-config/consumer" "$work/pkg-config.jpg")

# A device directory of its own, so that --simulate starts a daemon rather than using one that
# runs; an empty PATH, so that only the program's own lookup of kestrix-busd counts.
run_capture() {
    local program=$1
    shift
    mkdir -p "$work/bus" "$work/no-programs"
    (cd "$work" && env PATH="$work/no-programs" KESTRIX_BUS_DIR="$work/bus" \
        "$program" --simulate "$@")
}
echo "installed kestrix-capture --simulate --frames 5"
run_capture "$prefix/bin/kestrix-capture" --frames 5 --avi "$work/capture.avi" ||
    fail "the installed kestrix-capture --simulate failed"
[ -s "$work/capture.avi" ] || fail "the installed kestrix-capture wrote no AVI file"
echo "installed kestrix-check --simulate"
run_capture "$prefix/bin/kestrix-check" >"$work/check.out" ||
    fail "the installed kestrix-check --simulate failed: $(tail -1 "$work/check.out")"

# A copy with no kestrix-busd beside it must fail, not fall back on the build tree's daemon.
mkdir -p "$work/alone"
cp "$prefix/bin/kestrix-capture" "$work/alone/"
if run_capture "$work/alone/kestrix-capture" --frames 1 2>"$work/alone.err"; then
    fail "kestrix-capture without an installed kestrix-busd still ran"
fi
grep -q 'simulated bus' "$work/alone.err" || { cat "$work/alone.err"; fail "unexpected error"; }
if [ -f "$build/gst/libgstkestrix.so" ]; then
    plugin=$(find "$prefix" -name libgstkestrix.so)
    [ -n "$plugin" ] || fail "the install lacks libgstkestrix.so"
    case "$plugin" in */gstreamer-1.0/libgstkestrix.so) ;; *) fail "plugin not in a gstreamer-1.0 folder: $plugin" ;; esac
    export GST_PLUGIN_PATH=$(dirname "$plugin") GST_REGISTRY=$work/gst-registry.bin
    echo "gst-inspect-1.0 kestrixsrc from the install"
    gst-inspect-1.0 kestrixsrc >"$work/inspect.out" 2>"$work/inspect.err" &&
        grep -q "Filename *$plugin" "$work/inspect.out" ||
        { cat "$work/inspect.err"; fail "GStreamer does not load the installed plugin"; }
    echo "gst-launch-1.0 kestrixsrc num-buffers=30 ! videoconvert ! pngenc ! multifilesink"
    mkdir -p "$work/gst-bus" "$work/png"
    "$prefix/bin/kestrix-busd" --dir "$work/gst-bus" --cameras 1 >/dev/null &
    busd=$!
    for _ in $(seq 100); do [ -S "$work/gst-bus/unit-000000" ] && break; sleep 0.1; done
    KESTRIX_BUS_DIR=$work/gst-bus KESTRIX_SHM_NAMESPACE=check-install-$$ timeout 60 \
        gst-launch-1.0 -q kestrixsrc num-buffers=30 ! videoconvert ! pngenc ! \
        multifilesink location="$work/png/frame%02d.png" || { kill $busd; fail "the pipeline failed"; }
    kill $busd
    wait $busd || true
    [ "$(find "$work/png" -name '*.png' | wc -l)" -eq 30 ] || fail "the pipeline did not write 30 frames"
fi
python_check() {
    local python site
    python=$(sed -n 's/^_\{0,1\}Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt" | head -n 1)
    site=$(dirname "$(find "$prefix" -path '*/kestrix/__init__.py' | head -n 1)")
    [ -n "$site" ] && [ -f "$site/_kestrix.pyi" ] || fail "the install lacks the Python package kestrix"
    echo "installed Python module: open(simulate=True) and a frame"
    # As for kestrix-capture above: only the install's kestrix-busd may serve, and only the
    # install's folder is on the module path.
    mkdir -p "$work/pybus" "$work/no-programs"
    (cd "$work" && env PATH="$work/no-programs" KESTRIX_BUS_DIR="$work/pybus" XDG_RUNTIME_DIR="$work" \
        PYTHONPATH="$(dirname "$site")" "$python" -c '
import kestrix
with kestrix.open(simulate=True) as cam:
    cam.mode = "640x480-mono8"
    with cam.stream() as s:
        f = s.grab()
assert f.array.shape == (480, 640) and kestrix.__file__.startswith("'"$prefix"'")
') || fail "the installed Python module does not work"
}
if [ -d "$build/python/kestrix" ]; then python_check; fi
echo "install checks passed"
