// Session errors as the module's exceptions.
#include "python/src/Errors.h"

namespace kxpy {

void Check(const kestrix::session::Error& error) {
    using Kind = kestrix::session::Error::Kind;
    const std::string& text = error.Message();
    switch (error.GetKind()) {
        case Kind::None:
            return;
        case Kind::NotFound:
            throw NoCameraError(text);
        case Kind::InUse:
            throw CameraInUseError(text);
        case Kind::Refused:
            throw std::invalid_argument(text);
        case Kind::BusReset:
            throw BusResetError(text);
        case Kind::Unplugged:
            throw DeviceChangedError(text);
        case Kind::Timeout:
            throw Timeout(text);
        case Kind::NoBandwidth:
        case Kind::DriverGone:
        case Kind::WrongState:
        case Kind::Failed:
            break;
    }
    throw Error(text);
}

}  // namespace kxpy
