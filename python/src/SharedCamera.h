// The module's one camera owner thread: Python may call from any thread, and may not call at all
// for a while, so one CameraOwnerThread per process runs every camera operation and hears the
// bus notices whatever Python does.
#pragma once

#include <memory>

#include "session/CameraOwnerThread.h"

namespace kxpy {

using kestrix::session::CameraOwnerThread;

// The process's thread, started (and the library opened) when none runs; it ends once the last
// holder lets go. Throws Error when the library cannot be opened.
std::shared_ptr<CameraOwnerThread> SharedCameraThread();
// Whether the library is open in this process.
bool CameraLibraryOpen();

}  // namespace kxpy
