"""Several cameras from Python: open_group yields tuples of frames paired by bus cycle, with the
sets counted; the cameras are named by index or GUID and go when the group closes."""

import pytest

import kestrix
from conftest import counter

PERIOD_CYCLES = 8000 // 15  # the default 15 fps


def cycles(cycle_time):
    return (cycle_time >> 25) * 8000 + ((cycle_time >> 12) & 0x1FFF)


def test_open_group_yields_tuples_of_frames_taken_in_one_period(make_bus):
    make_bus(cameras=2)
    guid = f"{kestrix.list_cameras()[1].guid:016x}"
    with kestrix.open_group([0, guid]) as group:
        group.mode = "640x480-mono8"
        assert [cam.info.index for cam in group.cameras] == [0, 1]
        with group.stream(buffers=16) as s:
            sets = list(s.sets(count=10, timeout=5))
            counters = s.counters
        assert group.counters.sets == 10
    assert all(len(frames) == 2 and None not in frames for frames in sets)
    for left, right in sets:
        skew = abs(cycles(right.cycle_time) - cycles(left.cycle_time)) % (128 * 8000)
        assert min(skew, 128 * 8000 - skew) <= PERIOD_CYCLES // 2
        assert left.array.shape == right.array.shape == (480, 640)
    # Each camera's frames are its own, in order.
    for c in range(2):
        stamps = [counter(frames[c].array.tobytes()) for frames in sets]
        assert stamps == list(range(stamps[0], stamps[0] + 10))
    assert (counters.sets, counters.incomplete, counters.missing) == (10, 0, [0, 0])
    assert counters.max_skew_cycles <= PERIOD_CYCLES // 2
    # Closed with the group: each camera can be opened again at once.
    with kestrix.open(1):
        pass


def test_open_group_refuses_a_camera_named_twice_and_lets_the_others_go(make_bus):
    make_bus(cameras=2)
    with pytest.raises(ValueError, match="named twice"):
        kestrix.open_group([0, f"{kestrix.list_cameras()[0].guid:x}"])
    with pytest.raises(kestrix.NoCameraError):
        kestrix.open_group([0, 5])
    with kestrix.open(0):
        pass


def test_a_loss_on_one_camera_is_that_many_sets_missing_it(make_bus):
    bus = make_bus(cameras=2)
    with kestrix.open_group([0, 1]) as group, group.stream(buffers=16) as s:
        sets = list(s.sets(count=5, timeout=5))
        bus.busctl("fault", "lost-frame", "3", "--camera", "1")
        sets += list(s.sets(count=20, timeout=5))
        counters = s.counters
    assert sum(frames[1] is None for frames in sets) == 3
    assert all(frames[0] is not None for frames in sets)
    assert (counters.incomplete, counters.missing) == (3, [0, 3])
