// The system error codes that requests and waits report (the numbering the bus layer expects).
#pragma once

#include <cstdint>

namespace platform {

inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoIncomplete = 996;
inline constexpr std::uint32_t kErrorIoPending = 997;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// The code's meaning, for log lines.
constexpr const char* ErrorName(std::uint32_t code) {
    switch (code) {
        case kErrorSuccess:
            return "success";
        case kErrorFileNotFound:
            return "file not found";
        case kErrorInvalidHandle:
            return "invalid handle";
        case kErrorNotEnoughMemory:
            return "not enough memory";
        case kErrorGenFailure:
            return "device failure";
        case kErrorNotSupported:
            return "not supported";
        case kErrorInvalidParameter:
            return "invalid parameter";
        case kErrorInsufficientBuffer:
            return "buffer too small";
        case kErrorSemTimeout:
            return "timed out";
        case kErrorBusy:
            return "busy";
        case kErrorOperationAborted:
            return "aborted";
        case kErrorIoIncomplete:
            return "incomplete";
        case kErrorIoPending:
            return "pending";
        case kErrorDeviceNotConnected:
            return "device not connected";
        default:
            return "unknown error";
    }
}

}  // namespace platform
