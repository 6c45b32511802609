// The stills of a kestrix-capture run.
#include "tools/kestrix-capture/CaptureStill.h"

#include "camera/CDcamCaptureThread.h"
#include "files/CameraFiles.h"
#include "tools/kestrix-capture/ExitCodes.h"

void CaptureStill::Hold(kestrix::session::Camera& camera, std::uint16_t sequence) {
    if (m_options.bmp.empty() && m_options.jpeg.empty()) return;
    camera.Call([&](C1394Dcam& cam, int index) {
        const CDcamCaptureThread* thread = cam.GetCaptureThread(index);
        const FrameRing* ring = thread != nullptr ? thread->Ring().get() : nullptr;
        if (ring == nullptr) return;
        for (int slot = 0; slot < ring->GetSlotCount(); ++slot) {
            if (ring->GetSequence(slot) != sequence) continue;
            std::vector<std::uint8_t> frame(ring->GetSlotSize());
            int copied = -1;
            std::uint16_t held = 0;
            // The slot may have taken a newer frame between the look and the copy.
            if (ring->Copy(frame.data(), frame.size(), slot, &copied, &held) && held == sequence)
                m_frame = std::move(frame);
            return;
        }
    });
}

void CaptureStill::Save(kestrix::session::Camera& camera) {
    if (!m_options.bmp.empty()) SaveOne(camera, m_options.bmp, false);
    if (!m_options.jpeg.empty()) SaveOne(camera, m_options.jpeg, true);
}

void CaptureStill::SaveOne(kestrix::session::Camera& camera, const std::string& path, bool jpeg) {
    bool held = false, saved = false;
    std::string why;
    camera.Call([&](C1394Dcam& cam, int index) {
        const CDcamCaptureThread* thread = cam.GetCaptureThread(index);
        held = !m_frame.empty() || (thread != nullptr && thread->HasFrame());
        if (!held) return;
        saved = jpeg ? files::SaveJpeg(cam, index, path.c_str(), m_options.quality, false, false,
                                       m_frame)
                     : files::SaveBitmap(cam, index, path.c_str(), m_frame);
        if (!saved) why = cam.GetStillErrorText();
    });
    if (!held) {
        m_fail(kExitFailed, "no frame to save as " + path);
        return;
    }
    if (saved) return;
    // The writer's reason names the file itself when it comes from the system.
    const bool named = !why.empty() && why.rfind(path, 0) == 0;
    m_fail(kExitFileError, "cannot write " + (named ? why : why.empty() ? path : path + ": " + why));
}
