// The five transfer settings: defaults, out-of-range values, the Setting menus, writing at exit.
#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

struct Values {
    int busSpeed, bufferRate, streamMode, accessUnit, syncSY;
    bool operator==(const Values&) const = default;
};

Values Stored() {
    QSettings settings = PrivateSettings::Open();
    settings.beginGroup("Setting");
    auto get = [&](const char* name) { return settings.value(name, -100).toInt(); };
    return {get("BusSpeed"), get("BufferRate"), get("StreamMode"), get("AccessUnit"),
            get("SyncSY")};
}

Values InView(const CCameraView& v) {
    return {v.m_nBusSpeed, v.m_nBufferRate, v.m_nStreamMode, v.m_nAccessUnit, v.m_nSyncSY};
}

class SettingsTest : public ViewerTest {
protected:
    void SetUp() override { ASSERT_TRUE(m_bus.IsRunning()); }
};

TEST_F(SettingsTest, FirstRunGivesTheDefaultsAndWritesAllFiveAtExit) {
    MakeFrame();
    EXPECT_EQ(InView(View()), (Values{2, 4, 0, 0, 1}));
    m_frame.reset();
    EXPECT_EQ(Stored(), (Values{2, 4, 0, 0, 1}));
}

TEST_F(SettingsTest, OutOfRangeValuesGiveTheDefaultNotTheNearestBound) {
    {
        QSettings settings = PrivateSettings::Open();
        settings.beginGroup("Setting");
        settings.setValue("BusSpeed", -1);
        settings.setValue("BufferRate", 9);
        settings.setValue("StreamMode", 1);
        settings.setValue("AccessUnit", 6);
        settings.setValue("SyncSY", "junk");
    }
    MakeFrame();
    EXPECT_EQ(InView(View()), (Values{2, 4, 1, 0, 1}));
}

TEST_F(SettingsTest, MenusSetAndCheckTheValueAndAreGreyWhileConnected) {
    MakeFrame();
    for (int id : {cmd::kSpeedFirst + 1, cmd::kBufferFirst + 2, cmd::kAccessFirst + 5,
                   cmd::kStreamFirst + 1, cmd::kSyncFirst})
        m_frame->Action(id)->trigger();
    EXPECT_EQ(InView(View()), (Values{1, 2, 1, 5, 0}));
    EXPECT_TRUE(m_frame->Action(cmd::kSpeedFirst + 1)->isChecked());
    EXPECT_FALSE(m_frame->Action(cmd::kSpeedLast)->isChecked());
    EXPECT_TRUE(m_frame->Action(cmd::kAccessFirst + 5)->isChecked());

    ASSERT_TRUE(Connect());
    m_frame->UpdateCommands();
    for (auto [first, last] : {std::pair{cmd::kSpeedFirst, cmd::kSpeedLast},
                               {cmd::kBufferFirst, cmd::kBufferLast},
                               {cmd::kAccessFirst, cmd::kAccessLast},
                               {cmd::kStreamFirst, cmd::kStreamLast},
                               {cmd::kSyncFirst, cmd::kSyncLast}}) {
        for (int id = first; id <= last; ++id) EXPECT_FALSE(m_frame->Action(id)->isEnabled()) << id;
    }
    // A disabled setting command changes nothing, whatever way it comes.
    EXPECT_FALSE(View().RunCommand(cmd::kSpeedLast));
    EXPECT_EQ(View().m_nBusSpeed, 1);
    m_frame.reset();
    EXPECT_EQ(Stored(), (Values{1, 2, 1, 5, 0}));
}

TEST_F(SettingsTest, RawAviFourCCIsAnExclusiveChoiceKeptBetweenRuns) {
    {
        QSettings settings = PrivateSettings::Open();
        settings.beginGroup("Setting");
        settings.setValue("RawAviFourCC", 2);  // out of range: the camera's
    }
    MakeFrame();
    m_frame->UpdateCommands();
    QAction* camera = m_frame->Action(cmd::kFourCCFirst);
    QAction* standard = m_frame->Action(cmd::kFourCCLast);
    EXPECT_EQ(camera->text() + " | " + standard->text(), "Camera [Default] | Standard");
    EXPECT_FALSE(standard->statusTip().isEmpty());
    EXPECT_TRUE(camera->isChecked());
    standard->trigger();
    EXPECT_TRUE(standard->isChecked());
    EXPECT_FALSE(camera->isChecked());
    m_frame.reset();
    QSettings settings = PrivateSettings::Open();
    EXPECT_EQ(settings.value("Setting/RawAviFourCC").toInt(), 1);
}

}  // namespace
}  // namespace viewertest
