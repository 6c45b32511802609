"""Every mode the simulated camera offers, through Python, against kestrix-capture's recording."""

import numpy as np

import kestrix
from conftest import capture_avi, counter

FRAMES = 3
SHAPES = {  # coding: (shape from height and width, dtype)
    "mono8": (lambda h, w: (h, w), np.dtype(np.uint8)),
    "mono16": (lambda h, w: (h, w), np.dtype(">u2")),
    "rgb": (lambda h, w: (h, w, 3), np.dtype(np.uint8)),
    "yuv444": (lambda h, w: (h, w, 3), np.dtype(np.uint8)),
    "yuv422": (lambda h, w: (h, w, 2), np.dtype(np.uint8)),
    "yuv411": (lambda h, w: (h, w * 3 // 2), np.dtype(np.uint8)),
}


def rate_for(mode):
    """15 fps where the mode offers it, else its fastest (as cam.mode picks it)."""
    if mode.format7:
        return None
    return 15.0 if 15.0 in mode.rates else max(mode.rates)


def test_every_mode_matches_kestrix_capture_byte_for_byte(make_bus, tmp_path):
    bus = make_bus()
    with kestrix.open() as cam:
        modes = cam.modes
    assert len(modes) > 10
    for mode in modes:
        # The picture follows each camera's frame counter, which only a new bus starts afresh:
        # two new cameras, one for each side, show the same frames.
        bus.stop()
        bus = make_bus(cameras=2)
        rate = rate_for(mode)
        recorded = capture_avi(tmp_path / f"{mode.name}.avi", mode.name,
                               None if rate is None else f"{rate:g}", FRAMES, camera=0)
        by_counter = {counter(frame): frame for frame in recorded}
        with kestrix.open(index=1) as cam:
            cam.mode = mode.name
            assert cam.rate == rate
            with cam.stream(buffers=4) as s:
                frames = list(s.frames(count=FRAMES, timeout=10))
        shape, dtype = SHAPES[mode.coding]
        for f in frames:
            a = f.array
            assert (a.shape, a.dtype) == (shape(mode.height, mode.width), dtype), mode.name
            key = counter(a.tobytes())
            assert key in by_counter, f"{mode.name}: kestrix-capture never recorded frame {key}"
            assert a.tobytes() == by_counter[key][:a.nbytes], mode.name
