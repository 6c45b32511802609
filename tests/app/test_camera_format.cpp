// Camera > Format...: every mode the camera lists connects and shows a picture of its size, the
// dialog lists the cameras and keeps a Format 7 region on the camera's grid for the camera it
// was chosen for, a format the bus cannot carry is refused with the reason, and Connect on
// another maker's camera asks for one of its own modes.
#include <QComboBox>
#include <QLabel>
#include <QSpinBox>

#include "app/CCameraFormatDlg.h"
#include "app/CameraFormatChoice.h"
#include "app/RegionPreview.h"
#include "camera/IidcRegisters.h"
#include "camera/VideoModeTables.h"
#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

class CameraFormatTest : public ViewerTest {
protected:
    CameraFormatTest() : ViewerTest(2, 2.0) {}
    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        MakeFrame(2);
        // Rings of a few frames, whatever the machine's memory.
        View().Camera().SetMemoryProbe([] { return std::uint32_t{32} << 20; });
    }
    std::uint64_t Guid(int camera) { return View().Camera().GetCameraGuid(camera); }
    template <class Widget>
    Widget* Find(QWidget& dialog, const char* name) {
        auto* widget = dialog.findChild<Widget*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
};

// The fastest rate of a fixed mode; Format 7 a region off the corner at the largest packets.
CameraFormatChoice ChoiceFor(const CameraModes::Mode& mode) {
    CameraFormatChoice c;
    c.modeIndex = mode.modeIndex;
    c.coding = mode.colorCoding;
    if (mode.Format7()) {
        c.region = {16, 8, 800, 600};
        c.bytesPerPacket = 4096;
        return c;
    }
    for (int rate = 0; rate < camera::kRateCount; ++rate)
        if (mode.OffersRate(rate)) c.rateIndex = rate;
    c.region = {0, 0, mode.width, mode.height};
    return c;
}

TEST_F(CameraFormatTest, EveryModeTheCameraListsConnectsAndShowsAPictureOfItsSize) {
    const std::vector<CameraModes::Mode> modes = CameraModes::Read(View().Camera(), 0);
    ASSERT_GE(modes.size(), 18u);
    for (const CameraModes::Mode& mode : modes) {
        SCOPED_TRACE(mode.name);
        const CameraFormatChoice choice = ChoiceFor(mode);
        choice.Save(Guid(0));
        ASSERT_TRUE(View().RunCommand(cmd::kConnect));
        ASSERT_TRUE(View().m_bConnected)
            << (m_prompts->messages.empty() ? "" : m_prompts->messages.back().toStdString());
        EXPECT_EQ(m_frame->windowTitle(), "KestrixView [" + choice.Text() + "]");
        ASSERT_TRUE(StreamAndStop());
        EXPECT_EQ(View().Pipeline().Front().size(), QSize(choice.Width(), choice.Height()));
        View().RunCommand(cmd::kRelease);
    }
    EXPECT_EQ(m_prompts->videoDialogs, 0) << "a kept format stands in for VIDEO SETTING";
}

TEST_F(CameraFormatTest, DialogKeepsARegionOnTheGridForTheCameraChosen) {
    m_frame->UpdateCommands();
    QAction* format = m_frame->Action(cmd::kFormat);
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format->text(), "&Format...");
    EXPECT_TRUE(format->isEnabled());

    CCameraFormatDlg dialog(View().Camera(), 0, {}, m_frame.get());
    EXPECT_EQ(dialog.windowTitle(), "Camera Format");
    auto* cameras = Find<QComboBox>(dialog, "cameraList");
    ASSERT_EQ(cameras->count(), 2);
    EXPECT_TRUE(cameras->itemText(1).startsWith("1: Tarnwell KX-1360 (simulated) (GUID "));
    cameras->setCurrentIndex(1);
    auto* modes = Find<QComboBox>(dialog, "modeList");
    modes->setCurrentIndex(modes->findText("1360x1024-rgb (Format 7 mode 0)"));
    ASSERT_GE(modes->currentIndex(), 0);
    auto* width = Find<QSpinBox>(dialog, "width");
    width->setValue(1001);
    Find<QSpinBox>(dialog, "left")->setValue(1000);
    emit width->editingFinished();
    EXPECT_EQ(width->value(), 1000) << "the unit is 8";
    EXPECT_EQ(Find<QSpinBox>(dialog, "left")->value(), 360) << "moved back onto the sensor";
    // Dragged on the thumbnail (240 pixels for 1360) by 50 pixels to the left: 283 sensor
    // pixels, on the grid of 8.
    dialog.show();
    QWidget* preview = dialog.Preview();
    const QPoint grab = preview->rect().center();
    QTest::mousePress(preview, Qt::LeftButton, {}, grab);
    QTest::mouseMove(preview, grab - QPoint(50, 0));
    QTest::mouseRelease(preview, Qt::LeftButton, {}, grab - QPoint(50, 0));
    EXPECT_EQ(Find<QSpinBox>(dialog, "left")->value(), 72);
    Find<QSpinBox>(dialog, "left")->setValue(360);
    Find<QSpinBox>(dialog, "packetSize")->setValue(3000);
    // 1000 x 1024 x 3 bytes in packets of 3000: 1024 packets.
    EXPECT_EQ(Find<QLabel>(dialog, "packetInfo")->text(),
              "Recommended 4096 bytes; 1024 packets a frame, 7.81 fps");
    dialog.accept();

    const std::optional<CameraFormatChoice> kept = CameraFormatChoice::Load(Guid(1));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->region, (Format7Region{360, 0, 1000, 1024}));
    EXPECT_EQ(kept->bytesPerPacket, 3000);
    EXPECT_FALSE(CameraFormatChoice::Load(Guid(0))) << "only for the camera chosen";
    View().Session().SetCameraPick({dialog.Camera(), dialog.Guid()});
    ASSERT_TRUE(View().RunCommand(cmd::kConnect));
    EXPECT_EQ(View().m_nCamera, 1);
    EXPECT_EQ(View().Camera().GetWidth(1), 1000);
    EXPECT_EQ(View().Camera().GetBytesPerPacket(1), 3000);
    ASSERT_TRUE(StreamAndStop()) << "the picture comes from camera 1";
    EXPECT_EQ(View().Pipeline().Front().size(), QSize(1000, 1024));
}

TEST_F(CameraFormatTest, FormatTheBusCannotCarryIsRefusedWithTheReason) {
    // Camera 0 sends 640 x 480 RGB at 15 fps: 1920-byte packets, 2188 of the 4915 units.
    C1394Dcam& cam = View().Camera();
    ASSERT_TRUE(cam.SetVideoMode(0, 4, 3, false));
    const C1394Dcam::DWORD on = camera::iidc::kBit31;
    ASSERT_TRUE(cam.WriteRegister(0, camera::iidc::kIsoEnable, &on));
    CameraFormatChoice rgb30;
    rgb30.modeIndex = 4;
    rgb30.rateIndex = 4;
    rgb30.coding = 4;
    rgb30.region = {0, 0, 640, 480};
    rgb30.Save(Guid(1));
    const QString reason =
        "The bus cannot carry 640x480/rgb/30fps: the stream needs 4108 bandwidth units (83.6 %) "
        "at S400, the bus has 2727 left (55.5 %).";

    CCameraFormatDlg dialog(cam, 1, {}, m_frame.get());
    EXPECT_EQ(Find<QLabel>(dialog, "bandwidthProblem")->text(), reason);
    EXPECT_EQ(Find<QLabel>(dialog, "otherCameras")->text(),
              "Other cameras take 2188 units (44.5 %) a cycle: camera 0 2188 units.");
    CCameraFormatDlg sender(cam, 0, {}, m_frame.get());
    EXPECT_EQ(Find<QLabel>(sender, "otherCameras")->text(), "No other camera sends on the bus.");
    View().Session().SetCameraPick({1, 0});
    ASSERT_TRUE(View().RunCommand(cmd::kConnect));
    EXPECT_FALSE(View().m_bConnected);
    ASSERT_FALSE(m_prompts->messages.empty());
    EXPECT_EQ(m_prompts->messages.back(), reason);
}

// Camera Format as the tests answer it: the format given, kept for the camera shown.
class FormatPrompts : public ScriptedPrompts {
public:
    bool ChooseCameraFormat(QWidget*, C1394Dcam& cam, int& camera, const QImage&) override {
        ++formatDialogs;
        format.Save(cam.GetCameraGuid(camera));
        return true;
    }
    CameraFormatChoice format;
    int formatDialogs = 0;
};

class GenericCameraTest : public ViewerTest {
protected:
    GenericCameraTest() : ViewerTest(1, 1.0, {"--model", "generic"}) {}
    void SetUp() override {
        m_prompts = m_formatPrompts;
        ViewerTest::SetUp();
    }
    std::shared_ptr<FormatPrompts> m_formatPrompts = std::make_shared<FormatPrompts>();
};

TEST_F(GenericCameraTest, ConnectAsksForOneOfTheCamerasOwnModesInsteadOfVideoSetting) {
    m_formatPrompts->format.modeIndex = 5;  // 640 x 480 mono 8 at 30 fps
    m_formatPrompts->format.rateIndex = 4;
    ASSERT_TRUE(View().RunCommand(cmd::kConnect));
    EXPECT_TRUE(View().m_bConnected);
    EXPECT_EQ(m_formatPrompts->formatDialogs, 1);
    EXPECT_EQ(m_prompts->videoDialogs, 0);
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView [640x480/mono8/30fps]");
}

}  // namespace
}  // namespace viewertest
