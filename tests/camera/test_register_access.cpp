// Register access against kestrix-busd: the camera table, the register map, features, memory
// channels, Format 7 and vendor blocks, the split of longer transfers by the access unit, and
// failures injected on the bus.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "camera/AsyncSplit.h"
#include "camera/C1394Dcam.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;
using namespace cameratest::reg;

// ---- The split on its own ----

TEST(SplitTransfer, SendsPiecesOfAtMostTheUnit) {
    std::vector<std::pair<std::size_t, std::uint32_t>> pieces;
    std::array<std::uint8_t, 20> data{};
    const auto record = [&](std::span<std::uint8_t> piece, std::uint32_t offset) {
        pieces.emplace_back(piece.size(), offset);
        return unsigned(piece.size());
    };
    EXPECT_EQ(camera::SplitTransfer(data, 0xFFFFFFF8, 8, record), 20u);
    const std::vector<std::pair<std::size_t, std::uint32_t>> expected = {
        {8, 0xFFFFFFF8}, {8, 0}, {4, 8}};
    EXPECT_EQ(pieces, expected) << "the offset advances and wraps";
    EXPECT_EQ(camera::SplitTransfer(data, 0, 0, record), 0u);
}

TEST(SplitTransfer, AShortPieceEndsTheTransfer) {
    std::array<std::uint8_t, 24> data{};
    int calls = 0;
    const auto secondShort = [&](std::span<std::uint8_t> piece, std::uint32_t) {
        std::fill(piece.begin(), piece.end(), std::uint8_t(++calls));
        return calls == 2 ? 3u : unsigned(piece.size());
    };
    EXPECT_EQ(camera::SplitTransfer(data, 0, 8, secondShort), 11u);
    EXPECT_EQ(calls, 2);
}

// ---- Against the simulated bus ----

class RegisterAccess : public CameraTest {};

TEST_F(RegisterAccess, TheTableHoldsTheCamera) {
    ASSERT_EQ(m_cam.GetDeviceCount(kCameras), 1);
    EXPECT_EQ(m_cam.GetDeviceCount(0), 0);
    EXPECT_EQ(m_cam.GetDeviceCount(1), 0);
    EXPECT_EQ(m_cam.GetCameraDevice(0), 0);
    EXPECT_EQ(m_cam.GetCommandBase(0), 0xF00000u);  // quadlet offset 0x3C0000
    EXPECT_EQ(m_cam.GetVendorId(0), 0x02CA3Eu);
    EXPECT_EQ(m_cam.GetModeIndex(0), -1);
    EXPECT_EQ(m_cam.GetRateIndex(0), -1);
    EXPECT_EQ(m_cam.GetCameraDevice(1), -1);
}

TEST_F(RegisterAccess, ReadsTheCommandRegisters) {
    EXPECT_TRUE(Read(kBasicFuncInq) & 0x80000000) << "advanced features present";
    EXPECT_TRUE(Read(kVModeInqFormat0) & (0x80000000 >> 3)) << "format 0 mode 3";
    EXPECT_EQ(Read(kVRateInqFormat0 + 4 * 3), 0x78000000u) << "3.75 to 30 fps";
    EXPECT_EQ(Read(0x2E0), 0x3C2000u) << "Format 7 mode 0 block";
    EXPECT_EQ(Read(0x480), 0x3C4000u) << "vendor block";
    // Factory set-up: format 0, mode 3, 15 fps.
    EXPECT_EQ(Read(kCurVFormat), 0u);
    EXPECT_EQ(Read(kCurVMode), 0x60000000u);
    EXPECT_EQ(Read(kCurVFrmRate), 0x60000000u);
}

TEST_F(RegisterAccess, FeaturesAreReadAndWritten) {
    DWORD value = 0;
    ASSERT_TRUE(m_cam.ReadFeature(0, 0, &value));
    EXPECT_EQ(value, Read(kBrightness));
    const DWORD brightness = 0x820000A0;
    ASSERT_TRUE(m_cam.WriteFeature(0, 0, &brightness));
    EXPECT_EQ(Read(kBrightness), brightness);
    const DWORD zoom = 0x82000011;
    ASSERT_TRUE(m_cam.WriteFeature(0, 13, &zoom));
    EXPECT_EQ(Read(kZoom), zoom);
    ASSERT_TRUE(m_cam.ReadFeature(0, 16, &value));
}

TEST_F(RegisterAccess, RefusesBadArgumentsWithoutBusTraffic) {
    const auto before = RequestCount(m_bus);
    DWORD value = 0;
    EXPECT_FALSE(m_cam.ReadFeature(0, 17, &value));
    EXPECT_FALSE(m_cam.ReadFeature(0, -1, &value));
    EXPECT_FALSE(m_cam.WriteFeature(0, 17, &value));
    EXPECT_FALSE(m_cam.ReadRegister(1, kBasicFuncInq, &value));
    EXPECT_FALSE(m_cam.ReadRegister(-1, kBasicFuncInq, &value));
    EXPECT_FALSE(m_cam.ReadRegister(0, kBasicFuncInq, nullptr));
    EXPECT_FALSE(m_cam.WriteRegister(0, kBrightness, nullptr));
    EXPECT_FALSE(m_cam.ReadFormat7Register(0, 8, 0, &value, false));
    EXPECT_FALSE(m_cam.SaveMemoryChannel(0, 16));
    EXPECT_FALSE(m_cam.SelectCamera(1));
    EXPECT_EQ(RequestCount(m_bus), before);
}

TEST_F(RegisterAccess, SavesIntoAMemoryChannel) {
    EXPECT_TRUE(m_cam.SaveMemoryChannel(0, 2));
    EXPECT_EQ(Read(kMemSaveChannel), 0x20000000u);
    // The camera has channels 1 and 2; the refused channel write stops the save.
    EXPECT_FALSE(m_cam.SaveMemoryChannel(0, 3));
    EXPECT_EQ(Read(kMemSaveChannel), 0x20000000u);
}

TEST_F(RegisterAccess, AccessUnitSettings) {
    EXPECT_EQ(m_cam.GetAccessUnit(), 4u);
    for (int setting = 0; setting <= 5; ++setting) {
        ASSERT_TRUE(m_cam.SetAccessUnit(setting));
        EXPECT_EQ(m_cam.GetAccessUnit(), 4u << setting);
    }
    EXPECT_FALSE(m_cam.SetAccessUnit(6));
    EXPECT_FALSE(m_cam.SetAccessUnit(-1));
    EXPECT_EQ(m_cam.GetAccessUnit(), 128u);
}

// One quadlet is one request whatever the unit; a block takes one request per unit's worth.
TEST_F(RegisterAccess, BlocksAreSplitByTheAccessUnit) {
    std::array<DWORD, 8> single{};
    for (DWORD i = 0; i < single.size(); ++i) single[i] = Read(kVRateInqFormat0 + 4 * i);
    const auto requestsFor = [&](const std::function<void()>& work) {
        const std::uint64_t before = RequestCount(m_bus).value_or(0);
        work();
        return RequestCount(m_bus).value_or(0) - before;
    };
    const std::uint64_t perRequest = requestsFor([&] { Read(kCurVMode); });
    ASSERT_GT(perRequest, 0u);
    for (const int setting : {0, 1, 3, 5}) {
        ASSERT_TRUE(m_cam.SetAccessUnit(setting));
        EXPECT_EQ(requestsFor([&] { Read(kCurVMode); }), perRequest)
            << "unit " << m_cam.GetAccessUnit();
        std::array<DWORD, 8> block{};
        const std::uint64_t used =
            requestsFor([&] { EXPECT_TRUE(m_cam.ReadRegisterBlock(0, kVRateInqFormat0, block)); });
        const std::uint64_t pieces = (32 + m_cam.GetAccessUnit() - 1) / m_cam.GetAccessUnit();
        EXPECT_EQ(used, pieces * perRequest) << "unit " << m_cam.GetAccessUnit();
        EXPECT_EQ(block, single);
    }
}

TEST_F(RegisterAccess, BlockWritesLandInOrder) {
    ASSERT_TRUE(m_cam.SetAccessUnit(1));
    const std::array<DWORD, 3> values = {0x82000010, 0x82000020, 0x82000030};
    ASSERT_TRUE(m_cam.WriteRegisterBlock(0, kBrightness, values));
    EXPECT_EQ(Read(kBrightness), values[0]);
    EXPECT_EQ(Read(kBrightness + 4), values[1]);
    EXPECT_EQ(Read(kBrightness + 8), values[2]);
}

// The split with its pieces sent to the camera, the bus told to cut the third one short.
TEST_F(RegisterAccess, AReadWhoseThirdPieceComesBackShortFails) {
    ASSERT_TRUE(m_cam.SelectCamera(0));
    const int node = m_cam.GetNodeNumber(false);
    ASSERT_GE(node, 0);
    const DWORD offsetLow = 0xF0000000 + m_cam.GetCommandBase(0) + kVRateInqFormat0;
    std::array<std::uint8_t, 24> data{};
    int pieces = 0;
    const auto piece = [&](std::span<std::uint8_t> p, std::uint32_t at) {
        if (++pieces == 3) Busctl(m_bus, {"fault", "async-short"});
        return m_cam.AsyncRead(p.data(), unsigned(p.size()), 1023, unsigned(node), 0xFFFF, at);
    };
    const std::size_t got = camera::SplitTransfer(data, offsetLow, 8, piece);
    EXPECT_EQ(pieces, 3);
    EXPECT_LT(got, data.size());
    EXPECT_GE(got, 16u);
    // The first two pieces were stored, in bus order.
    for (DWORD i = 0; i < 4; ++i)
        EXPECT_EQ(platform::LoadBE32(&data[4 * i]), Read(kVRateInqFormat0 + 4 * i));

    // The camera object's own block read fails the same way.
    ASSERT_TRUE(m_cam.SetAccessUnit(1));
    std::array<DWORD, 6> block{};
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-short"}));
    EXPECT_FALSE(m_cam.ReadRegisterBlock(0, kVRateInqFormat0, block));
}

TEST_F(RegisterAccess, FailedRequestsFailTheOperation) {
    DWORD value = 0;
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-fail"}));
    EXPECT_FALSE(m_cam.ReadRegister(0, kBasicFuncInq, &value));
    const DWORD brightness = 0x82000033;
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-fail"}));
    EXPECT_FALSE(m_cam.WriteRegister(0, kBrightness, &brightness));
    EXPECT_NE(Read(kBrightness), brightness);
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-short"}));
    EXPECT_FALSE(m_cam.ReadRegister(0, kBasicFuncInq, &value));
    EXPECT_TRUE(m_cam.ReadRegister(0, kBasicFuncInq, &value));
}

TEST_F(RegisterAccess, Format7BlockIsLookedUp) {
    DWORD value = 0;
    EXPECT_FALSE(m_cam.ReadFormat7Register(0, 0, 0, &value, true)) << "nothing looked up yet";
    ASSERT_TRUE(m_cam.ReadFormat7Register(0, 0, 0x00, &value, false));
    EXPECT_EQ(value, 0x05500400u) << "1360 x 1024 at most";
    ASSERT_TRUE(m_cam.ReadFormat7Register(0, 0, 0x04, &value, true));
    EXPECT_EQ(value, 0x00080002u) << "units of 8 x 2";
    const DWORD position = 0x00100004;
    ASSERT_TRUE(m_cam.WriteFormat7Register(0, 0, kImagePosition, &position, true));
    ASSERT_TRUE(m_cam.ReadFormat7Register(0, 0, kImagePosition, &value, false));
    EXPECT_EQ(value, position);
    // The camera offers mode 0 only: the lookup fails before the block is touched.
    EXPECT_FALSE(m_cam.ReadFormat7Register(0, 1, 0x00, &value, false));
    EXPECT_FALSE(m_cam.WriteFormat7Register(0, 3, kImageSize, &position, false));
    EXPECT_FALSE(m_cam.ReadFormat7Register(0, -1, 0x00, &value, false));
}

TEST_F(RegisterAccess, VendorRegistersGoThroughTheAdvancedBlock) {
    DWORD value = 0;
    ASSERT_TRUE(m_cam.ReadVendorRegister(0, kColourBars, &value));
    EXPECT_EQ(value, 0x80000000u);
    ASSERT_TRUE(m_cam.WriteVendorRegister(0, kColourBars, 0x82000000));
    ASSERT_TRUE(m_cam.ReadVendorRegister(0, kColourBars, &value));
    EXPECT_EQ(value, 0x82000000u);
    EXPECT_FALSE(m_cam.ReadVendorRegister(0, 0x04, &value)) << "no such vendor register";
    // A failed lookup leaves the register alone.
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-fail"}));
    EXPECT_FALSE(m_cam.WriteVendorRegister(0, kColourBars, 0x80000000));
    ASSERT_TRUE(m_cam.ReadVendorRegister(0, kColourBars, &value));
    EXPECT_EQ(value, 0x82000000u);
}

class TwoCameras : public CameraTest {
protected:
    TwoCameras() : CameraTest(BusOptions(2)) {}
};

TEST_F(TwoCameras, TheCachedFormat7BlockIsOnTheDeviceSelectedLast) {
    ASSERT_EQ(m_cam.GetDeviceCount(kCameras), 2);
    DWORD value = 0;
    ASSERT_TRUE(m_cam.ReadFormat7Register(1, 0, kImagePosition, &value, false));
    const DWORD position = 0x00200008;
    // Named camera 0, but the block found last is camera 1's.
    ASSERT_TRUE(m_cam.WriteFormat7Register(0, 0, kImagePosition, &position, true));
    ASSERT_TRUE(m_cam.ReadFormat7Register(1, 0, kImagePosition, &value, false));
    EXPECT_EQ(value, position);
    ASSERT_TRUE(m_cam.ReadFormat7Register(0, 0, kImagePosition, &value, false));
    EXPECT_EQ(value, 0u);
}

TEST_F(TwoCameras, RenumberedNodesAreFollowed) {
    const DWORD brightness = 0x82000042;
    ASSERT_TRUE(m_cam.SelectCamera(1));
    const int nodeBefore = m_cam.GetNodeNumber(false);
    ASSERT_TRUE(Busctl(m_bus, {"bus-reset", "--renumber"}));
    ASSERT_TRUE(m_cam.SelectCamera(1));
    ASSERT_NE(m_cam.GetNodeNumber(false), nodeBefore);
    ASSERT_TRUE(m_cam.WriteFeature(1, 0, &brightness));
    EXPECT_EQ(Read(kBrightness, 1), brightness);
    EXPECT_NE(Read(kBrightness, 0), brightness);
}

}  // namespace
