// Recording a capture into an AVI file for kestrix-capture.
#include "tools/kestrix-capture/CaptureRecording.h"

#include "files/CameraFiles.h"

#include "tools/kestrix-capture/ExitCodes.h"

bool CaptureRecording::Start(kestrix::session::Camera& camera) {
    bool opened = false;
    std::string why;
    camera.Call([&](C1394Dcam& cam, int index) {
        m_nIndex = index;
        opened = files::OpenAviFile(cam, index, m_options.avi.c_str(), m_options.convert,
                                 m_options.standardFourCC);
        if (!opened) why = files::GetAviErrorText(cam, index);
    });
    if (m_nIndex < 0 || !opened) {
        m_fail(kExitFileError, why.empty() ? "cannot record into " + m_options.avi : why);
        return false;
    }
    m_pManager = &camera.Manager();
    m_file.Created(m_options.avi);
    if (!Recorder([&](C1394Dcam& cam, int index) {
            return files::StartAviRecording(cam, index, m_options.frames);
        })) {
        m_fail(kExitFailed, "the recording could not start");
        Close();
        return false;
    }
    return true;
}

bool CaptureRecording::Ended(OutputFileCheck::Clock::time_point now) {
    if (m_pManager == nullptr) return false;
    // The recorder stopped by itself: closing says why.
    if (!Recorder([](C1394Dcam& cam, int index) { return files::GetAviErrorText(cam, index); }).empty())
        return true;
    return m_file.GoneBy(now);
}

std::uint64_t CaptureRecording::Frames() const {
    if (m_pManager == nullptr) return 0;
    return std::uint64_t(
        Recorder([](C1394Dcam& cam, int index) { return files::GetAviFrameCount(cam, index); }));
}

std::uint64_t CaptureRecording::Dropped() const {
    if (m_pManager == nullptr) return 0;
    return std::uint64_t(
        Recorder([](C1394Dcam& cam, int index) { return files::GetAviDropped(cam, index); }));
}

std::optional<std::uint16_t> CaptureRecording::LimitFrame() const {
    if (m_pManager == nullptr) return {};
    const int sequence =
        Recorder([](C1394Dcam& cam, int index) { return files::GetAviLimitSequence(cam, index); });
    if (sequence < 0) return {};
    return std::uint16_t(sequence);
}

void CaptureRecording::Close() {
    if (m_pManager == nullptr) return;
    const std::string problem = Recorder([](C1394Dcam& cam, int index) {
        files::PauseAviRecording(cam, index);
        // Without a capture any more, its end has finished the file already.
        files::CloseAviFile(cam, index);
        return files::GetAviErrorText(cam, index);
    });
    const std::uint64_t frames = Frames();
    if (m_file.Gone()) {
        m_fail(kExitFileError,
               "recording into " + m_options.avi +
                   " failed: the file is gone (its "
                   "folder or the file was removed during the recording), and the " +
                   std::to_string(frames) + " frames written with it");
    } else if (!problem.empty()) {
        m_fail(kExitFileError, "recording into " + m_options.avi + " stopped: " + problem +
                                   "; the file keeps the " + std::to_string(frames) +
                                   " frames written before");
    }
}
