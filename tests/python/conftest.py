"""A private kestrix-busd for each test: its own device directory and shared-memory namespace,
so that suites run in parallel. The programs come from the build tree (tests/python/CMakeLists.txt
passes their paths)."""

import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

import kestrix

BUSD = os.environ["KESTRIX_BUSD"]
BUSCTL = os.environ["KESTRIX_BUSCTL"]
CAPTURE = os.environ["KESTRIX_CAPTURE"]
FWD = os.environ.get("KESTRIX_FWD")
FAKEFW = os.environ.get("KESTRIX_FAKEFW_PRELOAD")
START_TIMEOUT = 20


def _wait_until_serving(process, what):
    # It prints one line once it serves.
    ready, _, _ = select.select([process.stdout], [], [], START_TIMEOUT)
    if not ready or not process.stdout.readline():
        process.kill()
        raise RuntimeError(f"{what} did not start")


class Bus:
    def __init__(self, folder, cameras, rate_scale, bayer=None):
        self.dir = folder
        self.process = subprocess.Popen(
            [BUSD, "--dir", str(folder), "--cameras", str(cameras), "--rate-scale", str(rate_scale),
             *(["--bayer", bayer] if bayer else [])],
            stdout=subprocess.PIPE)
        _wait_until_serving(self.process, "kestrix-busd")

    def busctl(self, *args):
        return subprocess.run([BUSCTL, "--dir", str(self.dir), *args], check=True,
                              capture_output=True, text=True).stdout

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=START_TIMEOUT)


class Bridge(Bus):
    """kestrix-fwd over the fake kernel (preloaded into it alone), serving folder."""

    def __init__(self, folder, cameras):
        self.dir = folder
        kernel = folder / "kernel"
        kernel.mkdir()
        self.control = str(kernel / "ctl.sock")
        env = dict(os.environ, LD_PRELOAD=FAKEFW, KESTRIX_FW_DEVDIR=str(kernel),
                   KESTRIX_FAKEFW_CTL=self.control, KESTRIX_FAKEFW_CAMERAS=str(cameras))
        self.process = subprocess.Popen([FWD, "--dir", str(folder)], stdout=subprocess.PIPE,
                                        env=env)
        _wait_until_serving(self.process, "kestrix-fwd")

    def kernel(self, command):
        """One command to the fake kernel ("lose-packets 10"); its one-line answer."""
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(START_TIMEOUT)
            s.connect(self.control)
            s.sendall(command.encode() + b"\n")
            return s.makefile().readline().strip()


def _sweep_shared_memory(space):
    tag = f"-{os.geteuid()}-{space}-"
    for entry in Path("/dev/shm").iterdir():
        if entry.name.startswith(("kestrix-", "kestrix-guard-")) and tag in entry.name:
            entry.unlink(missing_ok=True)


@pytest.fixture
def make_bus(monkeypatch):
    """make_bus(cameras=1, rate_scale=1.0, bayer=None, bridge=False) starts the test's daemon;
    bayer gives its cameras a colour sensor (kestrix-busd --bayer); bridge starts kestrix-fwd
    over the fake kernel instead."""
    buses = []
    space = f"kxpy-{os.getpid()}-{time.monotonic_ns()}"
    folder = Path(tempfile.mkdtemp(prefix="kestrix-pytest-"))
    monkeypatch.setenv("KESTRIX_BUS_DIR", str(folder))
    monkeypatch.setenv("KESTRIX_SHM_NAMESPACE", space)

    def start(cameras=1, rate_scale=1.0, bayer=None, bridge=False):
        if bridge and not (FWD and FAKEFW):
            pytest.skip("kestrix-fwd or the fake kernel is not built")
        buses.append(Bridge(folder, cameras) if bridge else Bus(folder, cameras, rate_scale, bayer))
        return buses[-1]

    yield start
    # The camera library closes with the last open camera; then the daemon may go.
    kestrix._kestrix._close_all()
    for bus in buses:
        assert bus.stop() == 128 + signal.SIGTERM
    _sweep_shared_memory(space)
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def bus(make_bus):
    return make_bus()


def counter(frame_bytes):
    """The simulated camera's frame counter, stamped big-endian into each frame's first bytes."""
    return struct.unpack(">I", bytes(frame_bytes[:4]))[0]


def capture_avi(path, mode, rate, frames, camera=0):
    """Records frames with kestrix-capture and returns the raw frames of its AVI file."""
    subprocess.run([CAPTURE, "--camera", str(camera), "--mode", mode,
                    *(["--rate", rate] if rate else []),
                    "--frames", str(frames), "--avi", str(path)],
                   check=True, capture_output=True, timeout=120)
    return avi_frames(Path(path).read_bytes())


def avi_frames(data):
    """The '00db' chunks of an AVI file's movi lists, in order."""
    frames = []

    def walk(start, end):
        pos = start
        while pos + 8 <= end:
            fourcc, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
            if fourcc in (b"RIFF", b"LIST"):
                walk(pos + 12, pos + 8 + size)
            elif fourcc == b"00db":
                frames.append(data[pos + 8:pos + 8 + size])
            pos += 8 + size + (size & 1)

    walk(0, len(data))
    return frames
