"""Lost packets cost frames, never the frames' alignment: every frame after the loss begins at
the frame's start (its first bytes are the simulated camera's counter), and the frames missing
are counted. Through kestrix-busd and through kestrix-fwd over the fake kernel."""

import pytest

import kestrix
from conftest import counter


@pytest.mark.parametrize("bridge", [False, True], ids=["busd", "fwd"])
def test_frames_after_lost_packets_start_at_the_frame_start(make_bus, bridge):
    bus = make_bus(bridge=bridge)
    with kestrix.open() as cam:
        cam.mode = "640x480-mono8"
        with cam.stream(buffers=16) as s:
            frames = list(s.frames(count=3, timeout=5))
            if bridge:
                assert bus.kernel("lose-packets 10") == "ok"  # the middle of a frame
            else:
                bus.busctl("fault", "iso-negative", "2")
            frames += list(s.frames(count=12, timeout=5))
            lost, dropped = s.lost, s.dropped
    first = frames[0]
    # A torn window of the stream would start with pixels, which no counter here matches.
    assert [counter(f.array.tobytes()) - counter(first.array.tobytes()) for f in frames] == \
        [f.sequence - first.sequence for f in frames]
    gaps = frames[-1].sequence - first.sequence + 1 - len(frames)
    assert gaps >= 1
    assert sum(f.lost_before for f in frames[1:]) == gaps == lost + dropped

