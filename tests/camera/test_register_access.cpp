// Register access against kestrix-busd: the camera table, the register map, features, memory
// channels, Format 7 and vendor blocks, the split of longer transfers by the access unit, and
// failures injected on the bus.
#include <gtest/gtest.h>

#include <array>

#include "camera/AsyncSplit.h"
#include "camera/C1394Dcam.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;
using namespace cameratest::reg;

// The daemon's request count is the whole process's: the bus-reset watcher's one wait is in
// place before any test counts, so that only the test's own calls fall into a window.
class RegisterAccess : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        ASSERT_TRUE(m_bus.WaitForResetWaits(1));
    }
};

TEST_F(RegisterAccess, TheTableAndTheRegisterMap) {
    ASSERT_EQ(m_cam.GetDeviceCount(kCameras), 1);
    EXPECT_EQ(m_cam.GetDeviceCount(1), 0);
    EXPECT_EQ(m_cam.GetCameraDevice(0), 0);
    EXPECT_EQ(m_cam.GetCommandBase(0), 0xF00000u);  // quadlet offset 0x3C0000
    EXPECT_EQ(m_cam.GetVendorId(0), 0x02CA3Eu);
    EXPECT_EQ(m_cam.GetModeIndex(0), -1);
    EXPECT_TRUE(Read(kBasicFuncInq) & 0x80000000) << "advanced features present";
    EXPECT_EQ(Read(kVRateInqFormat0 + 4 * 3), 0x78000000u) << "mode 3: 3.75 to 30 fps";
    EXPECT_EQ(Read(0x2E0), 0x3C2000u) << "Format 7 mode 0 block";
    EXPECT_EQ(Read(0x480), 0x3C4000u) << "vendor block";
    EXPECT_EQ(Read(kCurVMode), 0x60000000u) << "factory mode 3";
}

TEST_F(RegisterAccess, FeaturesAndMemoryChannels) {
    const DWORD brightness = 0x820000A0, zoom = 0x82000011;
    ASSERT_TRUE(m_cam.WriteFeature(0, 0, &brightness));
    ASSERT_TRUE(m_cam.WriteFeature(0, 13, &zoom));
    DWORD value = 0;
    ASSERT_TRUE(m_cam.ReadFeature(0, 0, &value));
    EXPECT_EQ(value, brightness);
    EXPECT_EQ(Read(kZoom), zoom);
    EXPECT_TRUE(m_cam.SaveMemoryChannel(0, 2));
    EXPECT_EQ(Read(kMemSaveChannel), 0x20000000u);
    EXPECT_FALSE(m_cam.SaveMemoryChannel(0, 3)) << "the camera refuses channel 3";

    const std::uint64_t before = RequestCount(m_bus);
    EXPECT_FALSE(m_cam.ReadFeature(0, 17, &value));
    EXPECT_FALSE(m_cam.WriteFeature(0, -1, &value));
    EXPECT_FALSE(m_cam.ReadRegister(1, kBasicFuncInq, &value));
    EXPECT_FALSE(m_cam.ReadRegister(-1, kBasicFuncInq, &value));
    EXPECT_FALSE(m_cam.ReadRegister(0, kBasicFuncInq, nullptr));
    EXPECT_FALSE(m_cam.ReadFormat7Register(0, 8, 0, &value, false));
    EXPECT_EQ(RequestCount(m_bus), before) << "refused without bus traffic";
}

// One quadlet is one request whatever the unit; a block takes one per unit's worth.
TEST_F(RegisterAccess, BlocksAreSplitByTheAccessUnit) {
    std::array<DWORD, 8> single{};
    for (DWORD i = 0; i < single.size(); ++i) single[i] = Read(kVRateInqFormat0 + 4 * i);
    const auto requestsFor = [&](const std::function<void()>& work) {
        const std::uint64_t before = RequestCount(m_bus);
        work();
        return RequestCount(m_bus) - before;
    };
    const std::uint64_t perRequest = requestsFor([&] { Read(kCurVMode); });
    EXPECT_FALSE(m_cam.SetAccessUnit(6));
    for (const int setting : {0, 1, 5}) {
        ASSERT_TRUE(m_cam.SetAccessUnit(setting));
        EXPECT_EQ(requestsFor([&] { Read(kCurVMode); }), perRequest);
        std::array<DWORD, 8> block{};
        const std::uint64_t used =
            requestsFor([&] { EXPECT_TRUE(m_cam.ReadRegisterBlock(0, kVRateInqFormat0, block)); });
        EXPECT_EQ(used, (32 + m_cam.GetAccessUnit() - 1) / m_cam.GetAccessUnit() * perRequest);
        EXPECT_EQ(block, single);
    }
}

// The split with its pieces sent to the camera, the bus told to cut the third one short.
TEST_F(RegisterAccess, AReadWhoseThirdPieceComesBackShortFails) {
    ASSERT_TRUE(m_cam.SelectCamera(0));
    const int node = m_cam.GetNodeNumber(false);
    const DWORD offsetLow = 0xF0000000 + m_cam.GetCommandBase(0) + kVRateInqFormat0;
    std::array<std::uint8_t, 24> data{};
    int pieces = 0;
    const auto piece = [&](std::span<std::uint8_t> p, std::uint32_t at) {
        if (++pieces == 3) Busctl(m_bus, {"fault", "async-short"});
        return m_cam.AsyncRead(p.data(), unsigned(p.size()), 1023, unsigned(node), 0xFFFF, at);
    };
    const std::size_t got = camera::SplitTransfer(data, offsetLow, 8, piece);
    EXPECT_EQ(pieces, 3);
    EXPECT_TRUE(got >= 16 && got < data.size()) << got;
    for (DWORD i = 0; i < 4; ++i) {
        EXPECT_EQ(platform::LoadBE32(&data[4 * i]), Read(kVRateInqFormat0 + 4 * i)) << "stored";
    }
    // The camera object's own reads fail on a short or failed request.
    std::array<DWORD, 6> block{};
    ASSERT_TRUE(m_cam.SetAccessUnit(1) && Busctl(m_bus, {"fault", "async-short"}));
    EXPECT_FALSE(m_cam.ReadRegisterBlock(0, kVRateInqFormat0, block));
    const DWORD brightness = 0x82000033;
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-fail"}));
    EXPECT_FALSE(m_cam.WriteRegister(0, kBrightness, &brightness));
    EXPECT_NE(Read(kBrightness), brightness);
}

TEST_F(RegisterAccess, Format7BlockIsLookedUp) {
    DWORD value = 0;
    EXPECT_FALSE(m_cam.ReadFormat7Register(0, 0, 0, &value, true)) << "nothing looked up yet";
    EXPECT_EQ(ReadFormat7(0x00), 0x05500400u) << "1360 x 1024 at most";
    ASSERT_TRUE(m_cam.ReadFormat7Register(0, 0, 0x04, &value, true));
    EXPECT_EQ(value, 0x00080002u) << "units of 8 x 2";
    // The camera has mode 0 only: the lookup fails before the block is touched.
    EXPECT_FALSE(m_cam.ReadFormat7Register(0, 1, 0x00, &value, false));
    EXPECT_FALSE(m_cam.WriteFormat7Register(0, 3, kImageSize, &value, false));
}

TEST_F(RegisterAccess, VendorRegistersGoThroughTheAdvancedBlock) {
    constexpr DWORD kColourBars = 0xDC;
    DWORD value = 0;
    ASSERT_TRUE(m_cam.WriteVendorRegister(0, kColourBars, 0x82000000));
    ASSERT_TRUE(m_cam.ReadVendorRegister(0, kColourBars, &value));
    EXPECT_EQ(value, 0x82000000u);
    EXPECT_FALSE(m_cam.ReadVendorRegister(0, 0x04, &value)) << "no such vendor register";
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-fail"}));
    EXPECT_FALSE(m_cam.WriteVendorRegister(0, kColourBars, 0x80000000)) << "the lookup failed";
    ASSERT_TRUE(m_cam.ReadVendorRegister(0, kColourBars, &value));
    EXPECT_EQ(value, 0x82000000u);
}

class TwoCameras : public CameraTest {
protected:
    TwoCameras() : CameraTest(2) {}
};

TEST_F(TwoCameras, TheCachedFormat7BlockIsOnTheDeviceSelectedLast) {
    DWORD value = 0;
    ASSERT_TRUE(m_cam.ReadFormat7Register(1, 0, kImagePosition, &value, false));
    const DWORD position = 0x00200008;
    ASSERT_TRUE(m_cam.WriteFormat7Register(0, 0, kImagePosition, &position, true));
    ASSERT_TRUE(m_cam.ReadFormat7Register(1, 0, kImagePosition, &value, false));
    EXPECT_EQ(value, position) << "camera 0 named, camera 1 written";
    EXPECT_EQ(ReadFormat7(kImagePosition), 0u);
}

// A reset that gives both cameras new node numbers, the window not yet told of it: each
// access still reaches the camera it names, in one request.
TEST_F(TwoCameras, AccessReachesTheCameraNamedAcrossARenumberingReset) {
    const DWORD first = 0x820000A1, second = 0x820000B2;
    ASSERT_TRUE(m_cam.WriteRegister(0, kBrightness, &first));
    ASSERT_TRUE(m_cam.WriteRegister(1, kBrightness, &second));
    ASSERT_TRUE(m_cam.SelectCamera(0));
    const int before = m_cam.GetNodeNumber(false);
    ASSERT_TRUE(Busctl(m_bus, {"bus-reset", "--renumber"}));
    EXPECT_NE(m_cam.GetNodeNumber(false), before);
    // The reset watcher's new wait is in place, so that only these reads are counted.
    ASSERT_TRUE(m_bus.WaitForResetWaits(1));
    const std::uint64_t requests = RequestCount(m_bus);
    EXPECT_EQ(Read(kBrightness, 0), first);
    EXPECT_EQ(Read(kBrightness, 1), second);
    EXPECT_EQ(RequestCount(m_bus) - requests, 2u);
}

}  // namespace
