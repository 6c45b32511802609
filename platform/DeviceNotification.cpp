// Device-change notices: the directory watcher's reports posted to the registered endpoint.
#include "platform/DeviceNotification.h"

#include "platform/DeviceDirectory.h"
#include "platform/DirectoryWatcher.h"

namespace platform {

class DeviceNotification::Impl {
public:
    explicit Impl(std::unique_ptr<DirectoryWatcher> watcher) : m_watcher(std::move(watcher)) {}

private:
    std::unique_ptr<DirectoryWatcher> m_watcher;
};

std::unique_ptr<DeviceNotification> DeviceNotification::Register(EndpointHandle target) {
    if (target == 0) return nullptr;
    auto post = [target](DirectoryWatcher::Change change, const std::string&) {
        const bool arrival = change == DirectoryWatcher::Change::Arrival;
        // A target that is gone just misses the notice, as a destroyed window would.
        MessageEndpoint::Post(target,
                              {kWmDeviceChange, arrival ? kDeviceArrival : kDeviceRemoveComplete,
                               kDeviceTypeInterface});
    };
    auto watcher = DirectoryWatcher::Start(DeviceDirectory::Path(), post);
    if (!watcher) return nullptr;
    return std::unique_ptr<DeviceNotification>(
        new DeviceNotification(std::make_unique<Impl>(std::move(watcher))));
}

DeviceNotification::DeviceNotification(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

DeviceNotification::~DeviceNotification() = default;

}  // namespace platform
