#!/usr/bin/env python3
"""The Python frames() loop against a private kestrix-busd: frames per second, frames lost and
processor time per frame with a numpy mean() of every frame, at a rate scale of the camera.

    PYTHONPATH=build/python python3 bench/python/bench_frames.py [--scale 8] [--seconds 10]

Frames lost are counted twice: as the stream tells them (lost_before) and from the frame counter
the simulated camera stamps into each frame, which also sees frames lost before any read."""

import argparse
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
from pathlib import Path

import kestrix

ROOT = Path(__file__).resolve().parents[2]


def start_bus(busd, folder, scale):
    process = subprocess.Popen([busd, "--dir", str(folder), "--rate-scale", str(scale)],
                               stdout=subprocess.PIPE)
    ready, _, _ = select.select([process.stdout], [], [], 20)
    if not ready or not process.stdout.readline():
        process.kill()
        raise SystemExit("kestrix-busd did not start")
    return process


def run(args):
    with kestrix.open() as cam:
        cam.mode = args.mode
        with cam.stream(buffers=args.buffers) as s:
            frames = s.frames(timeout=5)
            # The first pass over new memory costs a page fault per page: not the loop's cost.
            warm_until = time.monotonic() + args.warm_up
            for f in frames:
                if time.monotonic() >= warm_until:
                    break
            first = last = struct.unpack(">I", bytes(f.array.reshape(-1)[:4]))[0]
            count = lost = 0
            cpu0, wall0 = time.process_time(), time.monotonic()
            for f in frames:
                f.array.mean()
                count += 1
                lost += f.lost_before
                last = struct.unpack(">I", bytes(f.array.reshape(-1)[:4]))[0]
                if time.monotonic() - wall0 >= args.seconds:
                    break
            cpu, wall = time.process_time() - cpu0, time.monotonic() - wall0
            frame_bytes = f.array.nbytes
    counted = last - first - count
    print(f"{args.mode} at {args.scale}x, ring {args.buffers}, numpy mean() per frame, "
          f"{wall:.1f} s: {count} frames, {count / wall:.1f} fps, "
          f"{count * frame_bytes / wall / 1e6:.1f} MB/s, lost (stream) {lost}, "
          f"lost (camera counter) {counted}, {cpu / count * 1e3:.2f} ms of processor per frame "
          f"({cpu / wall * 100:.0f} % of a core)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--busd", default=os.environ.get(
        "KESTRIX_BUSD", str(ROOT / "build" / "simbus" / "kestrix-busd")))
    parser.add_argument("--mode", default="1360x1024-yuv422")
    parser.add_argument("--scale", type=float, default=8)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--warm-up", type=float, default=1.0)
    parser.add_argument("--buffers", type=int, default=16)
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="kestrix-bench-"))
    os.environ["KESTRIX_BUS_DIR"] = str(folder)
    os.environ["KESTRIX_SHM_NAMESPACE"] = f"bench-{os.getpid()}"
    bus = start_bus(args.busd, folder, args.scale)
    try:
        run(args)
    finally:
        bus.send_signal(signal.SIGTERM)
        bus.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
