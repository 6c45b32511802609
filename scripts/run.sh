#!/usr/bin/env bash
# The main job. With a display (DISPLAY set) it opens the viewer on a simulated camera; without
# one it records a few seconds from a simulated camera into an AVI file and a JPEG still with
# kestrix-capture and checks both with ffprobe.
#   scripts/run.sh [output folder for the headless recording (default build/output)]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kestrix-capture kestrix-busd kestrix-busctl kestrixview

if [ -n "${DISPLAY:-}" ]; then
    echo "DISPLAY is set: opening the viewer on a simulated camera (kestrixview --simulate)."
    echo "Camera > Connect, then Control > Start (or the Up key); close the window to end."
    exec build/app/kestrixview --simulate
fi

out=$(realpath -m "${1:-build/output}")
mkdir -p "$out"
echo "no DISPLAY: recording headless instead of opening the viewer."
echo "recording 3 seconds of 640x480 RGB at 15 fps from a simulated camera into $out"
# --convert stores 24-bit frames, which any player shows; raw camera frames need KestrixView.
build/tools/kestrix-capture/kestrix-capture --simulate --mode 640x480-rgb --rate 15 --seconds 3 \
    --avi "$out/capture.avi" --convert --jpeg "$out/capture.jpg"

probe() {
    ffprobe -v error -count_packets -select_streams v:0 -of default=noprint_wrappers=1 \
        -show_entries stream=codec_name,width,height,nb_read_packets "$1"
}
avi=$(probe "$out/capture.avi")
jpeg=$(probe "$out/capture.jpg")
echo "ffprobe $out/capture.avi:" $avi
echo "ffprobe $out/capture.jpg:" $jpeg
packets=$(sed -n 's/^nb_read_packets=//p' <<<"$avi")
grep -q '^width=640$' <<<"$avi" && grep -q '^codec_name=mjpeg$' <<<"$jpeg" &&
    [ "${packets:-0}" -ge 30 ] || { echo "run.sh: the recording does not check out" >&2; exit 1; }
echo "done: $out/capture.avi ($packets frames) and $out/capture.jpg"
