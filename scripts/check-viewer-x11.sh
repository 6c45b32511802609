#!/usr/bin/env bash
# End-to-end runs of the viewer on a real X server (Xvfb): kestrixview starts its own simulated
# bus, connects, starts the camera and saves a picture of its window.
#  1. At 640 x 480 RGB the window must hold the camera's picture.
#  2. At 1360 x 1024 with Fit to Window in a smaller window, the picture area must show the
#     picture whole, shrunk: its four corners at the corners of the fitted picture, and the
#     window's own background beside it.
#   scripts/check-viewer-x11.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?build folder}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A private runtime folder keeps the single-instance lock and the bus away from a running viewer,
# and a private configuration folder the settings of the user's own runs.
mkdir -m 700 "$work/run"
viewer() {
    XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb timeout 60 \
        xvfb-run -a -s "-screen 0 1600x1200x24" "$build/app/kestrixview" --simulate "$@"
}

shot="$work/viewer.png"
viewer --screenshot "$shot"
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

fitted="$work/fitted.png"
area=$(viewer --screenshot "$fitted" --screenshot-fit | sed -n 's/^picture area //p')
size=$(ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries stream=width,height "$fitted")
ffmpeg -v error -i "$fitted" -f rawvideo -pix_fmt rgb24 "$work/fitted.rgb"
# The simulated camera's picture is a colour ramp, blue at the top left, red at the top right,
# cyan at the bottom left and yellow at the bottom right, under a grey bar that moves across it.
python3 - "$work/fitted.rgb" "${size%,*}" $area <<'PY'
import math, sys
path, stride, x0, y0, w, h = sys.argv[1], *map(int, sys.argv[2:])
pixels = open(path, 'rb').read()
def at(x, y):
    i = 3 * ((y0 + y) * stride + x0 + x)
    return tuple(pixels[i:i + 3])
scale = min(w / 1360, h / 1024)
pw, ph = (math.floor(n * scale + 1e-9) for n in (1360, 1024))
failures = []
if not scale < 1:
    failures.append(f"the picture area {w}x{h} needs no fitting")
corners = {"top left": ((3, 3), (40, 50, 220)), "top right": ((pw - 4, 3), (223, 48, 33)),
           "bottom left": ((3, ph - 4), (40, 210, 220)),
           "bottom right": ((pw - 4, ph - 4), (223, 207, 33))}
bar = (224, 224, 224)
near = lambda a, b: max(abs(p - q) for p, q in zip(a, b)) <= 40
for name, ((x, y), colour) in corners.items():
    if not (near(at(x, y), colour) or near(at(x, y), bar)):
        failures.append(f"{name} of the fitted picture at {x},{y} is {at(x, y)}, not {colour}")
# Beside the picture the view shows its own background: nothing of the picture is cut off.
beside = (pw + 2, ph // 2) if pw + 4 < w else (pw // 2, ph + 2) if ph + 4 < h else None
if beside and min(at(*beside)) < 240:
    failures.append(f"beside the picture at {beside} is {at(*beside)}, not the background")
for failure in failures:
    print("check-viewer-x11:", failure, file=sys.stderr)
sys.exit(1 if failures else 0)
PY
read -r _ _ aw ah <<<"$area"
echo "check-viewer-x11: 1360 x 1024 fitted into a ${aw}x${ah} picture area showed its four corners"
