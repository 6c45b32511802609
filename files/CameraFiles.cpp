// The camera object's stills and AVI recording.
#include "files/CameraFiles.h"

#include <new>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/IidcRegisters.h"
#include "camera/VideoModeTables.h"
#include "files/BitmapGeometry.h"
#include "files/BmpWriter.h"
#include "files/CDcamAviWriter.h"
#include "files/JpegWriter.h"

namespace {

using files::CDcamAviFile;
using files::CDcamAviWriter;
using files::RawFourCC;

// What a frame of the camera's current mode looks like.
struct Geometry {
    int modeIndex = -1;
    int width = 0;
    int height = 0;
    int coding = C1394Dcam::kColorCodingNone;
    BayerPattern bayer = BayerPattern::None;
};

// From the mode table for Formats 0 to 2, from the camera's registers for Format 7. False without
// a mode, or when the registers give a size or coding that no frame can have (a failed read gives
// 0), before anything is allocated.
bool ReadGeometry(C1394Dcam& cam, int camera, Geometry& g) {
    g.modeIndex = cam.GetModeIndex(camera);
    if (g.modeIndex < 0) return false;
    if (g.modeIndex < camera::kFormat7First) {
        g.width = C1394Dcam::GetModeWidth(g.modeIndex);
        g.height = C1394Dcam::GetModeHeight(g.modeIndex);
        g.coding = C1394Dcam::GetModeColorCoding(g.modeIndex);
    } else {
        g.width = cam.GetWidth(camera);
        g.height = cam.GetHeight(camera);
        g.coding = cam.GetColorCoding(camera);
        g.bayer = cam.GetBayerPattern(camera);
    }
    return FrameConverter::FrameBytes(g.coding, g.width, g.height) != 0;
}

// Microseconds per frame: by the rate index for Formats 0 to 2; for Format 7, one packet per
// 125-microsecond cycle. 0 when the camera cannot tell.
std::uint32_t FramePeriod(C1394Dcam& cam, int camera, const Geometry& g) {
    if (g.modeIndex < camera::kFormat7First) {
        return CDcamAviFile::MicrosecondsPerFrame(cam.GetRateIndex(camera));
    }
    C1394Dcam::DWORD packets = 0;
    if (!cam.ReadFormat7Register(camera, g.modeIndex - camera::kFormat7First,
                                 camera::iidc::kPacketPerFrameInq, &packets, false)) {
        return 0;
    }
    return CDcamAviFile::MicrosecondsPerFormat7Frame(packets);
}

// Converts a frame of the geometry into bits; false when it is too short or memory is.
bool ConvertFrame(C1394Dcam& cam, std::span<const std::uint8_t> frame, const Geometry& g,
                  std::vector<std::uint8_t>& bits) {
    if (frame.size() < FrameConverter::FrameBytes(g.coding, g.width, g.height)) return false;
    try {
        bits.assign(files::BitmapBytes(g.width, g.height), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return cam.GetConverter().ConvertToBitmap(g.coding, bits, frame, g.width, g.height, g.bayer);
}

// Copies one slot of the camera's ring and converts it into bits; false when there is no frame.
// The raw copy is gone on return, so a writer holds one whole-frame buffer more at most.
bool ConvertSlot(C1394Dcam& cam, int camera, int slot, const Geometry& g,
                 std::vector<std::uint8_t>& bits) {
    const CDcamCaptureThread* thread = cam.GetCaptureThread(camera);
    if (thread == nullptr || !thread->HasFrame()) return false;
    std::vector<std::uint8_t> raw;
    try {
        raw.resize(thread->GetSlotSize());
    } catch (const std::bad_alloc&) {
        return false;
    }
    int copied = -1;
    std::uint16_t sequence = 0;
    return thread->CopyFrame(raw, slot, &copied, &sequence) && ConvertFrame(cam, raw, g, bits);
}

// A still of a ring slot (frame empty) or of a frame copied out before, handed to save once
// converted.
template <class Save>
bool SaveConverted(C1394Dcam& cam, int camera, const char* path, int slot,
                   std::span<const std::uint8_t> frame, Save save) {
    std::vector<std::uint8_t> bits;
    Geometry g;
    std::string& error = cam.StillErrorText();
    error.clear();
    if (path == nullptr || !ReadGeometry(cam, camera, g)) return false;
    const bool converted =
        frame.empty() ? ConvertSlot(cam, camera, slot, g, bits) : ConvertFrame(cam, frame, g, bits);
    return converted && save(bits, g, &error);
}

// Lets the camera object keep the writer after its capture has let go of it.
class SharedSink final : public FrameSink {
public:
    explicit SharedSink(std::shared_ptr<FrameSink> sink) : m_pSink(std::move(sink)) {}
    platform::Event& FrameReady() override { return m_pSink->FrameReady(); }
    void Stop() override { m_pSink->Stop(); }

private:
    std::shared_ptr<FrameSink> m_pSink;
};

}  // namespace

// ---- Stills ----

namespace files {

namespace {

bool SaveBitmapOf(C1394Dcam& cam, int camera, const char* path, int slot,
                  std::span<const std::uint8_t> frame) {
    return SaveConverted(
        cam, camera, path, slot, frame,
        [&](const std::vector<std::uint8_t>& bits, const Geometry& g, std::string* error) {
            return SaveBmpFile(path, bits, g.width, g.height, error);
        });
}

bool SaveJpegOf(C1394Dcam& cam, int camera, const char* path, int quality, bool progressive,
                bool grayscale, int slot, std::span<const std::uint8_t> frame) {
    return SaveConverted(
        cam, camera, path, slot, frame,
        [&](const std::vector<std::uint8_t>& bits, const Geometry& g, std::string* error) {
            return SaveJpegFile(path, bits, g.width, g.height, quality, progressive, grayscale,
                                error);
        });
}

}  // namespace

bool SaveBitmap(C1394Dcam& cam, int camera, const char* path, int slot) {
    return SaveBitmapOf(cam, camera, path, slot, {});
}

bool SaveBitmap(C1394Dcam& cam, int camera, const char* path, std::span<const std::uint8_t> frame) {
    return SaveBitmapOf(cam, camera, path, -1, frame);
}

bool SaveJpeg(C1394Dcam& cam, int camera, const char* path, int quality, bool progressive,
              bool grayscale, int slot) {
    return SaveJpegOf(cam, camera, path, quality, progressive, grayscale, slot, {});
}

bool SaveJpeg(C1394Dcam& cam, int camera, const char* path, int quality, bool progressive,
              bool grayscale, std::span<const std::uint8_t> frame) {
    return SaveJpegOf(cam, camera, path, quality, progressive, grayscale, -1, frame);
}

// ---- AVI recording ----

namespace {

CDcamAviWriter* WriterOf(const C1394Dcam& cam, int camera) {
    const std::shared_ptr<FrameSink>* recording = cam.GetRecording(camera);
    return recording != nullptr ? static_cast<CDcamAviWriter*>(recording->get()) : nullptr;
}

}  // namespace

bool OpenAviFile(C1394Dcam& cam, int camera, const char* path, bool bConvert,
                 bool bStandardFourCC) {
    CDcamCaptureThread* thread = cam.GetCaptureThread(camera);
    if (thread == nullptr || path == nullptr || thread->GetSink() != nullptr) return false;
    Geometry g;
    if (!ReadGeometry(cam, camera, g)) return false;
    const std::uint32_t period = FramePeriod(cam, camera, g);
    if (period == 0) return false;
    std::shared_ptr<CDcamAviWriter> writer;
    std::unique_ptr<SharedSink> sink;
    try {
        writer = std::make_shared<CDcamAviWriter>();
        sink = std::make_unique<SharedSink>(writer);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Kept even when opening fails, for its error text.
    *cam.GetRecording(camera) = writer;
    const RawFourCC fourcc = bStandardFourCC ? RawFourCC::Standard : RawFourCC::Camera;
    return writer->Open(path, {g.coding, g.width, g.height, period, bConvert, fourcc, g.bayer},
                        thread->Ring(), cam.GetConverter()) &&
           thread->AttachSink(std::move(sink));
}

bool StartAviRecording(C1394Dcam& cam, int camera, std::uint32_t frameLimit) {
    const CDcamCaptureThread* thread = cam.GetCaptureThread(camera);
    CDcamAviWriter* writer = WriterOf(cam, camera);
    return thread != nullptr && thread->GetSink() != nullptr && writer != nullptr &&
           writer->Start(frameLimit);
}

void PauseAviRecording(C1394Dcam& cam, int camera) {
    if (CDcamAviWriter* writer = WriterOf(cam, camera)) writer->Pause();
}

bool CloseAviFile(C1394Dcam& cam, int camera) {
    CDcamCaptureThread* thread = cam.GetCaptureThread(camera);
    const CDcamAviWriter* writer = WriterOf(cam, camera);
    if (thread == nullptr || !thread->DetachSink() || writer == nullptr) return false;
    return writer->Succeeded();
}

int GetAviFrameCount(const C1394Dcam& cam, int camera) {
    const CDcamAviWriter* writer = WriterOf(cam, camera);
    return writer != nullptr ? int(writer->GetFrameCount()) : 0;
}

int GetAviDropped(const C1394Dcam& cam, int camera) {
    const CDcamAviWriter* writer = WriterOf(cam, camera);
    return writer != nullptr ? int(writer->GetDropped()) : 0;
}

int GetAviLimitSequence(const C1394Dcam& cam, int camera) {
    const CDcamAviWriter* writer = WriterOf(cam, camera);
    return writer != nullptr ? writer->GetLimitSequence() : -1;
}

std::string GetAviErrorText(const C1394Dcam& cam, int camera) {
    const CDcamAviWriter* writer = WriterOf(cam, camera);
    return writer != nullptr ? writer->GetErrorText() : std::string();
}

std::uint32_t GetFramePeriod(C1394Dcam& cam, int camera) {
    Geometry g;
    return ReadGeometry(cam, camera, g) ? FramePeriod(cam, camera, g) : 0;
}

}  // namespace files
