"""Feature values are numbers a program can use, and every form of setting still sets them."""

import subprocess
import sys

import pytest

import kestrix


def test_features_read_as_values_and_set_from_every_form(bus):
    with kestrix.open() as cam:
        cam.features["gain"] = 100
        gain = cam.features["gain"]
        assert isinstance(gain, kestrix.Feature)
        assert int(gain) == gain.value == 100 and float(gain) == 100.0
        assert (gain.mode, str(gain).split(" (")[0]) == ("manual", "100")
        assert gain.min <= 100 <= gain.max
        cam.features["shutter"] = "10ms"
        shutter = cam.features["shutter"]
        assert shutter.absolute == pytest.approx(0.01, rel=0.05) and shutter.unit == "s"
        cam.features["shutter"] = "auto"
        assert cam.features["shutter"].mode == "auto"
        cam.features["white-balance"] = (120, 140)
        balance = cam.features["white-balance"]
        assert (balance.high, balance.value) == (120, 140)
        # A value read back sets the camera as it was.
        cam.features["gain"] = 50
        cam.features["gain"] = gain
        assert int(cam.features["gain"]) == 100
        assert all(isinstance(f, kestrix.Feature) for f in dict(cam.features).values())


def test_numpy_is_ready_before_two_threads_take_their_first_arrays(bus):
    # A program that imports no numpy itself, whose first two arrays come at the same moment.
    script = """
import threading, kestrix
with kestrix.open() as cam:
    cam.mode = "640x480-mono8"
    with cam.stream() as s:
        frames = list(s.frames(count=2, timeout=5))
go = threading.Barrier(2)
def touch(frame):
    go.wait()
    frame.array.sum()
threads = [threading.Thread(target=touch, args=(f,)) for f in frames]
for t in threads: t.start()
for t in threads: t.join()
print("ok")
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.stdout == "ok\n", run.stderr
