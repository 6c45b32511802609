// Draws each parameter dialog beside the live picture of the camera on KESTRIX_BUS_DIR, before
// and after one change made through the dialog's own controls, into PNG files in a folder.
// Usage: dialog_screenshots FOLDER (under Xvfb or QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "camera/C1394Dcam.h"
#include "dialogs/CAeSharpnessDlg.h"
#include "dialogs/CMaskingDlg.h"
#include "dialogs/CMiscParamDlg.h"
#include "dialogs/CStandardFeatureDlg.h"

namespace {

constexpr int kMode = 3;  // 640 x 480 YUV 4:2:2
constexpr int kRate = 3;  // 15 fps
constexpr int kWidth = 640, kHeight = 480, kYuv422 = 2;

// The newest frame, converted and scaled to half size.
QPixmap Picture(C1394Dcam& cam) {
    cam.WaitForFrame(0, 2000);
    cam.WaitForFrame(0, 2000);  // a frame rendered after the change
    std::vector<std::uint8_t> frame(std::size_t(C1394Dcam::GetModeFrameBytes(kMode)));
    std::vector<std::uint8_t> bitmap(FrameConverter::BitmapBytes(kWidth, kHeight));
    if (cam.GetFrame(0, frame.data(), -1) < 0) return {};
    cam.ConvertToBitmap(kYuv422, bitmap.data(), frame.data(), kWidth, kHeight);
    const QImage image(bitmap.data(), kWidth, kHeight, FrameConverter::Stride(kWidth),
                       QImage::Format_BGR888);
    return QPixmap::fromImage(image.mirrored().scaled(kWidth / 2, kHeight / 2));
}

void Save(CParamDialog& dlg, C1394Dcam& cam, const QString& path) {
    QApplication::processEvents();
    const QPixmap dialog = dlg.grab();
    const QPixmap picture = Picture(cam);
    QPixmap shot(dialog.width() + picture.width() + 16,
                 std::max(dialog.height(), picture.height()));
    shot.fill(Qt::darkGray);
    QPainter painter(&shot);
    painter.drawPixmap(0, 0, dialog);
    painter.drawPixmap(dialog.width() + 16, 0, picture);
    painter.end();
    if (!shot.save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

template <class W>
W* Child(QWidget& dlg, const QString& name) {
    return dlg.findChild<W*>(name);
}

struct Shot {
    QString name;
    std::function<std::unique_ptr<CParamDialog>()> make;
    std::function<void(CParamDialog&)> change;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dialog_screenshots FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    C1394Dcam cam;
    if (!cam.Open() || cam.GetDeviceCount(C1394Dcam::kCameraDevices) < 1 ||
        !cam.SetVideoMode(0, kMode, kRate, false) || !cam.StartCapture(0, 2, 0x02, 4) ||
        !cam.StartTransmission(0, 0)) {
        std::fprintf(stderr, "no simulated camera streams on KESTRIX_BUS_DIR\n");
        return 1;
    }
    const auto key = [](QWidget* widget, Qt::Key k, int times) {
        for (int i = 0; i < times; ++i) QTest::keyClick(widget, k);
    };
    const auto click = [](QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); };
    const std::vector<Shot> shots{
        {"standard", [] { return std::make_unique<CStandardFeatureDlg>(); },
         [&](CParamDialog& d) {
             key(Child<QSlider>(d, "slider1074"), Qt::Key_PageDown, 13);  // saturation to grey
             key(Child<QSlider>(d, "slider1037"), Qt::Key_PageUp, 4);     // brighter
         }},
        {"masking", [] { return std::make_unique<CMaskingDlg>(); },
         [&](CParamDialog& d) {
             click(Child<QRadioButton>(d, "radio1102"));
             key(Child<QSlider>(d, "slider1104"), Qt::Key_PageUp, 3);
         }},
        {"ae-sharpness", [] { return std::make_unique<CAeSharpnessDlg>(); },
         [&](CParamDialog& d) {
             click(Child<QRadioButton>(d, "radio1121"));
             click(Child<QRadioButton>(d, "radio1150"));
         }},
        {"misc", [] { return std::make_unique<CMiscParamDlg>(); },
         [&](CParamDialog& d) { click(Child<QRadioButton>(d, "radio1174")); }},  // NEGA ON
    };
    for (const Shot& shot : shots) {
        const auto dlg = shot.make();
        dlg->Create(&cam, 0);
        dlg->show();
        Save(*dlg, cam, folder + "/" + shot.name + "-before.png");
        shot.change(*dlg);
        Save(*dlg, cam, folder + "/" + shot.name + "-after.png");
    }
    cam.StopTransmission(0);
    cam.StopCapture(0);
    return 0;
}
