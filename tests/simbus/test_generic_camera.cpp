// The generic camera: only the standard registers, its own modes, features and name.
#include <string>

#include "tests/simbus/CameraModelFixture.h"

namespace simbus::test {
namespace {

class GenericCamera : public CameraModelFixture {
protected:
    GenericCamera() : CameraModelFixture(CameraModel::Kind::Generic) {}
};

TEST(CameraKind, NamesParse) {
    EXPECT_EQ(CameraModel::KindNamed("generic"), CameraModel::Kind::Generic);
    EXPECT_EQ(CameraModel::KindNamed("kx1360"), CameraModel::Kind::Kx1360);
    EXPECT_FALSE(CameraModel::KindNamed("Generic"));
}

TEST_F(GenericCamera, MakersRegistersAnswerAddressErrors) {
    std::uint32_t value = 0;
    EXPECT_EQ(cam.Read(Cmd(0x480), value), Access::Unmapped);
    EXPECT_EQ(cam.Read(kCsrBase + 0xF0F1'0000, value), Access::Unmapped);  // the maker's block
    EXPECT_EQ(cam.Write(kCsrBase + 0xF0F1'0000, 1), Access::Unmapped);
    EXPECT_EQ(Get(Cmd(0x400)) & kOn, 0u) << "no advanced features";
}

TEST_F(GenericCamera, RomNamesAnotherVendor) {
    const auto& rom = cam.Rom();
    EXPECT_NE(platform::LoadBE32(&rom.busInfo[12]) >> 8, 0x02CA3Eu);
    const std::string vendor(rom.vendorLeaf.begin() + 8, rom.vendorLeaf.end());
    EXPECT_EQ(vendor.substr(0, 12), "Generic IIDC");
}

TEST_F(GenericCamera, ListsFewerModesAndSendsOnlyThose) {
    EXPECT_EQ(Get(Cmd(0x100)), 0x8100'0000u) << "Formats 0 and 7";
    EXPECT_EQ(Get(Cmd(0x180)), 0x5C00'0000u) << "Format 0 modes 1, 3, 4, 5";
    EXPECT_EQ(Get(Cmd(0x184)), 0u);
    EXPECT_EQ(Get(Cmd(0x200)), 0u) << "no rates for mode 0";
    EXPECT_NE(Get(Cmd(0x20C)), 0u);

    SetMode(0, 5, 4);
    Set(Cmd(0x614), kOn);
    EXPECT_TRUE(cam.Stream().transmitting);
    EXPECT_EQ(Get(Cmd(0x628)), 0u);
    SetMode(0, 0, 2);  // the full model has it; this camera does not
    EXPECT_FALSE(cam.Stream().transmitting);
    EXPECT_EQ(Get(Cmd(0x628)), kOn);
}

TEST_F(GenericCamera, AbsentFeaturesReadZeroAndKeepNothing) {
    EXPECT_EQ(Get(Cmd(0x404)), 0xD180'0000u) << "brightness, exposure, white balance, shutter, gain";
    EXPECT_EQ(Get(Cmd(0x408)), 0u);
    EXPECT_NE(Get(Cmd(0x500)) & kOn, 0u) << "brightness present";
    EXPECT_EQ(Get(Cmd(0x508)), 0u) << "sharpness absent";
    Set(Cmd(0x808), 0x8200'0010);
    EXPECT_EQ(Get(Cmd(0x808)), 0u);
    Set(Cmd(0x800), 0x8200'0010);
    EXPECT_EQ(Get(Cmd(0x800)) & 0xFFF, 0x10u);
}

}  // namespace
}  // namespace simbus::test
