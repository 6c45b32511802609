// The failures the module reports, each turned into its Python exception by the bindings.
#pragma once

#include <stdexcept>
#include <string>

#include "session/Error.h"

namespace kxpy {

// kestrix.Error: the camera library failed; the message says why.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// kestrix.NoCameraError: no camera with that index or id, or it is gone from the bus.
class NoCameraError : public Error {
public:
    using Error::Error;
};
// kestrix.CameraInUseError: another program (or another open() here) holds the camera.
class CameraInUseError : public Error {
public:
    using Error::Error;
};
// kestrix.BusResetError: a bus reset interrupted the stream.
class BusResetError : public Error {
public:
    using Error::Error;
};
// kestrix.DeviceChangedError: the devices on the bus changed under the stream (an unplug).
class DeviceChangedError : public BusResetError {
public:
    using BusResetError::BusResetError;
};
// TimeoutError: no frame came in time.
class Timeout : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// KeyError: no camera feature of that name.
class UnknownName : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// OSError: a file could not be written.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws the exception of a session error's kind, with its sentence; returns on success.
void Check(const kestrix::session::Error& error);

}  // namespace kxpy
