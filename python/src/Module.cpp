// The Python bindings of the module kestrix (its compiled part, kestrix._kestrix).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "camera/FrameConverter.h"
#include "python/src/CameraSession.h"
#include "python/src/Errors.h"
#include "python/src/FrameData.h"
#include "python/src/FrameStream.h"
#include "python/src/GroupStream.h"
#include "python/src/Recording.h"
#include "python/src/Simulation.h"

namespace py = pybind11;
using namespace kxpy;

namespace {

using FramePtr = std::shared_ptr<FrameData>;
using StreamPtr = std::shared_ptr<FrameStream>;
using Release = py::call_guard<py::gil_scoped_release>;

// The longest the GIL stays released in one wait, so that Ctrl+C is seen while no frame comes.
constexpr auto kSignalCheck = std::chrono::milliseconds(200);

std::chrono::nanoseconds Duration(double seconds) {
    if (!(seconds >= 0)) throw std::invalid_argument("a timeout cannot be negative");
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds));
}

// take(wait) with the GIL released, in waits short enough that Ctrl+C is seen while nothing
// comes, until it returns or timeout (empty: no limit) has passed; what names it for Timeout.
template <class Take>
auto Waiting(Take take, std::optional<double> timeout, const char* what) {
    const auto total = timeout ? Duration(*timeout) : std::chrono::nanoseconds::max();
    // "No limit" is a year, which keeps the arithmetic below from overflowing.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::min<std::chrono::nanoseconds>(total, std::chrono::hours(24 * 365));
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        const bool last = left <= kSignalCheck;
        try {
            py::gil_scoped_release release;
            return take(last ? std::max(left, std::chrono::steady_clock::duration::zero())
                             : std::chrono::steady_clock::duration(kSignalCheck));
        } catch (const Timeout&) {
            if (last) {
                char text[80];
                std::snprintf(text, sizeof text, "no %s came from the camera%s within %g s", what,
                              std::strcmp(what, "frame") == 0 ? "" : "s", timeout.value_or(0));
                throw Timeout(text);
            }
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

// The next frame with the GIL released while waiting and copying; null once the stream is
// closed. timeout empty: no limit.
FramePtr NextFrame(FrameStream& stream, std::optional<double> timeout, bool newest) {
    return Waiting([&](std::chrono::nanoseconds wait) { return stream.Next(wait, newest); },
                   timeout, "frame");
}

// A numpy view of the frame's pixels; the capsule holds the frame for as long as the view lives.
py::array ArrayOf(const FramePtr& frame) {
    const FrameFormat& f = frame->Format();
    const auto h = py::ssize_t(f.height), w = py::ssize_t(f.width);
    std::vector<py::ssize_t> shape;
    py::dtype type = py::dtype::of<std::uint8_t>();
    switch (f.coding) {
        case FrameConverter::Mono8:
        case FrameConverter::Raw8:  // the mosaic as it comes
            shape = {h, w};
            break;
        case FrameConverter::Mono16:
            shape = {h, w};
            type = py::dtype(">u2");
            break;
        case FrameConverter::Yuv411:  // U Y Y V Y Y: 6 bytes per 4 pixels
            shape = {h, w * 3 / 2};
            break;
        case FrameConverter::Yuv422:  // U Y V Y: a chroma and a luma byte per pixel
            shape = {h, w, 2};
            break;
        case FrameConverter::Rgb16:
            shape = {h, w, 3};
            type = py::dtype(">u2");
            break;
        default:  // RGB 8, YUV 4:4:4 (U Y V)
            shape = {h, w, 3};
            break;
    }
    // The C API hands the capsule a plain pointer; its destructor takes the holder back.
    auto holder = std::make_unique<FramePtr>(frame);
    py::capsule base(holder.get(), [](void* p) {
        const std::unique_ptr<FramePtr> owned(static_cast<FramePtr*>(p));
    });
    holder.release();
    return py::array(type, shape, frame->Data(), base);
}

std::string GuidText(std::uint64_t guid) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(guid));
    return text;
}

// The iterator that sets() returns.
struct SetIterator {
    std::shared_ptr<GroupStream> stream;
    std::optional<std::uint64_t> left;
    std::optional<double> timeout;
};

// The iterator that frames() returns.
struct FrameIterator {
    StreamPtr stream;
    std::optional<std::uint64_t> left;
    std::optional<double> timeout;
};

void RegisterErrors(py::module_& m) {
    static py::exception<Error> error(m, "Error", PyExc_RuntimeError);
    static py::exception<NoCameraError> noCamera(m, "NoCameraError", error.ptr());
    static py::exception<CameraInUseError> inUse(m, "CameraInUseError", error.ptr());
    static py::exception<BusResetError> busReset(m, "BusResetError", error.ptr());
    static py::exception<DeviceChangedError> changed(m, "DeviceChangedError", busReset.ptr());
    // Most derived first: the first translator that catches wins.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const DeviceChangedError& e) {
            changed(e.what());
        } catch (const BusResetError& e) {
            busReset(e.what());
        } catch (const CameraInUseError& e) {
            inUse(e.what());
        } catch (const NoCameraError& e) {
            noCamera(e.what());
        } catch (const Error& e) {
            error(e.what());
        } catch (const Timeout& e) {
            PyErr_SetString(PyExc_TimeoutError, e.what());
        } catch (const FileError& e) {
            PyErr_SetString(PyExc_OSError, e.what());
        } catch (const UnknownName& e) {
            PyErr_SetString(PyExc_KeyError, e.what());
        }
    });
}

void BindFeature(py::module_& m) {
    using Feature = session::Feature;
    py::class_<Feature>(m, "Feature",
                        "A feature's value as the camera reports it; int() and float() give the "
                        "raw value, str() the text kestrix-capture --get prints.")
        .def_readonly("name", &Feature::name)
        .def_readonly("value", &Feature::value,
                      "The raw register value (white-balance: V/R, the second number of its text).")
        .def_readonly("high", &Feature::high,
                      "white-balance: U/B, the first number of its text; else 0.")
        .def_readonly("absolute", &Feature::absolute,
                      "The value in unit where the camera has absolute registers, else None.")
        .def_readonly("unit", &Feature::unit, "The absolute value's unit ('s', 'dB', ...), or ''.")
        .def_property_readonly(
            "mode", [](const Feature& f) { return session::ModeName(f.mode); },
            "'manual', 'auto', 'one-push' or 'off'.")
        .def_readonly("min", &Feature::min, "The smallest raw value the camera takes.")
        .def_readonly("max", &Feature::max, "The largest raw value the camera takes.")
        .def("__int__", [](const Feature& f) { return f.value; })
        .def("__index__", [](const Feature& f) { return f.value; })
        .def("__float__", [](const Feature& f) { return double(f.value); })
        .def("__str__", [](const Feature& f) { return f.text; })
        .def("__eq__",
             [](const Feature& f, const py::object& other) -> py::object {
                 if (py::isinstance<Feature>(other)) {
                     const auto& o = other.cast<const Feature&>();
                     return py::bool_(f.name == o.name && f.text == o.text);
                 }
                 if (py::isinstance<py::str>(other))
                     return py::bool_(f.text == other.cast<std::string>());
                 return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             })
        .def("__hash__", [](const Feature& f) { return py::hash(py::str(f.text)); })
        .def("__repr__", [](const Feature& f) {
            return "Feature(" + f.name + "='" + f.text + "', mode='" + session::ModeName(f.mode) +
                   "')";
        });
}

void BindCamera(py::module_& m) {
    using CameraInfo = session::CameraInfo;
    py::class_<CameraInfo>(m, "CameraInfo", "A camera on the bus, as list_cameras() finds it.")
        .def_readonly("index", &CameraInfo::index,
                      "Position in the camera table (open(index=...)).")
        .def_readonly("guid", &CameraInfo::guid, "64-bit unique id (open(guid=...)).")
        .def_readonly("vendor_id", &CameraInfo::vendorId, "24-bit company id.")
        .def_readonly("vendor", &CameraInfo::vendor,
                      "The maker's name from the camera's ROM, or ''.")
        .def_readonly("model", &CameraInfo::model, "The model's name from the camera's ROM, or ''.")
        .def_readonly("path", &CameraInfo::path, "The unit's device path.")
        .def("__repr__", [](const CameraInfo& c) {
            return "CameraInfo(index=" + std::to_string(c.index) + ", guid=" + GuidText(c.guid) +
                   ", path='" + c.path + "')";
        });

    py::class_<ModeInfo>(m, "Mode", "A video mode the camera offers.")
        .def_readonly("name", &ModeInfo::name, "The mode's name, e.g. '640x480-mono8'.")
        .def_readonly("width", &ModeInfo::width)
        .def_readonly("height", &ModeInfo::height)
        .def_readonly("coding", &ModeInfo::coding, "Colour coding: mono8, yuv422, rgb, ...")
        .def_readonly("rates", &ModeInfo::rates,
                      "Frames per second offered; empty for Format 7 (its packet size sets it).")
        .def_readonly("format7", &ModeInfo::format7)
        .def_readonly("bayer", &ModeInfo::bayer,
                      "raw8: the colour filter's pattern ('rggb', 'gbrg', 'grbg', 'bggr'); "
                      "None for other modes and when the camera names none.")
        .def("__str__", [](const ModeInfo& mode) { return mode.name; })
        .def("__repr__", [](const ModeInfo& mode) { return "Mode('" + mode.name + "')"; });

    py::class_<CameraSession, std::shared_ptr<CameraSession>>(
        m, "Camera", "An open camera; open() makes one. Use it as a context manager.")
        .def_property_readonly("info", &CameraSession::Info)
        .def_property_readonly("closed", &CameraSession::IsClosed)
        .def_property_readonly("modes", &CameraSession::Modes, Release(),
                               "Every mode the camera offers, as a list of Mode.")
        .def_property("mode", py::cpp_function(&CameraSession::Mode, Release()),
                      py::cpp_function(&CameraSession::SetMode, Release()),
                      "The mode's name; setting it sets the camera up (ValueError for a mode it "
                      "does not offer).")
        .def_property("rate", py::cpp_function(&CameraSession::Rate, Release()),
                      py::cpp_function(&CameraSession::SetRate, Release()),
                      "Frames per second of a fixed mode (None for Format 7).")
        .def("_get_feature", &CameraSession::GetFeature, Release())
        .def("_set_feature", &CameraSession::SetFeature, Release())
        .def("_feature_items", &CameraSession::Features, Release())
        .def("stream", &CameraSession::Stream, py::arg("buffers") = 8, Release(),
             "Starts streaming into a ring of `buffers` frames; use it as a context manager.")
        .def("close", &CameraSession::Close, Release(), "Stops any stream and lets the camera go.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](CameraSession& cam, py::args) {
            py::gil_scoped_release release;
            cam.Close();
        });
}

void BindStream(py::module_& m) {
    py::class_<FrameIterator>(m, "FrameIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](FrameIterator& it) {
            if (it.left && *it.left == 0) throw py::stop_iteration();
            FramePtr frame = NextFrame(*it.stream, it.timeout, false);
            if (!frame) throw py::stop_iteration();
            if (it.left) --*it.left;
            return frame;
        });

    py::class_<FrameStream, StreamPtr>(m, "Stream", "A running stream; Camera.stream() makes one.")
        .def(
            "frames",
            [](const StreamPtr& s, std::optional<std::uint64_t> count,
               std::optional<double> timeout) {
                if (timeout) Duration(*timeout);  // refuses a negative one now
                return FrameIterator{s, count, timeout};
            },
            py::arg("count") = py::none(), py::arg("timeout") = 5.0,
            "Every frame in order (count of them, or until the stream closes), each within "
            "timeout seconds (None: no limit) or TimeoutError.")
        .def(
            "grab",
            [](FrameStream& s, std::optional<double> timeout) {
                FramePtr frame = NextFrame(s, timeout, true);
                if (!frame) throw Error("the stream is closed");
                return frame;
            },
            py::arg("timeout") = 5.0,
            "The newest frame (waiting for one newer than the last taken), skipping older ones.")
        .def_property_readonly("mode", [](const FrameStream& s) { return s.Format().mode; })
        .def_property_readonly("closed", &FrameStream::IsClosed)
        .def_property_readonly(
            "delivered", [](const FrameStream& s) { return s.Counters().delivered; },
            "Frames handed out so far.")
        .def_property_readonly(
            "lost", [](const FrameStream& s) { return s.Counters().lost; },
            "Frames that never reached the ring: reads that delivered nothing, and frame periods "
            "the camera's cycle stamps show missing.")
        .def_property_readonly(
            "dropped", [](const FrameStream& s) { return s.Counters().dropped; },
            "Frames the ring overwrote before frames() came to them.")
        .def_property_readonly(
            "short_frames", [](const FrameStream& s) { return s.Counters().shortFrames; },
            "Frames that came with fewer bytes than they have: handed out, their missing tail "
            "zeroed, flagged Frame.SHORT, not lost.")
        .def(
            "record",
            [](const StreamPtr& s, const std::string& path, std::optional<std::uint64_t> frames,
               const std::string& codec, bool frameLog) {
                return std::make_shared<Recording>(s, path, frames, codec, frameLog);
            },
            py::arg("path"), py::arg("frames") = py::none(), py::arg("codec") = "ffv1",
            py::arg("frame_log") = true, Release(),
            "Records the stream's frames into path, its format chosen by its name (.avi, .ser, "
            ".tif, .mkv, frames/%06d.png, %06d.tif), with path.csv and path.json beside it "
            "unless frame_log is False; frames: stop after that many. While it runs, frames() "
            "and grab() refuse.")
        .def("close", &FrameStream::Close, Release(), "Stops the transmission and the capture.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](FrameStream& s, py::args) {
            py::gil_scoped_release release;
            s.Close();
        });

    py::class_<Recording, std::shared_ptr<Recording>>(
        m, "Recording", "A recording of a stream into a file; Stream.record() makes one.")
        .def(
            "wait",
            [](Recording& r, std::optional<double> timeout) {
                std::optional<std::chrono::nanoseconds> span;
                if (timeout) span = Duration(*timeout);
                py::gil_scoped_release release;
                return r.Wait(span);
            },
            py::arg("timeout") = py::none(),
            "Waits up to timeout seconds (None: no limit) for the recording to stop by itself "
            "(its frames written, a failure, the stream's end); whether it did.")
        .def("stop", &Recording::Stop, Release(),
             "Finishes the file and its frame log; raises kestrix.Error when a write failed.")
        .def_property_readonly("path", &Recording::Path)
        .def_property_readonly(
            "frames", [](const Recording& r) { return r.Figures().frames; }, "Frames in the file.")
        .def_property_readonly(
            "dropped", [](const Recording& r) { return r.Figures().dropped; },
            "Frames the ring overwrote before the recording came to them.")
        .def_property_readonly(
            "done", [](const Recording& r) { return r.Figures().done; },
            "Whether the recording stopped by itself.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Recording& r, py::args) {
            py::gil_scoped_release release;
            r.Stop();
        });
}

// The next set as a tuple (None for a missing camera); an empty tuple once closed.
py::tuple NextSet(GroupStream& stream, std::optional<double> timeout) {
    const auto frames = Waiting(
        [&](std::chrono::nanoseconds wait) { return stream.Next(wait); }, timeout, "frame set");
    py::tuple set(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        set[i] = frames[i] ? py::cast(frames[i]) : py::none();
    return set;
}

void BindGroup(py::module_& m) {
    using Counters = session::StreamGroup::Counters;
    py::class_<Counters>(m, "GroupCounters", "The frame sets of a GroupStream so far.")
        .def_readonly("sets", &Counters::sets, "Sets handed out, complete or not.")
        .def_readonly("incomplete", &Counters::incomplete, "Sets with a camera missing.")
        .def_readonly("missing", &Counters::missing,
                      "Per camera, in the group's order: the sets it was missing from.")
        .def_readonly("max_skew_cycles", &Counters::maxSkewCycles,
                      "The largest distance between the frames of one set, in bus cycles "
                      "(125 us).")
        .def("__repr__", [](const Counters& c) {
            return "GroupCounters(sets=" + std::to_string(c.sets) +
                   ", incomplete=" + std::to_string(c.incomplete) +
                   ", max_skew_cycles=" + std::to_string(c.maxSkewCycles) + ")";
        });

    py::class_<SetIterator>(m, "SetIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](SetIterator& it) {
            if (it.left && *it.left == 0) throw py::stop_iteration();
            py::tuple set = NextSet(*it.stream, it.timeout);
            if (set.empty()) throw py::stop_iteration();
            if (it.left) --*it.left;
            return set;
        });

    using GroupPtr = std::shared_ptr<GroupStream>;
    py::class_<GroupStream, GroupPtr>(m, "GroupStream",
                                      "Several cameras streaming together; Group.stream() makes "
                                      "one. Iterating it gives its frame sets.")
        .def(py::init([](const std::vector<std::shared_ptr<CameraSession>>& cameras, int buffers) {
                 if (cameras.empty()) throw std::invalid_argument("a group needs a camera");
                 return std::make_shared<GroupStream>(cameras, buffers);
             }),
             py::arg("cameras"), py::arg("buffers") = 8, Release())
        .def(
            "sets",
            [](const GroupPtr& s, std::optional<std::uint64_t> count, std::optional<double> timeout) {
                if (timeout) Duration(*timeout);  // refuses a negative one now
                return SetIterator{s, count, timeout};
            },
            py::arg("count") = py::none(), py::arg("timeout") = 5.0,
            "Every frame set in order (count of them, or until the stream closes): a tuple of "
            "Frame, one per camera in the group's order, None where the camera missed the set; "
            "each within timeout seconds (None: no limit) or TimeoutError.")
        .def("__iter__", [](const GroupPtr& s) { return SetIterator{s, {}, 5.0}; })
        .def_property_readonly("counters", &GroupStream::Counters)
        .def_property_readonly("closed", &GroupStream::IsClosed)
        .def("close", &GroupStream::Close, Release(), "Stops every camera's stream.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](GroupStream& s, py::args) {
            py::gil_scoped_release release;
            s.Close();
        });
}

void BindFrame(py::module_& m) {
    py::class_<FrameData, FramePtr>(m, "Frame", "One frame, holding its own copy of the pixels.")
        .def_property_readonly("array", &ArrayOf,
                               "numpy view of the camera's pixels: (H, W) uint8 mono8 and raw8 "
                               "(the Bayer mosaic), (H, W) '>u2' mono16, (H, W, 3) uint8 rgb and "
                               "yuv444, (H, W, 2) uint8 "
                               "yuv422 (UYVY), (H, W*3/2) uint8 yuv411.")
        .def_readonly("sequence", &FrameData::sequence,
                      "Number in the stream, counting lost frames: a gap is lost_before.")
        .def_readonly("timestamp_ns", &FrameData::timestampNs,
                      "Arrival on the host, time.monotonic_ns() clock.")
        .def_readonly("lost_before", &FrameData::lostBefore,
                      "Frames missing between the frame before this one and this one: lost before "
                      "the ring, or overwritten in it before they were read.")
        .def_readonly("cycle_time", &FrameData::cycleTime,
                      "The bus cycle time the driver stamped the frame with: seconds (7 bits), "
                      "cycles (13), offset (12).")
        .def_readonly("sent_ns", &FrameData::sentNs,
                      "When the frame's first packet left the camera (its cycle time mapped), "
                      "time.monotonic_ns() clock; 0 while unmapped.")
        .def_readonly("sent_utc_ns", &FrameData::sentUtcNs,
                      "The same instant in UTC, time.time_ns() clock; 0 while unmapped.")
        .def_readonly("flags", &FrameData::flags, "Frame.SHORT when the frame came short.")
        .def_property_readonly_static(
            "SHORT", [](const py::object&) { return session::FrameMetadata::kShort; },
            "flags: the frame came with fewer bytes than it has; its missing tail is zero.")
        .def_property_readonly("mode", [](const FrameData& f) { return f.Format().mode; })
        .def_property_readonly("width", [](const FrameData& f) { return f.Format().width; })
        .def_property_readonly("height", [](const FrameData& f) { return f.Format().height; })
        .def(
            "to_rgb",
            [](const FramePtr& f) {
                std::vector<std::uint8_t> rgb;
                {
                    py::gil_scoped_release release;
                    rgb = f->ToRgb();
                }
                const FrameFormat& format = f->Format();
                py::array_t<std::uint8_t> out(
                    {py::ssize_t(format.height), py::ssize_t(format.width), py::ssize_t(3)});
                std::memcpy(out.mutable_data(), rgb.data(), rgb.size());
                return out;
            },
            "(H, W, 3) uint8 red-green-blue, converted as the viewer converts (raw8 "
            "demosaiced by its mode's bayer pattern, grey without one).")
        .def("save", &FrameData::Save, py::arg("path"), py::arg("quality") = 90, Release(),
             "Saves a BMP (.bmp) or JPEG (.jpg, .jpeg) still, converted as to_rgb() converts.")
        .def("__repr__", [](const FrameData& f) {
            return "Frame(mode='" + f.Format().mode + "', sequence=" + std::to_string(f.sequence) +
                   ", lost_before=" + std::to_string(f.lostBefore) + ")";
        });
}

}  // namespace

PYBIND11_MODULE(_kestrix, m) {
    m.doc() = "IIDC 1394 cameras through the KestrixView camera library.";
    // numpy and the pybind11 statics that look it up, now, under the GIL: left to a frame's
    // first array, two threads at once would each wait for the other (one in C++'s guard of
    // the static, the other in the import, holding the GIL).
    py::module_::import("numpy");
    py::array_t<std::uint8_t> warm(1);
    (void)py::dtype(">u2");
    RegisterErrors(m);
    BindFeature(m);
    BindCamera(m);
    BindStream(m);
    BindGroup(m);
    BindFrame(m);
    m.def("list_cameras", &CameraSession::List, Release(), "The cameras on the bus.");
    m.def(
        "_open",
        [](int index, std::optional<std::uint64_t> guid) {
            return CameraSession::Open(index, guid);
        },
        py::arg("index"), py::arg("guid"), Release());
    m.def("_simulate", &StartSimulation, Release());
    m.def(
        "_close_all",
        [] {
            CameraSession::CloseAll();
            StopSimulation();
        },
        Release());
}
