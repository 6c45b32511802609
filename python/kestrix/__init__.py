"""IIDC 1394 cameras in Python, through the KestrixView camera library.

    import kestrix
    with kestrix.open() as cam:
        cam.mode = "640x480-mono8"
        with cam.stream(buffers=8) as s:
            for f in s.frames(count=100):
                print(f.sequence, f.array.mean())

Several cameras of one bus stream together, their frames paired by bus cycle:

    with kestrix.open_group([0, 1]) as group:
        with group.stream() as s:
            for left, right in s.sets(count=100):
                print(left.sequence, right.sequence if right else "missing")

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
    GroupCounters,
    GroupStream,
    Mode,
    NoCameraError,
    Recording,
    Stream,
    list_cameras,
)
from . import _kestrix

__all__ = [
    "BusResetError", "Camera", "CameraInfo", "CameraInUseError", "DeviceChangedError", "Error",
    "Feature", "Features", "Frame", "FrameIterator", "Group", "GroupCounters", "GroupStream", "Mode",
    "NoCameraError", "Recording", "Stream",
    "list_cameras",
    "open", "open_group",
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


class Group:
    """Several open cameras that stream together (open_group() makes one); use it as a context
    manager. Its cameras keep their own modes, features and stream(); group.mode and group.rate
    set every camera's at once."""

    def __init__(self, cameras):
        self.cameras = cameras
        self._stream = None

    def stream(self, buffers: int = 8) -> GroupStream:
        """Starts every camera together, each into a ring of `buffers` frames; iterating the
        GroupStream gives frame sets: tuples of Frame in the cameras' order, None where a camera
        missed the set. Use it as a context manager."""
        self._stream = GroupStream(self.cameras, buffers)
        return self._stream

    @property
    def counters(self) -> "GroupCounters | None":
        """The sets of the last stream (sets, incomplete, missing, max_skew_cycles), or None."""
        return self._stream.counters if self._stream else None

    @property
    def mode(self):
        return [cam.mode for cam in self.cameras]

    @mode.setter
    def mode(self, name):
        for cam in self.cameras:
            cam.mode = name

    @property
    def rate(self):
        return [cam.rate for cam in self.cameras]

    @rate.setter
    def rate(self, fps):
        for cam in self.cameras:
            cam.rate = fps

    def close(self):
        """Stops the stream and lets every camera go."""
        if self._stream:
            self._stream.close()
        for cam in self.cameras:
            cam.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __len__(self):
        return len(self.cameras)


def open_group(cameras: "list[int | str]", simulate: bool = False) -> Group:
    """Opens several cameras, each by index (an int) or by unique id (a string of hex digits,
    "0x02CA3E0000010000" or as kestrix-capture prints it), claiming them as open() does. Frames
    are paired by bus cycle: cameras of one bus only (docs/several-cameras.md).

    Raises ValueError for a camera named twice; NoCameraError and CameraInUseError as open()."""
    if simulate:
        _kestrix._simulate(_daemon_path())
    picks = [(None, int(c, 16)) if isinstance(c, str) else (c, None) for c in cameras]
    if not picks:
        raise ValueError("open_group needs at least one camera")
    # A camera named twice would be refused as in use, by this very process.
    named = {}
    for info in list_cameras():
        for n, (index, guid) in enumerate(picks):
            if (guid == info.guid) if guid is not None else (index == info.index):
                if info.index in named.values():
                    raise ValueError(f"camera {info.index} is named twice")
                named[n] = info.index
    opened = []
    try:
        for index, guid in picks:
            if index is not None and index < 0:
                raise ValueError(f"a camera index cannot be negative: {index}")
            opened.append(_kestrix._open(index if index is not None else 0, guid))
    except BaseException:
        for cam in opened:
            cam.close()
        raise
    return Group(opened)


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
