// The sentences of the session's errors.
#include "session/Error.h"

#include "bus/DriverRecords.h"

namespace kestrix::session {

Error::Error(Kind kind) : m_kind(kind), m_message(Sentence(kind)) {}

Error Error::NoBandwidth(std::uint32_t needed, std::uint32_t left, const std::string& what) {
    Error error(Kind::NoBandwidth,
                what + " needs " + std::to_string(needed) + " bandwidth units, the bus has " +
                    (left == bus::kBandwidthLeftUnknown ? "fewer" : std::to_string(left)) +
                    " left");
    error.m_nNeeded = needed;
    error.m_nLeft = left;
    return error;
}

const char* Error::Sentence(Kind kind) {
    switch (kind) {
        case Kind::None:
            return "";
        case Kind::NotFound:
            return "no camera found (is kestrix-busd running?)";
        case Kind::InUse:
            return "the camera is in use by another program";
        case Kind::Refused:
            return "the camera refused the setting";
        case Kind::NoBandwidth:
            return "the bus lacks the bandwidth for the stream";
        case Kind::BusReset:
            return "a bus reset interrupted the stream";
        case Kind::Unplugged:
            return "the camera was unplugged (the devices on the bus changed)";
        case Kind::DriverGone:
            return "the bus driver does not answer";
        case Kind::Timeout:
            return "no frame came from the camera in time";
        case Kind::WrongState:
            return "the camera is not in a state for that";
        case Kind::Failed:
            break;
    }
    return "reading frames from the camera failed (the bus driver reported an error, or it is "
           "gone)";
}

}  // namespace kestrix::session
