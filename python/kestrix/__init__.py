"""IIDC 1394 cameras in Python, through the KestrixView camera library.

    import kestrix
    with kestrix.open() as cam:
        cam.mode = "640x480-mono8"
        with cam.stream(buffers=8) as s:
            for f in s.frames(count=100):
                print(f.sequence, f.array.mean())

Frames own their pixels: they stay valid after the stream and the camera are closed.
"""

import atexit as _atexit
import os as _os
from collections.abc import MutableMapping as _MutableMapping
from pathlib import Path as _Path

from ._kestrix import (  # noqa: F401
    BusResetError,
    Camera,
    CameraInfo,
    CameraInUseError,
    DeviceChangedError,
    Error,
    Feature,
    Frame,
    FrameIterator,
    Mode,
    NoCameraError,
    Recording,
    Stream,
    list_cameras,
)
from . import _kestrix

__all__ = [
    "BusResetError", "Camera", "CameraInfo", "CameraInUseError", "DeviceChangedError", "Error",
    "Feature", "Features", "Frame", "FrameIterator", "Mode", "NoCameraError", "Recording", "Stream",
    "list_cameras",
    "open",
]


def _daemon_path():
    """kestrix-busd of the same install (PREFIX/bin) or build tree (build/simbus), else PATH's."""
    package = _Path(__file__).resolve().parent
    for candidate in (package.parents[3] / "bin" / "kestrix-busd",
                      package.parents[1] / "simbus" / "kestrix-busd"):
        if _os.access(candidate, _os.X_OK):
            return str(candidate)
    return "kestrix-busd"


def open(index: "int | None" = None, guid: "int | str | None" = None,  # noqa: A001
         simulate: bool = False) -> Camera:
    """Opens the camera at `index` (default 0) or the one whose unique id is `guid` (an int, or
    a string such as "0x02CA3E0000010000"), and claims it against other programs.

    simulate=True first starts a private kestrix-busd with one simulated camera, unless a daemon
    serves the device directory already; it runs until the interpreter exits. It must come
    before any camera is opened in this process.

    Raises NoCameraError when there is no such camera, CameraInUseError when another program
    holds it."""
    if simulate:
        _kestrix._simulate(_daemon_path())
    if index is not None and guid is not None:
        raise ValueError("give index or guid, not both")
    if isinstance(guid, str):
        guid = int(guid, 0)
    if index is None:
        index = 0
    if index < 0:
        raise ValueError(f"a camera index cannot be negative: {index}")
    return _kestrix._open(index, guid)


def _setting_text(value):
    if isinstance(value, Feature):  # as read back from this camera or another
        if value.mode != "manual":
            return value.mode
        return f"{value.high},{value.value}" if value.name == "white-balance" else str(value.value)
    if isinstance(value, bool):
        return "on" if value else "off"
    if isinstance(value, (tuple, list)):
        return ",".join(str(v) for v in value)
    return str(value)


class Features(_MutableMapping):
    """The camera's standard features by name, as kestrix-capture's --get and --set know them.

    Values read back as Feature: int() and float() give the raw value, .absolute and .unit the
    value in its unit where the camera has one, .mode "manual", "auto", "one-push" or "off",
    .min and .max the raw range, and str() the text kestrix-capture --get prints
    ("2048 (33.33 ms)", "auto"). A value is written from a number, text ("10ms", "auto"), True
    or False (on, off), a tuple (cam.features["white-balance"] = (120, 140)) or a Feature. A
    value the camera refuses raises ValueError; a name that is no feature, KeyError."""

    def __init__(self, camera):
        self._camera = camera

    def __getitem__(self, name):
        return self._camera._get_feature(name)

    def __setitem__(self, name, value):
        self._camera._set_feature(name, _setting_text(value))

    def __delitem__(self, name):
        raise TypeError("a camera feature cannot be deleted")

    def __iter__(self):
        return iter([name for name, _ in self._camera._feature_items()])

    def __len__(self):
        return len(self._camera._feature_items())

    def __repr__(self):
        return f"Features({ {name: str(f) for name, f in self._camera._feature_items()}!r})"


Camera.features = property(lambda self: Features(self),
                           doc="The camera's features as a mutable mapping (Features).")

# A camera left open at exit would go on transmitting on the bus.
_atexit.register(_kestrix._close_all)
