// The simulated camera's absolute values, trigger and automatic exposure, as a client reaches
// them through the registers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "simbus/CameraModel.h"
#include "tests/simbus/CameraModelFixture.h"

namespace {

using simbus::test::kOn;
using Access = simbus::CameraModel::Access;

constexpr std::uint32_t kManual = 0x8200'0000;
constexpr std::uint32_t kAbsolute = 0x4000'0000;

class CameraControlsTest : public simbus::test::CameraModelFixture {
protected:
    // A field (0 min, 4 max, 8 value) of the absolute block that ABS_CSR names for the
    // feature whose control register is at control.
    std::uint64_t Abs(std::uint32_t control, std::uint32_t field) const {
        return Block(control - 0x100, field);
    }
    float Units(std::uint32_t control, std::uint32_t field = 8) const {
        return std::bit_cast<float>(Get(Abs(control, field)));
    }
    Access SetUnits(std::uint32_t control, float units) {
        return cam.Write(Abs(control, 8), std::bit_cast<std::uint32_t>(units));
    }
    bool Sends() const { return cam.Stream().transmitting; }
    void Render(unsigned frames = 1) {
        std::vector<std::uint8_t> frame(cam.Stream().frameBytes);
        for (unsigned i = 0; i < frames; ++i) cam.RenderFrame(frame, i);
    }
    // Mean level of a mono 8 frame, the counter stamp left out.
    double Level() {
        std::vector<std::uint8_t> frame(cam.Stream().frameBytes);
        cam.RenderFrame(frame, 0);
        double sum = 0;
        for (std::size_t i = 4; i < frame.size(); ++i) sum += frame[i];
        return sum / double(frame.size() - 4);
    }
};

TEST_F(CameraControlsTest, AbsoluteValuesAgreeWithTheRawOnesBothWays) {
    SetMode(0, 5, 3);  // 640 x 480 mono 8 at 15 fps
    struct Case {
        std::uint32_t control;
        std::uint32_t raw;  // written by hand ...
        double units;       // ... reads as this
        float min, max;
    };
    const Case cases[] = {
        {0x800, 255, 100.0, 0.0f, 100.0f},                               // brightness, %
        {0x80C, 128 << 12 | 128, 6500.0, 2800.0f, 10000.0f},             // white balance, K
        {0x81C, 2048, 1 / 30.0, float(std::pow(0.99, 807) / 30), 4.0f},  // shutter, s
        {0x81C, 2033, 1.0, float(std::pow(0.99, 807) / 30), 4.0f},
        {0x820, 64, 6.0206, 0.0f, float(20 * std::log10(4.0))},  // gain, dB
        {0x82C, 128, 285.15, 253.15f, 316.9f},                   // temperature, K
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.control) + " raw " + std::to_string(c.raw));
        EXPECT_EQ(Get(Cmd(c.control - 0x300)) & kAbsolute, kAbsolute) << "offered in the inquiry";
        Set(Cmd(c.control), kManual | c.raw);
        EXPECT_NEAR(Units(c.control), c.units, std::abs(c.units) * 1e-4);
        EXPECT_FLOAT_EQ(Units(c.control, 0), c.min);
        EXPECT_FLOAT_EQ(Units(c.control, 4), c.max);
        // Writing the units back in absolute control lands on the same raw value.
        Set(Cmd(c.control), kManual | kAbsolute | c.raw);
        ASSERT_EQ(SetUnits(c.control, Units(c.control)), Access::Ok);
        EXPECT_EQ(Get(Cmd(c.control)), kManual | kAbsolute | c.raw);
    }
    // Units in between take the nearest raw value: 10 ms, 6 dB, 3200 K.
    ASSERT_EQ(SetUnits(0x81C, 0.010f), Access::Ok);
    EXPECT_EQ(Get(Cmd(0x81C)) & 0xFFF, 2168u);
    Set(Cmd(0x820), kManual | kAbsolute);
    ASSERT_EQ(SetUnits(0x820, 6.0f), Access::Ok);
    EXPECT_EQ(Get(Cmd(0x820)) & 0xFFF, 64u);
    Set(Cmd(0x80C), kManual | kAbsolute);
    ASSERT_EQ(SetUnits(0x80C, 3200.0f), Access::Ok);
    EXPECT_EQ(Get(Cmd(0x80C)) & 0xFF'FFFF, 170u << 12 | 96u) << "less red, more blue";
    EXPECT_NEAR(Units(0x80C), 3200, 40);

    // Frame rate reads the programmed mode's, raw in eighths.
    EXPECT_EQ(Get(Cmd(0x404)) & 0x0001'0000, 0x0001'0000u);
    EXPECT_FLOAT_EQ(Units(0x83C), 15.0f);
    EXPECT_EQ(Get(Cmd(0x83C)), 0x8200'0000u | 120);
    SetMode(0, 5, 5);
    EXPECT_FLOAT_EQ(Units(0x83C), 60.0f);

    // Refused: units out of range, a value outside absolute control, the read-only fields.
    EXPECT_EQ(SetUnits(0x81C, 10.0f), Access::ReadOnly);
    EXPECT_EQ(SetUnits(0x81C, std::nanf("")), Access::ReadOnly);
    Set(Cmd(0x800), kManual | 10);
    EXPECT_EQ(SetUnits(0x800, 50.0f), Access::ReadOnly);
    EXPECT_EQ(cam.Write(Abs(0x81C, 0), 0), Access::ReadOnly);
    EXPECT_EQ(SetUnits(0x83C, 30.0f), Access::ReadOnly);
    EXPECT_EQ(Get(Cmd(0x704)), 0u) << "auto exposure has no absolute block";
}

TEST_F(CameraControlsTest, OnTriggerTheCameraSendsOneFramePerTrigger) {
    SetMode(0, 5, 3);
    Set(Cmd(0x614), kOn);
    ASSERT_TRUE(Sends());
    const std::uint32_t software = 7u << 21;
    Set(Cmd(0x830), kManual | software);  // mode 0 from the software trigger
    EXPECT_FALSE(Sends()) << "no free-running frames";

    Set(Cmd(0x62C), kOn);
    EXPECT_TRUE(Sends());
    EXPECT_EQ(Get(Cmd(0x62C)), kOn) << "busy until the frame is out";
    Set(Cmd(0x62C), kOn);  // ignored while busy
    Render();
    EXPECT_FALSE(Sends());
    EXPECT_EQ(Get(Cmd(0x62C)), 0u);

    // Mode 1 exposes while the trigger is held; mode 14 sends a burst of the parameter.
    Set(Cmd(0x830), kManual | software | 1u << 16);
    Set(Cmd(0x62C), kOn);
    EXPECT_FALSE(Sends());
    Set(Cmd(0x62C), 0);
    EXPECT_TRUE(Sends());
    Render();
    Set(Cmd(0x830), kManual | software | 14u << 16 | 3);
    Set(Cmd(0x62C), kOn);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(Sends()) << i;
        Render();
    }
    EXPECT_FALSE(Sends());

    // The external input counts only when selected (source 0), and only while transmitting.
    EXPECT_NE(cam.ExternalTrigger(), "");
    Set(Cmd(0x830), kManual);
    EXPECT_EQ(cam.ExternalTrigger(), "");
    EXPECT_TRUE(Sends());
    Set(Cmd(0x614), 0);
    EXPECT_FALSE(Sends()) << "stopping drops what the trigger released";
    EXPECT_NE(cam.ExternalTrigger(), "");

    Set(Cmd(0x614), kOn);
    Set(Cmd(0x830), 0x8000'0000);  // trigger off: free-running again
    EXPECT_TRUE(Sends());
}

TEST_F(CameraControlsTest, AutomaticShutterAndGainBringThePictureToMidGrey) {
    SetMode(0, 5, 3);
    // From far too dark and from far too bright.
    for (const auto& [shutter, gain] : {std::pair{2700u, 0u}, std::pair{1990u, 192u}}) {
        Set(Cmd(0x81C), kManual | shutter);
        Set(Cmd(0x820), kManual | gain);
        const double start = Level();
        EXPECT_TRUE(start < 40 || start > 220) << start;
        Set(Cmd(0x81C), 0x8300'0000 | shutter);
        Set(Cmd(0x820), 0x8300'0000 | gain);
        Render(8);
        EXPECT_NEAR(Level(), 128, 16) << "from shutter " << shutter;
        const std::uint32_t s = Get(Cmd(0x81C)) & 0xFFF, g = Get(Cmd(0x820)) & 0xFFF;
        EXPECT_TRUE(s > 1988 && s < 2855) << s;
        EXPECT_LT(g, 192u);
        EXPECT_EQ(Get(Cmd(0x81C)) & 0x0100'0000, 0x0100'0000u) << "still automatic";
    }
}

}  // namespace
