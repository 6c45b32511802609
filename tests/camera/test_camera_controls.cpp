// The feature, trigger and memory-channel classes against kestrix-busd: values in real units
// through the absolute registers, frames on trigger only and one per software trigger, and a
// memory channel that gives back every feature.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "camera/CameraTrigger.h"
#include "camera/FeatureAccess.h"
#include "camera/MemoryChannels.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;
using namespace std::chrono_literals;

constexpr int kVgaMono8 = 5;  // Format 0 mode 5
constexpr int kRate15 = 3;
constexpr DWORD kManual = 0x8200'0000;

class CameraControls : public CameraTest {
protected:
    CameraControls() : CameraTest(1, RateScale(4)) {}

    // Frames stored stay at count while a dozen frame periods go by.
    void ExpectNoMoreFrames(const CDcamCaptureThread& thread, std::uint64_t count) {
        std::this_thread::sleep_for(kSanitized ? 800ms : 200ms);
        EXPECT_EQ(thread.GetStats().stored, count);
    }

    FeatureAccess m_features{m_cam, 0};
};

TEST_F(CameraControls, RawAndAbsoluteValuesMeetInTheCamera) {
    struct Case {
        int feature;
        DWORD raw;
        float units;
        const char* unit;
    };
    for (const Case& c :
         {Case{0, 255, 100.0f, "%"}, Case{3, 128 << 12 | 128, 6500.0f, "K"},
          Case{7, 2048, 1 / 30.0f, "s"}, Case{8, 64, 6.0206f, "dB"}, Case{11, 128, 285.15f, "K"}}) {
        SCOPED_TRACE(c.feature);
        FeatureAccess::Offer offer;
        ASSERT_TRUE(m_features.Inquire(c.feature, offer));
        EXPECT_TRUE(offer.absolute);
        EXPECT_STREQ(offer.unit, c.unit);
        EXPECT_LT(offer.absoluteMin, offer.absoluteMax);
        ASSERT_TRUE(m_features.WriteControl(c.feature, kManual | c.raw));
        FeatureAccess::State state;
        ASSERT_TRUE(m_features.Read(c.feature, state));
        ASSERT_TRUE(state.absolute);
        EXPECT_NEAR(*state.absolute, c.units, c.units * 1e-4);
        // And back: the units written land on the raw value they came from.
        ASSERT_TRUE(m_features.WriteControl(c.feature, kManual));
        ASSERT_TRUE(m_features.WriteAbsolute(c.feature, *state.absolute));
        ASSERT_TRUE(m_features.Read(c.feature, state));
        EXPECT_EQ(state.control, kManual | 0x4000'0000 | c.raw);
    }
    FeatureAccess::State rate;
    ASSERT_TRUE(m_cam.SetVideoMode(0, kVgaMono8, kRate15, false));
    ASSERT_TRUE(m_features.Read(FeatureAccess::kFeatureCount - 1, rate));
    EXPECT_EQ(rate.value, 120u);
    EXPECT_EQ(rate.absolute, 15.0f);
    FeatureAccess::Offer hue;
    ASSERT_TRUE(m_features.Inquire(4, hue));
    EXPECT_FALSE(hue.absolute);
    EXPECT_FALSE(m_features.WriteAbsolute(4, 1.0f)) << "no absolute block to write";
}

TEST_F(CameraControls, OnTriggerEachSoftwareTriggerBringsItsFrames) {
    CDcamCaptureThread* thread = Start(kVgaMono8, kRate15, 16);
    ASSERT_NE(thread, nullptr);
    CameraTrigger trigger(m_cam, 0);
    CameraTrigger::Offer offer;
    ASSERT_TRUE(trigger.Inquire(offer));
    EXPECT_TRUE(offer.HasMode(0) && offer.HasMode(1) && offer.HasMode(14) && offer.software);
    ASSERT_TRUE(trigger.Write({true, 0, CameraTrigger::kSoftwareSource, false, 0}));
    EXPECT_TRUE(m_cam.IsTriggerOn(0));
    ASSERT_TRUE(m_cam.StartTransmission(0, 0));
    ExpectNoMoreFrames(*thread, 0);

    for (std::uint64_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(trigger.Fire());
        ASSERT_TRUE(WaitForStored(*thread, n));
    }
    ExpectNoMoreFrames(*thread, 3);
    // Mode 14: one trigger, a burst of the parameter's count.
    ASSERT_TRUE(trigger.Write({true, 14, CameraTrigger::kSoftwareSource, false, 4}));
    ASSERT_TRUE(trigger.Fire());
    ASSERT_TRUE(WaitForStored(*thread, 7));
    ExpectNoMoreFrames(*thread, 7);
    ExpectEveryFrameInOrder(*thread, 7);

    ASSERT_TRUE(trigger.Write({}));
    EXPECT_FALSE(m_cam.IsTriggerOn(0));
    EXPECT_TRUE(WaitForStored(*thread, 9)) << "free-running again";
    m_cam.StopTransmission(0);
}

TEST_F(CameraControls, AMemoryChannelGivesBackEveryFeature) {
    MemoryChannels channels(m_cam, 0);
    ASSERT_EQ(channels.Count(), 2);
    // A value of its own for every feature that can be set by hand, shutter in units.
    for (int feature = 0; feature < FeatureAccess::kFeatureCount; ++feature) {
        FeatureAccess::Offer offer;
        ASSERT_TRUE(m_features.Inquire(feature, offer));
        if (!offer.present || !offer.manual || feature == 12) continue;
        const DWORD value = offer.rawMin + 1 + DWORD(feature) % 3;
        ASSERT_TRUE(
            m_features.WriteControl(feature, kManual | value << 12 * (feature == 3) | value));
    }
    ASSERT_TRUE(m_features.WriteAbsolute(7, 0.010f));
    ASSERT_TRUE(CameraTrigger(m_cam, 0).Write({true, 1, 0, true, 5}));
    const auto readAll = [&] {
        std::map<int, DWORD> values;
        for (int feature = 0; feature < FeatureAccess::kFeatureCount; ++feature) {
            FeatureAccess::State state;
            EXPECT_TRUE(m_features.Read(feature, state));
            values[feature] = state.control;
        }
        return values;
    };
    const auto saved = readAll();
    ASSERT_TRUE(channels.Save(2));

    const DWORD initialize = 0x8000'0000;
    ASSERT_TRUE(m_cam.WriteRegister(0, 0x000, &initialize));
    EXPECT_EQ(channels.Current(), 0);
    EXPECT_NE(readAll(), saved);
    ASSERT_TRUE(channels.Load(2));
    EXPECT_EQ(channels.Current(), 2);
    EXPECT_EQ(readAll(), saved);
    EXPECT_FALSE(channels.Save(0)) << "the factory channel is read-only";
}

}  // namespace
