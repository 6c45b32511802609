// The bus object's open connections to its devices, one per device path, so that a register
// access costs driver round trips only, not a connect and a close around each request.
//
// Only connections are kept, never node numbers: a bus reset reaches the bus window as a posted
// notice, so a node number remembered across it could address the wrong node until the notice
// is handled. A register access names the unit instead, and the driver addresses it at its
// number of the moment.
//
// Threading: any thread may call any operation. A handle handed out stays usable by its holder
// after Clear or Drop; its connection closes when the last holder lets it go.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/PlainDeviceHandle.h"

namespace bus {

class DeviceHandleCache {
public:
    // The open handle to path, connecting when none is kept; empty, with error set, when the
    // device cannot be opened (nothing is kept then).
    std::shared_ptr<platform::PlainDeviceHandle> Acquire(std::string_view path,
                                                         std::uint32_t& error);
    // Forgets handle after a request on it failed in a way that may mean its connection is
    // gone, so that the next access reconnects; a handle that was replaced meanwhile stays.
    void Drop(const std::shared_ptr<platform::PlainDeviceHandle>& handle);
    // Forgets every handle: the device list changed or the bus was reset.
    void Clear();
    // Off: every Acquire opens a handle of its own that closes after its request (the
    // connection-per-request behaviour, kept for measuring).
    void SetEnabled(bool bEnabled);
    std::size_t Size() const;

private:
    mutable std::mutex m_mutex;  // guards m_handles and m_bEnabled
    // At most one entry per device path, and the device list holds at most ten paths.
    std::vector<std::pair<std::string, std::shared_ptr<platform::PlainDeviceHandle>>> m_handles;
    bool m_bEnabled = true;
};

}  // namespace bus
