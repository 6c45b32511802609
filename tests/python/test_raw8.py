"""RAW8 from a camera with a colour sensor: the mosaic as kestrix-capture records it, its pattern
in the mode, and to_rgb() demosaicing it to the colours the camera's RGB mode shows."""

import numpy as np

import kestrix
from conftest import capture_avi, counter

RAW8 = "1360x1024-raw8"
WIDTH, HEIGHT = 1360, 1024


def test_raw8_frames_are_the_mosaic_kestrix_capture_records(make_bus, tmp_path):
    # Two fresh cameras, whose counters both start at 0: one records, one streams.
    make_bus(cameras=2, rate_scale=2, bayer="bggr")
    recorded = {counter(f): f for f in capture_avi(tmp_path / "raw8.avi", RAW8, None, 3, camera=0)}
    with kestrix.open(index=1) as cam:
        modes = {m.name: m for m in cam.modes}
        assert (modes[RAW8].coding, modes[RAW8].bayer) == ("raw8", "bggr")
        assert all(m.bayer is None for name, m in modes.items() if name != RAW8)
        cam.mode = RAW8
        with cam.stream(buffers=4) as s:
            frames = list(s.frames(count=3, timeout=10))
    for f in frames:
        a = f.array
        assert (a.shape, a.dtype) == ((HEIGHT, WIDTH), np.dtype(np.uint8))
        key = counter(a.tobytes())
        assert key in recorded, f"kestrix-capture never recorded frame {key}"
        assert a.tobytes() == recorded[key]


def test_to_rgb_demosaics_to_the_colours_of_the_rgb_mode(make_bus):
    make_bus(cameras=2, rate_scale=2, bayer="grbg")
    pictures = []
    for index, mode in ((0, RAW8), (1, "1360x1024-rgb")):
        with kestrix.open(index=index) as cam:
            cam.mode = mode
            with cam.stream(buffers=4) as s:
                frame = s.grab()
                pictures.append(frame.to_rgb() if mode == RAW8 else frame.array.copy())
    demosaiced, colour = pictures
    assert demosaiced.shape == colour.shape == (HEIGHT, WIDTH, 3)
    # The mosaic is cut from the RGB picture: they agree but where the moving bar stands in
    # either, below the counter stamp.
    differs = np.abs(demosaiced.astype(int) - colour.astype(int))[2:].max(axis=(0, 2))
    assert int((differs <= 2).sum()) >= WIDTH - 2 * (WIDTH // 16)
