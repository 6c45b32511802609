// The camera session and the display pipeline on their own, with no widget: what a second
// display or a front end other than the view builds on.
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/CameraSession.h"
#include "app/DisplayPipeline.h"
#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        ASSERT_TRUE(m_session.Open());
        ASSERT_TRUE(WaitFor([&] { return m_session.CameraCount() == 1; }));
        // A ring of 20 640 x 480 RGB frames at the default buffer rate (half the memory).
        const auto memory = std::uint32_t(640 * 480 * 3 * 41);
        m_session.Camera().SetMemoryProbe([memory] { return memory; });
    }
    bool Connect() {
        QString failure;
        const bool ok = m_session.Connect(CVideoSettingDlg::ChoiceFor(0, 0, 3), failure) &&
                        m_session.StartCapture();
        EXPECT_TRUE(failure.isEmpty()) << failure.toStdString();
        return ok;
    }

    PrivateSettings m_settings;
    testsupport::SimulatedBus m_bus;
    CameraSession m_session;
};

TEST_F(SessionTest, PipelineShowsStreamedPicturesWithoutAWidget) {
    ASSERT_TRUE(Connect());
    EXPECT_EQ(m_session.Now().m_nBufferCount, 20);
    EXPECT_EQ(m_session.FrameBytes(), 640u * 480u * 3u);
    DisplayPipeline pipeline;
    QSignalSpy shown(&pipeline, &DisplayPipeline::FrameShown);
    pipeline.Start(m_session.Stream(), m_session.Camera().GetConverter(),
                   m_session.Now().m_nColorCoding, 640, 480, m_session.FrameBytes());
    m_session.StartTransmission();
    ASSERT_TRUE(WaitFor([&] { return shown.count() >= 3; }));
    m_session.StopTransmission();
    // Only the connection's first picture is marked first.
    EXPECT_TRUE(shown.at(0).at(0).toBool());
    EXPECT_FALSE(shown.at(1).at(0).toBool());
    EXPECT_FALSE(shown.at(2).at(0).toBool());
    EXPECT_EQ(pipeline.Front().size(), QSize(640, 480));
    EXPECT_GE(pipeline.CurrentIndex(), 0);
    EXPECT_LT(pipeline.CurrentIndex(), 20);
    pipeline.Free();
    m_session.End();
}

TEST_F(SessionTest, BusResetWhileConnectedIsReportedAsALoss) {
    QSignalSpy lost(&m_session, &CameraSession::ConnectionLost);
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(m_bus.Busctl({"bus-reset"}).Ok());
    ASSERT_TRUE(WaitFor([&] { return lost.count() > 0; }));
    EXPECT_EQ(lost.at(0).at(0).value<CameraSession::Loss>(), CameraSession::Loss::BusReset);
    m_session.End();
    EXPECT_FALSE(m_session.Now().m_bConnected);
}

}  // namespace
}  // namespace viewertest
