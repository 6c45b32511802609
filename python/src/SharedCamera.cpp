// The module's shared camera owner thread.
#include "python/src/SharedCamera.h"

#include <mutex>

#include "python/src/Errors.h"

namespace kxpy {
namespace {

std::mutex g_sharedLock;
std::weak_ptr<CameraOwnerThread> g_shared;  // guarded by g_sharedLock

}  // namespace

std::shared_ptr<CameraOwnerThread> SharedCameraThread() {
    std::scoped_lock lock(g_sharedLock);
    if (auto owner = g_shared.lock()) return owner;
    auto owner = std::make_shared<CameraOwnerThread>();
    if (!owner->IsOpen()) {
        throw Error("the camera library could not be opened (KESTRIX_LOG=bus:debug shows why)");
    }
    // The same colour tables as the viewer and kestrix-capture.
    owner->Call([](C1394Dcam& cam) { cam.SetColorTables(false, false, 10); });
    g_shared = owner;
    return owner;
}

bool CameraLibraryOpen() {
    std::scoped_lock lock(g_sharedLock);
    return !g_shared.expired();
}

}  // namespace kxpy
