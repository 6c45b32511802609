#!/usr/bin/env bash
# End-to-end run of the viewer's grid window on a real X server (Xvfb) under a window manager
# (openbox): kestrixview starts its own simulated bus with two cameras, starts them together and
# saves a picture of its window. Each tile must hold its camera's picture.
#   scripts/check-grid-x11.sh BUILD_DIR [SCREENSHOT]
set -euo pipefail
build=$(realpath "${1:?build folder}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shot=${2:-$work/grid.png}
# A private runtime folder keeps the single-instance locks and the bus away from a running
# viewer, and a private configuration folder the settings of the user's own runs.
mkdir -m 700 "$work/run"
cat >"$work/session.sh" <<SH
#!/usr/bin/env bash
openbox >/dev/null 2>&1 &
sleep 1
"$build/app/kestrixview" --simulate --cameras 2 --screenshot "$shot"
SH
chmod +x "$work/session.sh"
XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb timeout 60 \
    xvfb-run -a -s "-screen 0 1600x1200x24" "$work/session.sh" >"$work/tiles.txt"
size=$(ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries stream=width,height "$shot")
ffmpeg -v error -i "$shot" -f rawvideo -pix_fmt rgb24 "$work/grid.rgb"
# The simulated camera's picture is a colour ramp (blue, red, cyan and yellow corners): a tile
# shows it when its picture area is large and mostly saturated, where the tile's own black or
# a grey window would have no saturation at all.
python3 - "$work/grid.rgb" "${size%,*}" "$work/tiles.txt" <<'PY'
import sys
path, stride, tiles = sys.argv[1], int(sys.argv[2]), sys.argv[3]
pixels = open(path, 'rb').read()
areas = [tuple(map(int, line.split()[1:])) for line in open(tiles) if line.startswith("tile ")]
failures = [] if len(areas) == 2 else [f"{len(areas)} tiles, not 2"]
for tile, x0, y0, w, h in areas:
    if w < 160 or h < 120:
        failures.append(f"tile {tile} shows no picture (its picture area is {w}x{h})")
        continue
    coloured = total = 0
    for y in range(y0 + 2, y0 + h - 2, 8):
        for x in range(x0 + 2, x0 + w - 2, 8):
            i = 3 * (y * stride + x)
            r, g, b = pixels[i:i + 3]
            total += 1
            coloured += max(r, g, b) - min(r, g, b) > 60
    if coloured < total // 2:
        failures.append(f"tile {tile} is mostly grey ({coloured} of {total} samples coloured)")
for failure in failures:
    print("check-grid-x11:", failure, file=sys.stderr)
sys.exit(1 if failures else 0)
PY
echo "check-grid-x11: the grid showed both cameras' pictures on Xvfb (${size/,/x})"
