// The simulated camera's ROM and registers, as a client finds and programs them.
#include <gtest/gtest.h>

#include <string>

#include "platform/ByteOrder.h"
#include "simbus/CameraModel.h"
#include "simbus/ConfigRomImage.h"
#include "tests/simbus/CameraModelFixture.h"

namespace {

using simbus::CameraModel;
using Access = CameraModel::Access;
using CameraModelTest = simbus::test::CameraModelFixture;
using simbus::test::kCsrBase;
using simbus::test::kOn;

constexpr std::uint64_t kRomBase = kCsrBase + 0x400;

std::uint32_t FeatureOffset(unsigned f) { return f < 13 ? 0x800 + 4 * f : 0x880 + 4 * (f - 13); }

std::uint32_t Quadlet(const std::vector<std::uint8_t>& bytes, std::size_t index) {
    return platform::LoadBE32(bytes.data() + 4 * index);
}

TEST_F(CameraModelTest, RomPiecesCarryWhatTheClientParses) {
    const auto& rom = cam.Rom();
    ASSERT_EQ(rom.busInfo.size(), 24u);
    EXPECT_EQ(Quadlet(rom.busInfo, 1), 0x3133'3934u);  // "1394"
    const std::uint32_t company = Quadlet(rom.busInfo, 3) >> 8;
    EXPECT_NE(company, 0u);
    EXPECT_EQ(Quadlet(rom.busInfo, 4), 0x00C0FFEEu);  // the serial as chip id

    ASSERT_GE(rom.unitDirectory.size(), 8u);
    EXPECT_EQ(Quadlet(rom.unitDirectory, 0), 0x1200'A02Du);  // spec id
    EXPECT_EQ(rom.unitDirectory[4], 0x13);
    EXPECT_EQ(Quadlet(rom.unitDirectory, 1) & 0xFF'FFFF, 0x000102u);

    ASSERT_GE(rom.unitDependentDirectory.size(), 4u);
    EXPECT_EQ(rom.unitDependentDirectory[0], 0x40);
    EXPECT_EQ(Cmd(0), 0xFFFF'F0F0'0000u);
    EXPECT_EQ(Get(Cmd(0x400)) & kOn, kOn) << "the command base leads to BASIC_FUNC_INQ";

    const std::string vendor(rom.vendorLeaf.begin() + 8, rom.vendorLeaf.end());
    const std::string model(rom.modelLeaf.begin() + 8, rom.modelLeaf.end());
    EXPECT_EQ(std::string(vendor.c_str()), "Tarnwell");
    EXPECT_NE(std::string(model.c_str()).find("KX-1360"), std::string::npos);
}

TEST_F(CameraModelTest, RomSpaceIsAConsistentReadOnlyImage) {
    std::vector<std::uint32_t> q;
    for (std::uint32_t v = 0; cam.Read(kRomBase + 4 * q.size(), v) == Access::Ok;) q.push_back(v);
    ASSERT_GT(q.size(), 20u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(q[i], Quadlet(cam.Rom().busInfo, i));
    EXPECT_EQ(q[0] >> 24, 4u);
    EXPECT_EQ(q[0] & 0xFFFF, simbus::ConfigRomImage::Crc16({&q[1], 4}));

    // Every directory and leaf: its header's length and CRC cover what follows it.
    const auto checkBlock = [&](std::size_t at) {
        const std::size_t len = q[at] >> 16;
        EXPECT_LE(at + 1 + len, q.size());
        EXPECT_EQ(q[at] & 0xFFFF, simbus::ConfigRomImage::Crc16({&q[at + 1], len}));
        return len;
    };
    // Follow root -> unit directory (key 0xD1) -> unit dependent directory (0xD4) -> leaves.
    const auto follow = [&](std::size_t dir, std::uint8_t key) -> std::size_t {
        const std::size_t len = checkBlock(dir);
        for (std::size_t e = dir + 1; e <= dir + len; ++e)
            if (q[e] >> 24 == key) return e + (q[e] & 0xFF'FFFF);
        ADD_FAILURE() << "no key " << int(key);
        return dir;
    };
    const std::size_t unit = follow(5, 0xD1);
    EXPECT_EQ(q[unit + 2], Quadlet(cam.Rom().unitDirectory, 1));
    const std::size_t dependent = follow(unit, 0xD4);
    EXPECT_EQ(q[dependent + 1], Quadlet(cam.Rom().unitDependentDirectory, 0));
    const std::size_t vendorLeaf = follow(dependent, 0x81);
    checkBlock(vendorLeaf);
    EXPECT_EQ(q[vendorLeaf + 3], Quadlet(cam.Rom().vendorLeaf, 2));
    checkBlock(follow(dependent, 0x82));

    EXPECT_EQ(cam.Write(kRomBase, 0), Access::ReadOnly);
    EXPECT_EQ(cam.Write(kRomBase + 4 * (q.size() - 1), 0), Access::ReadOnly);
    EXPECT_EQ(cam.Write(kRomBase + 4 * q.size(), 0), Access::Unmapped);
}

TEST_F(CameraModelTest, AccessOutsideMappedRegistersIsRefused) {
    std::uint32_t v = 0;
    EXPECT_EQ(cam.Read(kCsrBase, v), Access::Unmapped);
    EXPECT_EQ(cam.Read(Cmd(0x401), v), Access::Unmapped);  // not on a quadlet
    EXPECT_EQ(cam.Read(Cmd(0x834), v), Access::Unmapped);  // between features 12 and 13
    EXPECT_EQ(cam.Read(Cmd(0x534), v), Access::Unmapped);
    EXPECT_EQ(cam.Read(Cmd(0x1000), v), Access::Unmapped);
    EXPECT_EQ(cam.Read(Vendor(0x00), v), Access::Unmapped);
    EXPECT_EQ(cam.Read(F7(0x20), v), Access::Unmapped);
    EXPECT_EQ(cam.Write(Cmd(0x834), 0), Access::Unmapped);

    for (const std::uint32_t inquiry :
         {0x100u, 0x180u, 0x204u, 0x2E0u, 0x400u, 0x480u, 0x500u, 0x58Cu, 0x628u}) {
        const std::uint32_t before = Get(Cmd(inquiry));
        EXPECT_EQ(cam.Write(Cmd(inquiry), ~before), Access::ReadOnly) << std::hex << inquiry;
        EXPECT_EQ(Get(Cmd(inquiry)), before);
    }
    EXPECT_EQ(cam.Write(F7(0x00), 0), Access::ReadOnly);
    EXPECT_EQ(cam.Write(F7(0x3C), 0), Access::ReadOnly);
}

TEST_F(CameraModelTest, InquiryOffersTheViewerModesAtTheirTableRates) {
    EXPECT_EQ(Get(Cmd(0x100)), 0xC100'0000u);                // Formats 0, 1 and 7
    EXPECT_EQ(Get(Cmd(0x180)) & 0x1800'0000, 0x1800'0000u);  // 640 x 480 YUV 4:2:2, RGB
    EXPECT_EQ(Get(Cmd(0x184)) & 0xD800'0000, 0xD800'0000u);  // 800 x 600, 1024 x 768
    EXPECT_EQ(Get(Cmd(0x188)), 0u);                          // no Format 2
    EXPECT_EQ(Get(Cmd(0x19C)), kOn);                         // Format 7 mode 0 only

    struct Case {
        unsigned format, mode;
        std::uint32_t rates;
    };
    for (const Case& c :
         {Case{0, 3, 0x7800'0000}, Case{0, 4, 0x7800'0000}, Case{1, 0, 0x7800'0000},
          Case{1, 1, 0x3000'0000}, Case{1, 3, 0xF000'0000}, Case{1, 4, 0xE000'0000}})
        EXPECT_EQ(Get(Cmd(0x200 + 32 * c.format + 4 * c.mode)), c.rates)
            << c.format << "/" << c.mode;

    EXPECT_EQ(Get(Cmd(0x400)) & 0x8000'000F, 0x8000'0002u);  // vendor block, 2 memory channels
    EXPECT_EQ(Get(Cmd(0x404)), 0xFFF9'0000u);                // features 0 to 12 and frame rate
    for (unsigned f = 0; f < 17; ++f) {
        const std::uint32_t inquiry = Get(Cmd(FeatureOffset(f) - 0x300));
        EXPECT_EQ(inquiry & kOn, kOn) << f;
        if (f != 12) {
            EXPECT_LE((inquiry >> 12) & 0xFFF, inquiry & 0xFFF) << "min <= max " << f;
        }
    }
    EXPECT_EQ(Get(Cmd(0x51C)) & 0xFF'FFFF, 1988u << 12 | 2855u);  // shutter range
}

TEST_F(CameraModelTest, FixedModesStreamTheirTablePacketsAndPeriods) {
    struct Case {
        unsigned format, mode, rate;
        std::uint32_t bytesPerPacket, frameBytes, cycles, num;
    };
    for (const Case& c :
         {Case{0, 3, 4, 2560, 614400, 267, 800}, Case{0, 4, 3, 1920, 921600, 533, 1600},
          Case{1, 1, 2, 1500, 1440000, 1067, 3200}, Case{1, 4, 0, 576, 2359296, 4267, 12800},
          Case{1, 3, 1, 768, 1572864, 2133, 6400}}) {
        SetMode(c.format, c.mode, c.rate);
        const auto s = cam.Stream();
        EXPECT_EQ(s.bytesPerPacket, c.bytesPerPacket);
        EXPECT_EQ(s.frameBytes, c.frameBytes);
        EXPECT_EQ(s.packetsPerFrame * s.bytesPerPacket, c.frameBytes) << "whole packets";
        EXPECT_EQ(s.cyclesPerFrame, c.cycles);
        EXPECT_EQ(s.cyclesPerFrameNum, c.num);
        EXPECT_EQ(s.cyclesPerFrameDen, 3u);
    }
    EXPECT_FALSE(cam.Stream().transmitting) << "nothing is sent before ISO_EN";
    // 1.875 fps: starts 4266, 8533, 12800 cycles in, so three frames take exactly 1.6 s.
    SetMode(1, 4, 0);
    const auto slow = cam.Stream();
    EXPECT_EQ(slow.FrameStartCycle(1), 4266u);
    EXPECT_EQ(slow.FrameStartCycle(2), 8533u);
    EXPECT_EQ(slow.FrameStartCycle(3), 12800u);
}

TEST_F(CameraModelTest, ModesTheCameraLacksCanBeWrittenButNotStreamed) {
    Set(Cmd(0x614), kOn);
    SetMode(0, 3, 5);  // 640 x 480 YUV 4:2:2 has no 60 fps
    EXPECT_EQ(Get(Cmd(0x600)), 5u << 29);
    EXPECT_FALSE(cam.Stream().transmitting);
    EXPECT_EQ(cam.Stream().frameBytes, 0u);
    EXPECT_EQ(Get(Cmd(0x628)), kOn);

    SetMode(2, 0, 2);  // Format 2 is not offered
    EXPECT_FALSE(cam.Stream().transmitting);
    SetMode(0, 3, 4);
    EXPECT_TRUE(cam.Stream().transmitting);
    EXPECT_EQ(Get(Cmd(0x628)), 0u);

    Set(Cmd(0x60C), 3u << 24);  // S800
    EXPECT_FALSE(cam.Stream().transmitting);
    Set(Cmd(0x60C), 5u << 28 | 1u << 24);
    EXPECT_EQ(cam.Stream().channel, 5u);
    EXPECT_EQ(cam.Stream().speedCode, 2u);
    EXPECT_EQ(Get(Cmd(0x60C)), 0x5100'0000u);
    Set(Cmd(0x610), 0);  // powered down
    EXPECT_FALSE(cam.Stream().transmitting);
}

TEST_F(CameraModelTest, FeatureRegistersKeepWritesWithPresenceSet) {
    Set(Cmd(0x800), 0x0200'0040);
    EXPECT_EQ(Get(Cmd(0x800)), 0x8200'0040u);
    Set(Cmd(0x80C), 0x8200'0000 + 0x30 * 0x1000 + 0xC0);  // white balance B 0x30, R 0xC0
    EXPECT_EQ(Get(Cmd(0x80C)), 0x8203'00C0u);
    Set(Cmd(0x830), 0x8200'0001);  // trigger MODE1
    EXPECT_EQ(Get(Cmd(0x830)), 0x8200'0001u);
    Set(Cmd(0x81C), 0x8300'0000);  // shutter AUTO
    EXPECT_EQ(Get(Cmd(0x81C)), 0x8300'0000u);
    Set(Cmd(0x88C), 0x8200'0003);
    EXPECT_EQ(Get(Cmd(0x88C)), 0x8200'0003u);

    // One-push completes at once: the bit reads back clear with the values it found.
    Set(Cmd(0x80C), 0x8600'0000);
    EXPECT_EQ(Get(Cmd(0x80C)), 0x8208'0080u);
}

// Every vendor register the four parameter dialogs read and write.
std::vector<std::uint32_t> DialogVendorOffsets() {
    std::vector<std::uint32_t> offsets{0x18, 0x20, 0x60, 0x64, 0x68, 0x70, 0x74, 0x78, 0x98,
                                       0xA0, 0xB0, 0xB4, 0xB8, 0xBC, 0xC0, 0xC4, 0xC8, 0xCC,
                                       0xD0, 0xD4, 0xDC, 0xE0, 0xE4, 0xE8, 0xF0};
    for (std::uint32_t o = 0x24; o <= 0x50; o += 4) offsets.push_back(o);
    for (std::uint32_t o = 0x7C; o <= 0x88; o += 4) offsets.push_back(o);
    return offsets;
}

TEST_F(CameraModelTest, VendorRegistersOfTheDialogsKeepWrites) {
    ASSERT_EQ(Get(Cmd(0x480)), 0x3C'4000u);
    const std::vector<std::uint32_t> offsets = DialogVendorOffsets();
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(Get(Vendor(offsets[i])) & kOn, kOn) << std::hex << offsets[i];
        Set(Vendor(offsets[i]), 0x8200'0000 | std::uint32_t(0x1000 * i + i));
    }
    for (std::size_t i = 0; i < offsets.size(); ++i)
        EXPECT_EQ(Get(Vendor(offsets[i])), 0x8200'0000 | std::uint32_t(0x1000 * i + i))
            << std::hex << offsets[i];

    Set(Vendor(0x7C), 0x8205'B003);  // a gate line's read-modify-write
    EXPECT_EQ(Get(Vendor(0x7C)), 0x8205'B003u);
    Set(Vendor(0x60), 0x8600'0002);  // shading ADJUST keeps its mode
    EXPECT_EQ(Get(Vendor(0x60)), 0x8200'0002u);
    Set(Vendor(0x64), 0x8600'0000);  // black balance one-push finds the neutral values
    EXPECT_EQ(Get(Vendor(0x64)), 0x8208'0080u);
}

TEST_F(CameraModelTest, InitializeRestoresFactoryPictureSettingsOnly) {
    std::vector<std::uint64_t> addresses;
    for (unsigned f = 0; f < 17; ++f) addresses.push_back(Cmd(FeatureOffset(f)));
    for (const std::uint32_t offset : DialogVendorOffsets()) addresses.push_back(Vendor(offset));
    std::vector<std::uint32_t> factory;
    for (const std::uint64_t a : addresses) factory.push_back(Get(a));
    for (const std::uint64_t a : addresses) Set(a, 0x8200'0123);
    Set(Cmd(0x624), 2u << 28);
    SetMode(1, 4, 1);
    Set(Cmd(0x60C), 0x3000'0000);
    Set(Cmd(0x614), kOn);

    Set(Cmd(0x000), kOn);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        EXPECT_EQ(Get(addresses[i]), factory[i]) << std::hex << addresses[i];
    EXPECT_EQ(Get(Cmd(0x624)), 0u) << "factory channel in use";
    EXPECT_EQ(Get(Cmd(0x000)), 0u);
    // What a running capture depends on stays.
    EXPECT_EQ(Get(Cmd(0x604)), 4u << 29);
    EXPECT_EQ(Get(Cmd(0x60C)), 0x3000'0000u);
    EXPECT_TRUE(cam.Stream().transmitting);
}

TEST_F(CameraModelTest, MemoryChannelsSaveAndLoadSettings) {
    const std::uint32_t factory = Get(Cmd(0x800));
    Set(Cmd(0x800), 0x8200'0011);
    Set(Vendor(0xDC), 0x8200'0000);
    Set(Cmd(0x620), 1u << 28);
    Set(Cmd(0x618), kOn);
    EXPECT_EQ(Get(Cmd(0x618)), 0u);
    Set(Cmd(0x800), 0x8200'0022);
    Set(Cmd(0x620), 2u << 28);
    Set(Cmd(0x618), kOn);

    Set(Cmd(0x624), 1u << 28);
    EXPECT_EQ(Get(Cmd(0x800)), 0x8200'0011u);
    EXPECT_EQ(Get(Vendor(0xDC)), 0x8200'0000u);
    EXPECT_EQ(Get(Cmd(0x624)), 1u << 28);
    Set(Cmd(0x624), 2u << 28);
    EXPECT_EQ(Get(Cmd(0x800)), 0x8200'0022u);
    Set(Cmd(0x624), 0);
    EXPECT_EQ(Get(Cmd(0x800)), factory);

    // Factory settings cannot be overwritten, nor a channel the camera lacks chosen.
    EXPECT_EQ(cam.Write(Cmd(0x620), 0), Access::ReadOnly);
    EXPECT_EQ(cam.Write(Cmd(0x620), 3u << 28), Access::ReadOnly);
    EXPECT_EQ(cam.Write(Cmd(0x624), 3u << 28), Access::ReadOnly);
    EXPECT_EQ(Get(Cmd(0x620)), 2u << 28);
}

TEST_F(CameraModelTest, Format7FullSensorRgbGivesPacketValuesTheClientReads) {
    EXPECT_EQ(Get(F7(0x00)), 0x0550'0400u);  // 1360 x 1024
    EXPECT_EQ(Get(F7(0x04)), 0x0008'0002u);
    EXPECT_EQ(Get(F7(0x14)), 0xA800'0000u);  // mono 8, YUV 4:2:2, RGB 8
    SetFormat7(4, 0, 0x0550'0400);
    EXPECT_EQ(Get(F7(0x10)), 4u << 24);
    EXPECT_EQ(Get(F7(0x3C)), 1360u * 1024 * 3);
    EXPECT_EQ(Get(F7(0x40)), 0x0004'1000u);  // unit 4, max 4096 at S400
    EXPECT_EQ(Get(F7(0x44)), 0x1000'1000u);
    EXPECT_EQ(Get(F7(0x48)), 1020u);

    const auto s = cam.Stream();
    EXPECT_EQ(s.bytesPerPacket, 4096u);
    EXPECT_EQ(s.packetsPerFrame, 1020u);
    EXPECT_EQ(s.frameBytes, 4177920u);
    EXPECT_EQ(s.cyclesPerFrame, 1020u);  // one packet per cycle
    EXPECT_EQ(s.FrameStartCycle(2), 2040u);
    EXPECT_EQ(s.colorCoding, 4u);
}

TEST_F(CameraModelTest, Format7WindowAndPacketSettingsAreChecked) {
    SetFormat7(0, 8u << 16 | 2, 640u << 16 | 480);
    Set(F7(0x44), 1000u << 16);
    EXPECT_EQ(Get(F7(0x44)) >> 16, 1000u);
    EXPECT_EQ(Get(F7(0x48)), 308u) << "307.2 packets round up";
    EXPECT_EQ(cam.Stream().packetsPerFrame, 308u);
    EXPECT_EQ(cam.Stream().frameBytes, 307200u);

    struct Bad {
        std::uint32_t offset, value;
    };
    for (const Bad& bad : {Bad{0x08, 3u << 16}, Bad{0x08, 1u}, Bad{0x08, 728u << 16},
                           Bad{0x0C, 1360u << 16 | 1024}, Bad{0x0C, 0}, Bad{0x10, 1u << 24},
                           Bad{0x44, 1002u << 16}, Bad{0x44, 4100u << 16}, Bad{0x44, 0}}) {
        const std::uint32_t before = Get(F7(bad.offset));
        Set(F7(bad.offset), bad.value);
        EXPECT_EQ(cam.Stream().frameBytes, 0u) << std::hex << bad.offset << " " << bad.value;
        EXPECT_EQ(Get(Cmd(0x628)), kOn);
        Set(F7(bad.offset), before);
        EXPECT_EQ(cam.Stream().frameBytes, 307200u);
    }

    // A slower bus lowers the largest packet, and the setting follows it down.
    Set(F7(0x44), 4096u << 16);
    Set(Cmd(0x60C), 1u << 24);
    EXPECT_EQ(Get(F7(0x40)) & 0xFFFF, 2048u);
    EXPECT_EQ(Get(F7(0x44)), 0x0800'0800u);
    EXPECT_EQ(cam.Stream().bytesPerPacket, 2048u);
    EXPECT_EQ(cam.Stream().speedCode, 2u);
}

TEST_F(CameraModelTest, ShotsCountDownOnePerRenderedFrame) {
    SetMode(0, 5, 2);  // 640 x 480 mono 8
    std::vector<std::uint8_t> frame(cam.Stream().frameBytes);
    EXPECT_FALSE(cam.Stream().transmitting);

    Set(Cmd(0x61C), kOn);
    EXPECT_TRUE(cam.Stream().transmitting);
    cam.RenderFrame(frame, 0);
    EXPECT_FALSE(cam.Stream().transmitting);
    EXPECT_EQ(Get(Cmd(0x61C)), 0u);

    Set(Cmd(0x61C), 0x4000'0003);
    for (std::uint32_t left = 3; left > 0; --left) {
        EXPECT_EQ(Get(Cmd(0x61C)), 0x4000'0000 | left);
        EXPECT_TRUE(cam.Stream().transmitting);
        cam.RenderFrame(frame, left);
    }
    EXPECT_FALSE(cam.Stream().transmitting);
    EXPECT_EQ(Get(Cmd(0x61C)), 0u);

    // Continuous transmission replaces shots and ignores new ones.
    Set(Cmd(0x61C), 0x4000'0005);
    Set(Cmd(0x614), kOn);
    EXPECT_EQ(Get(Cmd(0x61C)), 0u);
    Set(Cmd(0x61C), kOn);
    EXPECT_EQ(Get(Cmd(0x61C)), 0u);
    for (int i = 0; i < 3; ++i) cam.RenderFrame(frame, i);
    EXPECT_TRUE(cam.Stream().transmitting);
    Set(Cmd(0x614), 0);
    EXPECT_FALSE(cam.Stream().transmitting);
}

}  // namespace
