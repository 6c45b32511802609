"""kestrix-capture --record: every format read back by a reader of its own (a SER reader written
here from the format's published layout, tifffile, Pillow, ffmpeg), its frames equal to the
camera's as the AVI recorder stores them, its frame log one row per frame; a killed or starved
recording readable; a pre-trigger recording holding the seconds before its event."""

import csv
import json
import os
import select
import signal
import struct
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest
import tifffile
from PIL import Image

from conftest import CAPTURE, capture_avi, counter

WIDTH, HEIGHT = 640, 480
# The simulated picture repeats every width/8 frames (its bar moves 8 pixels a frame).
PERIOD = WIDTH // 8
# ffmpeg's name for the camera's pixels, and their bytes.
MODES = {"mono8": ("gray", 1), "mono16": ("gray16be", 2), "rgb": ("rgb24", 3)}
FORMATS = {"mono8": ["x.ser", "x.tif", "x.mkv", "x.avi", "f/%04d.png", "f/%04d.tif"],
           "mono16": ["x.ser", "x.tif", "x.mkv", "f/%04d.png"],
           "rgb": ["x.ser", "x.tif", "x.mkv", "f/%04d.tif"]}
FRAMES = 12


def record(path, coding, *args, **kwargs):
    return subprocess.run([CAPTURE, "--mode", f"{WIDTH}x{HEIGHT}-{coding}", "--rate", "30",
                           "--record", str(path), *args], capture_output=True, text=True,
                          timeout=120, **kwargs)


def read_ser(path):
    """Header fields, frames and trailer times of a SER file, by its published layout."""
    data = Path(path).read_bytes()
    assert data[:14] == b"LUCAM-RECORDER"
    color, little, width, height, depth, count = struct.unpack_from("<6i", data, 18)
    size = width * height * (3 if color >= 100 else 1) * (2 if depth > 8 else 1)
    frames = [data[178 + i * size:178 + (i + 1) * size] for i in range(count)]
    # The trailer is optional: a file cut short may end in part of a frame instead.
    trailer = data[178 + count * size:]
    times = list(struct.unpack(f"<{count}q", trailer)) if len(trailer) == 8 * count else []
    return {"color": color, "little": little, "depth": depth, "frames": frames, "times": times}


def camera_bytes(pixels, depth):
    """A decoded image as the camera's bytes: 16-bit samples high byte first."""
    return np.asarray(pixels).astype(">u2" if depth == 2 else "u1").tobytes()


def read_frames(path, coding):
    pix_fmt, _ = MODES[coding]
    depth = 2 if "16" in coding else 1
    name = str(path)
    if "%" in name:
        files = sorted(Path(path).parent.glob("*" + Path(name).suffix))
        read = tifffile.imread if name.endswith(".tif") else (lambda f: np.array(Image.open(f)))
        return [camera_bytes(read(f), depth) for f in files]
    if name.endswith(".ser"):
        return read_ser(path)["frames"]
    if name.endswith(".tif"):
        with tifffile.TiffFile(path) as tif:
            return [camera_bytes(page.asarray(), depth) for page in tif.pages]
    if name.endswith(".avi"):
        from conftest import avi_frames
        return avi_frames(Path(path).read_bytes())
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", name, "-f", "rawvideo", "-pix_fmt",
                          pix_fmt, "-"], check=True, capture_output=True, timeout=120).stdout
    size = WIDTH * HEIGHT * MODES[coding][1]
    return [raw[i:i + size] for i in range(0, len(raw), size)]


def log_rows(path):
    with open(f"{path}.csv", newline="") as f:
        return list(csv.DictReader(f))


@pytest.mark.parametrize("coding", list(MODES))
def test_every_format_reads_back_with_the_cameras_frames(bus, tmp_path, coding):
    # The AVI recorder's frames are the reference: one of each place of the moving bar.
    ref = {counter(f) % PERIOD: f[4:]
           for f in capture_avi(tmp_path / "ref.avi", f"{WIDTH}x{HEIGHT}-{coding}", "30",
                                PERIOD + 1)}
    assert len(ref) == PERIOD
    for name in FORMATS[coding]:
        path = tmp_path / coding / name
        path.parent.mkdir(parents=True, exist_ok=True)
        result = record(path, coding, "--frames", str(FRAMES))
        assert result.returncode == 0, (name, result.stderr)
        frames = read_frames(path, coding)
        counters = [counter(f) for f in frames]
        assert len(frames) == FRAMES, name
        assert counters == list(range(counters[0], counters[0] + FRAMES)), name
        for c, f in zip(counters, frames):
            assert f[4:] == ref[c % PERIOD], f"{name}: frame {c} differs"
        rows = log_rows(path)
        assert [int(r["index"]) for r in rows] == list(range(FRAMES)), name
        sequences = [int(r["sequence"]) for r in rows]
        assert sequences == list(range(sequences[0], sequences[0] + FRAMES)), name
        arrivals = [int(r["arrived_monotonic_ns"]) for r in rows]
        assert arrivals == sorted(arrivals), name
        log = json.loads(Path(f"{path}.json").read_text())
        assert (log["frames"], log["mode"], log["ended"]) == (FRAMES, f"{WIDTH}x{HEIGHT}-{coding}",
                                                               "done")
        assert log["camera"]["guid"] and "shutter" in log["features"]


def test_each_format_keeps_its_times_and_layout(bus, tmp_path):
    ser = tmp_path / "x.ser"
    assert record(ser, "mono16", "--frames", "5").returncode == 0
    s = read_ser(ser)
    assert (s["color"], s["little"], s["depth"], len(s["times"])) == (0, 0, 16, 5)
    assert s["times"] == sorted(s["times"]) and len(set(s["times"])) == 5
    # Ticks of 100 ns since the year 1, near the time now.
    now = 621355968000000000 + time.time_ns() // 100
    assert abs(s["times"][-1] - now) < 600 * 10**7
    tif = tmp_path / "x.tif"
    assert record(tif, "mono8", "--frames", "3").returncode == 0
    with tifffile.TiffFile(tif) as t:
        rows = log_rows(tif)
        for page, row in zip(t.pages, rows):
            assert f"sequence={row['sequence']}" in page.description
            assert page.tags["DateTime"].value.startswith(time.strftime("%Y:", time.gmtime()))
    mkv = tmp_path / "x.mkv"
    assert record(mkv, "mono8", "--frames", "6").returncode == 0
    times = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "frame=pts_time", "-of",
                            "csv=p=0", str(mkv)], check=True, capture_output=True,
                           text=True).stdout.split()
    assert len(times) == 6 and [float(t) for t in times] == sorted(float(t) for t in times)
    assert float(times[0]) == 0 and float(times[-1]) > 0


def wait_for_rows(path, rows, process):
    end = time.monotonic() + 60
    while time.monotonic() < end and process.poll() is None:
        if Path(f"{path}.csv").exists() and len(log_rows(path)) >= rows:
            return
        time.sleep(0.05)
    pytest.fail(f"{path}: no {rows} rows")


def file_frames(path):
    name = str(path)
    if name.endswith(".ser"):
        return len(read_ser(path)["frames"])
    if name.endswith(".tif"):
        with tifffile.TiffFile(path) as tif:
            return len(tif.pages)
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", name],
                         check=True, capture_output=True, text=True).stdout
    return int(out.strip())


@pytest.mark.parametrize("name", ["x.ser", "x.tif", "x.mkv"])
def test_a_killed_recording_opens_with_its_frames(bus, tmp_path, name):
    path = tmp_path / name
    process = subprocess.Popen([CAPTURE, "--mode", "640x480-mono8", "--rate", "30", "--seconds",
                                "60", "--record", str(path)], stderr=subprocess.PIPE)
    wait_for_rows(path, 5, process)
    process.send_signal(signal.SIGKILL)
    process.wait(timeout=30)
    rows = len(log_rows(path))
    # Each row follows its frame into the file.
    assert rows <= file_frames(path) <= rows + 1


@pytest.mark.parametrize("name", ["x.ser", "x.tif", "x.mkv"])
def test_a_full_disk_ends_the_recording_with_what_it_wrote(bus, tmp_path, name):
    import resource
    path = tmp_path / name
    limit = 5 * WIDTH * HEIGHT
    result = record(path, "mono8", "--seconds", "30",
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
    assert result.returncode == 5, result.stderr
    assert f"recording into {path} stopped" in result.stderr
    frames, rows = file_frames(path), len(log_rows(path))
    # Matroska's cut cluster may still decode: a frame more than the log, never fewer.
    assert frames >= 1 and rows <= frames <= rows + (name == "x.mkv")


@pytest.mark.parametrize("name", ["x.txt", "f/%s.png", "f/%d%d.png"])
def test_a_name_no_format_takes_is_refused_before_the_camera_is_touched(name):
    result = subprocess.run([CAPTURE, "--record", name], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 2 and result.stderr.startswith("kestrix-capture: '"), result.stderr


def test_pre_trigger_starts_with_the_seconds_before_the_signal(bus, tmp_path):
    path = tmp_path / "x.ser"
    seconds = 1.0
    process = subprocess.Popen([CAPTURE, "--mode", "640x480-mono8", "--rate", "30",
                                "--pre-trigger", str(seconds), "--frames", "10", "--record",
                                str(path)], stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([process.stderr], [], [], 60)
    assert ready and "armed" in process.stderr.readline()
    sent = time.monotonic_ns()
    process.send_signal(signal.SIGUSR1)
    assert process.wait(timeout=60) == 0
    rows = log_rows(path)
    log = json.loads(Path(f"{path}.json").read_text())
    # The event is the signal's arrival, as its handler took the time.
    event = log["event_monotonic_ns"]
    assert event >= sent
    # A frame's time is when it was sent, where the stream maps cycle times, else its arrival.
    def at(row):
        return int(row["sent_monotonic_ns"] or row["arrived_monotonic_ns"])
    assert at(rows[0]) <= event - seconds * 1e9
    mark = log["event_frame"]
    assert at(rows[mark]) >= event > at(rows[mark - 1])
    assert len(rows) == mark + 10 == len(read_ser(path)["frames"])
