"""What goes wrong reaches Python as exceptions with the library's reasons."""

import os
import signal
import threading

import pytest

import kestrix


def test_open_find_and_claim(make_bus):
    make_bus(cameras=2)
    cameras = kestrix.list_cameras()
    assert [c.index for c in cameras] == [0, 1] and cameras[0].guid != cameras[1].guid
    with kestrix.open(guid=cameras[1].guid) as cam:
        assert cam.info.path == cameras[1].path
        with pytest.raises(kestrix.CameraInUseError):
            kestrix.open(index=1)
    with kestrix.open(guid=hex(cameras[1].guid)):
        pass
    with pytest.raises(kestrix.NoCameraError, match="the bus has 2"):
        kestrix.open(index=2)


def test_bad_modes_and_values(bus):
    with kestrix.open() as cam:
        with pytest.raises(ValueError, match="not a mode name"):
            cam.mode = "640x480"
        with pytest.raises(ValueError, match="does not offer"):
            cam.mode = "2048x2048-mono8"
        cam.mode = "1024x768-rgb"
        assert cam.rate == 7.5  # the fastest it offers: 15 fps is not among them
        with pytest.raises(ValueError, match="offers 1.875, 3.75, 7.5"):
            cam.rate = 15
        cam.features["shutter"] = "auto"
        cam.features["gain"] = 100
        cam.features["white-balance"] = (120, 140)
        # A value may carry its real units after it, as kestrix-capture --get prints it.
        values = [str(cam.features[name]).split(" (")[0] for name in ("shutter", "gain", "white-balance")]
        assert values == ["auto", "100", "120,140"]
        with pytest.raises(ValueError):
            cam.features["gain"] = 100000
        with pytest.raises(KeyError):
            cam.features["loudness"]
        with pytest.raises(ValueError):
            cam.stream(buffers=1)


def test_timeouts_and_bus_events(bus):
    with kestrix.open() as cam:
        cam.mode = "1024x768-rgb"
        cam.rate = 1.875
        with cam.stream() as s:
            # The first frame takes a whole period (533 ms) to come.
            with pytest.raises(TimeoutError, match="within 0.05 s"):
                next(s.frames(timeout=0.05))
            next(s.frames(timeout=5))
            bus.busctl("bus-reset")
            with pytest.raises(kestrix.BusResetError, match="bus reset"):
                list(s.frames(count=20, timeout=5))
        cam.rate = 7.5
        with cam.stream() as s:
            next(s.frames(timeout=5))
            bus.busctl("remove", "0")
            with pytest.raises(kestrix.DeviceChangedError, match="unplugged"):
                list(s.frames(count=20, timeout=5))
        with pytest.raises(kestrix.NoCameraError, match="gone"):
            cam.mode = "640x480-mono8"


def test_simulate_starts_a_private_bus_and_stops_it_at_the_end(tmp_path, monkeypatch):
    # No daemon serves the device directory; private buses go into a folder of this test's.
    monkeypatch.setenv("KESTRIX_BUS_DIR", str(tmp_path / "nobody"))
    monkeypatch.setenv("KESTRIX_SHM_NAMESPACE", "kxpy-simulate")
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    with pytest.raises(kestrix.NoCameraError, match="kestrix-busd"):
        kestrix.open()
    with kestrix.open(simulate=True) as cam:
        assert cam.info.path.startswith(str(tmp_path / "kestrix-capture-"))
        with cam.stream() as s:
            s.grab()
    kestrix._kestrix._close_all()
    assert not list(tmp_path.glob("kestrix-capture-*"))


def test_a_wait_without_limit_answers_ctrl_c(bus):
    with kestrix.open() as cam:
        cam.mode = "640x480-mono8"
        with cam.stream() as s:
            next(s.frames(timeout=5))
            # The receive thread's next read is never answered: no frame comes any more.
            bus.busctl("fault", "stall", "1")
            threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
            with pytest.raises(KeyboardInterrupt):
                for _ in s.frames(timeout=None):
                    pass
