#!/usr/bin/env bash
# End-to-end run of the viewer on a real X server (Xvfb): kestrixview starts its own simulated
# bus, connects, starts the camera and saves a picture of its window, which must hold the
# camera's 640 x 480 picture.
#   scripts/check-viewer-x11.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?build folder}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shot="$work/viewer.png"
# A private runtime folder keeps the single-instance lock and the bus away from a running viewer.
mkdir -m 700 "$work/run"
XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb timeout 60 \
    xvfb-run -a -s "-screen 0 1600x1200x24" "$build/app/kestrixview" --simulate --screenshot "$shot"
size=$(ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries stream=width,height "$shot")
IFS=, read -r width height <<<"$size"
# The window's own grey has no saturation; the camera's colour ramps have plenty.
saturation=$(ffprobe -v error -f lavfi -i "movie=$shot,signalstats" \
    -show_entries frame_tags=lavfi.signalstats.SATAVG -of csv=p=0)
if [ "${width:-0}" -lt 640 ] || [ "${height:-0}" -lt 480 ] || [ "${saturation%.*}" -lt 10 ]; then
    echo "check-viewer-x11: the viewer's window is ${size:-missing}, saturation ${saturation:-none}" >&2
    exit 1
fi
echo "check-viewer-x11: the viewer showed the camera's picture on Xvfb (${width}x${height})"
