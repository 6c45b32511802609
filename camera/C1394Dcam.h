// The camera object: the bus access object extended with the IIDC cameras on the bus, their
// register access, video-mode set-up, isochronous capture into frame rings, frame conversion
// for display, and the reaction to device changes and bus resets.
//
// Threading: every operation runs on the thread that called Open (it owns the hidden bus window
// and must dispatch its MessageQueue), except WaitForFrame, WaitForFrameOnDevice, GetFrame,
// GetFrameFromDevice and ConvertToBitmap, which any thread may call at any time (a capture that
// is removed meanwhile makes them fail, never crash). Register operations must not interleave.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "bus/CFirewireComm.h"
#include "camera/CDcamCaptureThread.h"
#include "camera/FrameConverter.h"
#include "camera/FrameRing.h"

class C1394Dcam : public CFirewireComm {
public:
    using DWORD = std::uint32_t;

    // Inclusive image area of a Format 7 set-up.
    struct Rect {
        int left = 0;
        int top = 0;
        int right = 0;
        int bottom = 0;
    };
    // The available physical memory in bytes, as the system reports it (32 bits).
    using MemoryProbe = std::function<std::uint32_t()>;

    static constexpr int kMaxCameras = 64;
    static constexpr int kCameraDevices = 2;  // the GetDeviceCount type that counts cameras
    static constexpr int kMaxFeature = 16;
    static constexpr int kColorCodingNone = 7;

    C1394Dcam();
    ~C1394Dcam() override;  // closes when still open

    // Stops every capture, then leaves the bus.
    bool Close() override;

    // ---- Camera table ----
    // For type kCameraDevices the number of cameras; 0 for any other type.
    int GetDeviceCount(int type) const;
    bool SelectCamera(int camera);
    // The camera's device number, command base (byte offset from 0xFFFF F000 0000) and 24-bit
    // vendor id; -1 (all bits set for the unsigned ones) for an index not in the table.
    int GetCameraDevice(int camera) const;
    DWORD GetCommandBase(int camera) const;
    DWORD GetVendorId(int camera) const;
    // The camera's GUID from its configuration ROM, read from the camera; 0 when unreadable.
    std::uint64_t GetCameraGuid(int camera);
    // The flattened mode index and rate index last set up; -1 until set.
    int GetModeIndex(int camera) const;
    int GetRateIndex(int camera) const;

    // ---- Register access (true on success; values in host order, offsets in bytes) ----
    // Largest bytes per asynchronous request: setting 0..5 gives 4, 8, 16, 32, 64 or 128.
    bool SetAccessUnit(int setting);
    unsigned GetAccessUnit() const { return m_nAccessUnit; }

    bool ReadRegister(int camera, DWORD offset, DWORD* value);
    // The cycle timer of the camera's bus with the host's clocks beside it.
    bool ReadCycleTimer(int camera, platform::CycleTimerReading* reading);
    // The isochronous receive contexts of the host controller the camera's bus hangs on; false
    // when the driver does not say.
    bool GetReceiveContexts(int camera, int* contexts);
    bool WriteRegister(int camera, DWORD offset, const DWORD* value);
    // Writes a command register of every camera on this camera's bus at once, at this camera's
    // command base: for cameras of one model, whose bases are the same.
    bool BroadcastCommand(int camera, DWORD offset, DWORD value);
    // Consecutive command registers from offset, sent in pieces of at most the access unit.
    bool ReadRegisterBlock(int camera, DWORD offset, std::span<DWORD> values);
    bool WriteRegisterBlock(int camera, DWORD offset, std::span<const DWORD> values);
    // cachedBase: use the block found by the last lookup on the device selected last, without
    // selecting the camera; only right after a lookup for the same camera and mode.
    bool ReadFormat7Register(int camera, int f7mode, DWORD offset, DWORD* value, bool cachedBase);
    bool WriteFormat7Register(int camera, int f7mode, DWORD offset, const DWORD* value,
                              bool cachedBase);
    bool ReadVendorRegister(int camera, DWORD offset, DWORD* value);
    bool WriteVendorRegister(int camera, DWORD offset, DWORD value);
    // True when the camera says it has none of the maker's vendor registers (no advanced
    // features), as a camera with only the standard IIDC registers does. A camera that cannot
    // be read now is not taken to lack them.
    bool LacksVendorRegisters(int camera);
    // Feature control registers of features 0..16.
    bool ReadFeature(int camera, int feature, DWORD* value);
    bool WriteFeature(int camera, int feature, const DWORD* value);
    bool SaveMemoryChannel(int camera, int channel);
    // Whether the camera's trigger was on when this object last read or wrote its trigger
    // register (through ReadFeature or WriteFeature, feature 12); false before either. A
    // triggered camera sends frames only when triggered, so long gaps are no loss. Any thread.
    bool IsTriggerOn(int camera) const;

    // ---- Video modes ----
    // modeIndex 0..23 with a rate index, or 24..31 with a colour coding id.
    bool SetVideoMode(int camera, int modeIndex, int rateOrCoding, bool noCheck);
    bool SetFormat7Mode(int camera, int modeIndex, int colorCoding, const Rect* area);
    // speed 0..2 (S100..S400), channel 0..15.
    bool SetIsoChannel(int camera, int speed, int channel);

    // From the fixed mode table (0..23); 0 (coding: 7) for any other index.
    static int GetModeWidth(int modeIndex);
    static int GetModeHeight(int modeIndex);
    static int GetModeFrameBytes(int modeIndex);
    static int GetModeColorCoding(int modeIndex);
    // From the camera's current registers; 0 (coding: 7) on failure.
    int GetWidth(int camera);
    int GetHeight(int camera);
    int GetFrameBytes(int camera);
    int GetColorCoding(int camera);
    int GetBytesPerPacket(int camera);
    // The colour filter of a Format 7 mode's sensor (f7mode 0..7), from its COLOR_FILTER_ID
    // register; None when the camera has no such register or names no pattern.
    BayerPattern GetBayerPattern(int camera, int f7mode);
    // That of the current mode when it sends RAW8; None for any other mode.
    BayerPattern GetBayerPattern(int camera);

    // Ring slots that percent (1..99) of the available memory holds, at most 600 MiB in all,
    // divided by divisor; 0 when nothing fits or an argument is out of range.
    int CalcBufferCount(int modeIndex, int percent, int divisor);
    int CalcBufferCountForCamera(int camera, int percent, int divisor);
    // Replaces the system's figure (for tests); an empty probe restores it.
    void SetMemoryProbe(MemoryProbe probe);

    // ---- Capture ----
    std::unique_ptr<CIsochTransferThread> CreateIsochThread() override;
    // speed 0..2; flags: bit 0x02 SY synchronisation, bit 0x10 packet mode; frames >= 2 slots.
    bool StartCapture(int camera, int speed, int flags, int frames);
    bool StopCapture(int camera);
    // Ends the capture of a camera whose bus driver no longer answers: the connection is dropped
    // instead of asking the driver to stop and free, which a stalled driver would hold for each
    // request's time-out. A recording is finished as by StopCapture.
    bool AbandonCapture(int camera);
    void StopAllCaptures();
    // shots 0: continuous, 1: one frame, 2..65535: that many frames.
    bool StartTransmission(int camera, int shots);
    // What StartTransmission does before its register write, for a start that one broadcast
    // (BroadcastCommand) makes for several cameras.
    bool PrepareTransmission(int camera, int shots);
    bool StopTransmission(int camera);
    bool SetTransmission(int camera, bool continuous, int shotMode, int shots);
    // The newest slot once a frame arrives within timeoutMs (FrameRing::kWaitForever: no
    // limit); -1 on time-out or while no frame is held; 0 when no capture runs there.
    int WaitForFrame(int camera, DWORD timeoutMs);
    int WaitForFrameOnDevice(int device, DWORD timeoutMs);
    // Copies one slot (slot-size bytes; negative slot: the newest) into dst; the slot copied, or
    // -1 without a capture or a frame.
    int GetFrame(int camera, void* dst, int slot);
    int GetFrameFromDevice(int device, void* dst, int slot);
    // The capture thread of the camera's device, null when none runs (owner thread only).
    CDcamCaptureThread* GetCaptureThread(int camera) const;
    // The running capture's counters (FrameRing::Stats: frames stored, dropped, short, failed
    // reads, lost), all 0 when none runs. Any thread may call it at any time.
    FrameRing::Stats GetCaptureStats(int camera) const;
    // The camera's frame period in bus cycles (8000 a second) for the mode and rate set up:
    // the rate's, or for Format 7 one cycle per packet; 0 when unknown.
    double GetFramePeriodCycles(int camera);

    // ---- Conversion for display ----
    void SetColorTables(bool studioRange, bool leftJustified, int significantBits) {
        m_Converter.SetColorTables(studioRange, leftJustified, significantBits);
    }
    bool ConvertToBitmap(int colorCoding, std::uint8_t* dst, const std::uint8_t* src, int width,
                         int height) const {
        return m_Converter.ConvertToBitmap(colorCoding, dst, src, width, height);
    }
    FrameConverter& GetConverter() { return m_Converter; }

    // ---- What the file writers keep per camera object (files/CameraFiles.h) ----
    // Thrown and caught inside the JPEG writer; its values are defined with it.
    enum JpegErr : int;
    // Why the last still failed writing its file ("No space left on device"); empty when it did
    // not get that far.
    const std::string& GetStillErrorText() const { return m_strStillError; }
    std::string& StillErrorText() { return m_strStillError; }
    // The latest recording of each camera index, shared with the capture it records and kept
    // after it stopped for its figures; null for an index out of range.
    const std::shared_ptr<FrameSink>* GetRecording(int camera) const;
    std::shared_ptr<FrameSink>* GetRecording(int camera);

protected:
    // A device change stops every capture and rebuilds the camera table.
    std::int64_t OnDeviceListChanged(std::uint64_t wParam, std::int64_t lParam) override;
    // Captures, camera table and Format 7 cache survive a reset; the clients are told.
    std::int64_t OnBusReset(std::uint64_t wParam, std::int64_t lParam) override;

private:
    // One row of the camera table; atomics because the frame readers look up the device.
    struct CameraEntry {
        std::atomic<int> nDevice{-1};
        std::atomic<DWORD> dwVendorId{0xFFFFFFFF};
        std::atomic<DWORD> dwCommandBase{0xFFFFFFFF};
        std::atomic<int> nMode{-1};
        std::atomic<int> nRate{-1};
        std::atomic<bool> bTriggerOn{false};
        std::atomic<bool> bContinuous{false};  // transmitting without a shot count
    };

    bool IsCamera(int camera) const;
    void ClearCameraTable();
    void RebuildCameraTable();

    // Register access on the selected device, at 0xFFFF:offsetLow.
    bool ReadQuadlets(DWORD offsetLow, std::span<DWORD> values);
    bool WriteQuadlets(DWORD offsetLow, std::span<const DWORD> values);
    unsigned TransferPiece(bool write, std::span<std::uint8_t> piece, DWORD offsetLow);
    bool ReadCommand(int camera, DWORD offset, DWORD* value);
    bool WriteCommand(int camera, DWORD offset, DWORD value);
    // Selects the camera and finds the Format 7 mode's block (or takes the cached one).
    bool Format7Address(int camera, int f7mode, DWORD offset, bool cachedBase, DWORD* offsetLow);
    bool VendorAddress(int camera, DWORD offset, DWORD* offsetLow);

    // The camera's current format (0..7) and mode (0..7).
    bool ReadCurrentMode(int camera, int* format, int* mode);
    // A Format 7 register of the camera's current Format 7 mode, or of a fixed mode's row.
    int CurrentGeometry(int camera, int (*fromRow)(int modeIndex), DWORD format7Offset,
                        DWORD (*fromFormat7)(DWORD value), int failure);
    bool WriteModeRegisters(int camera, int format, int mode);
    int BufferCount(std::uint32_t frameBytes, int percent, int divisor) const;

    bool HasCapture(int camera) const;
    // Bytes the bus layer's buffer takes for one frame: a Format 7 camera may pad its packets.
    bool CaptureBufferBytes(int camera, int frameBytes, int* bufferBytes);
    bool ArmCapture(CDcamCaptureThread& thread, int camera, int frameBytes, int frames);
    // Makes the receive memory the next capture of the mode just set needs, pages in, so that
    // its start only passes it on. Replaces memory kept for another size.
    void PrepareReceiveMemory(int camera);
    // Has the capture count frames missing by their cycle stamps while the camera free-runs
    // (continuous, trigger off), and not otherwise.
    void CountLossesByTime(int camera, bool freeRunning);
    void NoteTrigger(int camera, DWORD trigger);
    void StopAndRemove(int device, bool orderly);
    std::shared_ptr<FrameRing> FindRing(int device) const;
    void PublishRing(int device, std::shared_ptr<FrameRing> ring);

    std::atomic<int> m_nCameraCount{0};
    std::array<CameraEntry, kMaxCameras> m_Cameras;
    FrameConverter m_Converter;
    DWORD m_dwFormat7Base = 0;  // quadlet offset of the block found by the last lookup
    bool m_bFormat7BaseValid = false;
    unsigned m_nAccessUnit = 4;
    MemoryProbe m_MemoryProbe;

    mutable std::mutex m_ringLock;  // guards m_Rings
    // The ring of each running capture by device number, for the frame readers.
    std::array<std::shared_ptr<FrameRing>, kMaxCameras> m_Rings;
    // The latest recording of each camera index. Owner thread only.
    std::array<std::shared_ptr<FrameSink>, kMaxCameras> m_AviWriters;
    // Receive memory a stopped capture kept, or a mode set made ready, by device, for the next
    // capture of the same size. Owner thread only.
    std::map<int, std::unique_ptr<platform::SharedBuffer>> m_KeptReceiveMemory;
    std::string m_strStillError;  // owner thread only
};
