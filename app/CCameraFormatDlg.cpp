// The "Camera Format" dialog: controls, the region's grid and the bandwidth figures.
#include "app/CCameraFormatDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStringList>
#include <QVBoxLayout>

#include "app/RegionPreview.h"
#include "camera/BusBandwidth.h"
#include "camera/C1394Dcam.h"
#include "camera/VideoModeTables.h"

namespace {

QSpinBox* Spin(QWidget* parent, const char* name) {
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(name);
    spin->setAccelerated(true);
    return spin;
}

}  // namespace

CCameraFormatDlg::CCameraFormatDlg(C1394Dcam& cam, int camera, const QImage& lastPicture,
                                   QWidget* parent)
    : QDialog(parent), m_cam(cam), m_lastPicture(lastPicture), m_ids(kestrix::session::CameraInfo::ReadAll(cam)) {
    setWindowTitle("Camera Format");
    auto* form = new QFormLayout;
    m_pCameras = new QComboBox(this);
    m_pCameras->setObjectName("cameraList");
    for (const kestrix::session::CameraInfo& id : m_ids)
        m_pCameras->addItem(QString::fromStdString(id.Describe()));
    form->addRow("&Camera:", m_pCameras);
    m_pModes = new QComboBox(this);
    m_pModes->setObjectName("modeList");
    form->addRow("&Mode:", m_pModes);
    m_pRates = new QComboBox(this);
    m_pRates->setObjectName("rateList");
    form->addRow("&Rate:", m_pRates);
    m_pSpeeds = new QComboBox(this);
    m_pSpeeds->setObjectName("speedList");
    m_pSpeeds->addItems({"100 Mbit/s (S100)", "200 Mbit/s (S200)", "400 Mbit/s (S400)"});
    form->addRow("&ISO speed:", m_pSpeeds);

    m_pBandwidth = new QLabel(this);
    m_pBandwidth->setObjectName("bandwidth");
    m_pOthers = new QLabel(this);
    m_pOthers->setObjectName("otherCameras");
    m_pOthers->setWordWrap(true);
    m_pProblem = new QLabel(this);
    m_pProblem->setObjectName("bandwidthProblem");
    m_pProblem->setWordWrap(true);
    m_pProblem->setStyleSheet("color: #b00000");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* forget = buttons->addButton("&Forget", QDialogButtonBox::ResetRole);
    forget->setObjectName("forget");
    forget->setToolTip("Drop the format kept for this camera: Connect asks for the video mode");
    connect(buttons, &QDialogButtonBox::accepted, this, &CCameraFormatDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CCameraFormatDlg::reject);
    connect(forget, &QPushButton::clicked, this, &CCameraFormatDlg::Forget);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(BuildFormat7Controls());
    layout->addWidget(m_pBandwidth);
    layout->addWidget(m_pOthers);
    layout->addWidget(m_pProblem);
    layout->addWidget(buttons);

    connect(m_pCameras, &QComboBox::currentIndexChanged, this, &CCameraFormatDlg::OnCameraChanged);
    connect(m_pModes, &QComboBox::currentIndexChanged, this, &CCameraFormatDlg::OnModeChanged);
    connect(m_pRates, &QComboBox::currentIndexChanged, this, &CCameraFormatDlg::UpdateFigures);
    connect(m_pSpeeds, &QComboBox::currentIndexChanged, this, &CCameraFormatDlg::OnSpeedChanged);
    {
        const QSignalBlocker block(m_pCameras);
        m_pCameras->setCurrentIndex(camera >= 0 && camera < int(m_ids.size()) ? camera : 0);
    }
    OnCameraChanged();
    buttons->button(QDialogButtonBox::Ok)->setEnabled(!m_ids.empty());
    if (m_ids.empty()) m_pProblem->setText("No camera is on the bus.");
}

QWidget* CCameraFormatDlg::BuildFormat7Controls() {
    m_pFormat7 = new QGroupBox("Format 7", this);
    m_pPreview = new RegionPreview(m_pFormat7);
    m_pLeft = Spin(m_pFormat7, "left");
    m_pTop = Spin(m_pFormat7, "top");
    m_pWidth = Spin(m_pFormat7, "width");
    m_pHeight = Spin(m_pFormat7, "height");
    m_pPacket = Spin(m_pFormat7, "packetSize");
    m_pPacket->setSuffix(" bytes");
    m_pPacketInfo = new QLabel(m_pFormat7);
    m_pPacketInfo->setObjectName("packetInfo");
    auto* form = new QFormLayout;
    form->addRow("&Left:", m_pLeft);
    form->addRow("&Top:", m_pTop);
    form->addRow("&Width:", m_pWidth);
    form->addRow("&Height:", m_pHeight);
    form->addRow("&Packet size:", m_pPacket);
    auto* row = new QHBoxLayout;
    row->addWidget(m_pPreview, 0, Qt::AlignTop);
    row->addLayout(form);
    auto* box = new QVBoxLayout(m_pFormat7);
    box->addLayout(row);
    box->addWidget(m_pPacketInfo);
    for (QSpinBox* spin : {m_pLeft, m_pTop, m_pWidth, m_pHeight, m_pPacket}) {
        connect(spin, &QSpinBox::valueChanged, this, &CCameraFormatDlg::UpdateFigures);
        connect(spin, &QSpinBox::editingFinished, this, &CCameraFormatDlg::SnapRegion);
    }
    connect(m_pPreview, &RegionPreview::RegionMoved, this, &CCameraFormatDlg::MoveRegion);
    return m_pFormat7;
}

int CCameraFormatDlg::Camera() const { return m_ids.empty() ? -1 : m_pCameras->currentIndex(); }

std::uint64_t CCameraFormatDlg::Guid() const {
    return m_ids.empty() ? 0 : m_ids[std::size_t(m_pCameras->currentIndex())].guid;
}

const CameraModes::Mode* CCameraFormatDlg::CurrentMode() const {
    const int index = m_pModes->currentIndex();
    return index >= 0 && index < int(m_modes.size()) ? &m_modes[std::size_t(index)] : nullptr;
}

int CCameraFormatDlg::SpeedMax() const {
    return int(BusBandwidth::MaxPacketBytes(m_pSpeeds->currentIndex()));
}

Format7Region CCameraFormatDlg::RegionFromControls() const {
    return {m_pLeft->value(), m_pTop->value(), m_pWidth->value(), m_pHeight->value()};
}

CameraFormatChoice CCameraFormatDlg::Choice() const {
    CameraFormatChoice c;
    const CameraModes::Mode* mode = CurrentMode();
    if (mode == nullptr) return c;
    c.modeIndex = mode->modeIndex;
    c.coding = mode->colorCoding;
    c.speed = m_pSpeeds->currentIndex();
    if (!mode->Format7()) {
        c.rateIndex = m_pRates->currentData().toInt();
        c.region = {0, 0, mode->width, mode->height};
    } else if (m_geometry) {
        c.region = m_geometry->Fit(RegionFromControls());
        c.bytesPerPacket = m_geometry->FitPacket(m_pPacket->value(), SpeedMax());
    } else {
        return {};  // a Format 7 mode whose limits are unknown cannot be set up
    }
    return c;
}

void CCameraFormatDlg::OnCameraChanged() {
    const int camera = Camera();
    m_modes = camera >= 0 ? CameraModes::Read(m_cam, camera) : std::vector<CameraModes::Mode>{};
    m_stored = camera >= 0 ? CameraFormatChoice::Load(Guid()) : std::nullopt;
    m_nUnitsLeft = camera >= 0 ? CameraFormatChoice::UnitsLeft(m_cam, camera) : 0;
    m_pOthers->setText(camera >= 0 ? OtherCamerasText(camera) : QString());
    const QSignalBlocker blockModes(m_pModes);
    const QSignalBlocker blockSpeeds(m_pSpeeds);
    m_pModes->clear();
    int selected = 0;
    for (std::size_t i = 0; i < m_modes.size(); ++i) {
        const CameraModes::Mode& mode = m_modes[i];
        QString text = QString::fromStdString(mode.name);
        if (mode.Format7()) text += QString(" (Format 7 mode %1)").arg(mode.modeIndex - 24);
        m_pModes->addItem(text);
        if (m_stored && m_stored->modeIndex == mode.modeIndex &&
            m_stored->coding == mode.colorCoding)
            selected = int(i);
    }
    m_pModes->setCurrentIndex(m_modes.empty() ? -1 : selected);
    m_pSpeeds->setCurrentIndex(m_stored ? m_stored->speed : 2);
    OnModeChanged();
}

void CCameraFormatDlg::OnModeChanged() {
    const CameraModes::Mode* mode = CurrentMode();
    const bool same = mode != nullptr && m_stored && m_stored->modeIndex == mode->modeIndex;
    {
        const QSignalBlocker block(m_pRates);
        m_pRates->clear();
        for (int rate = 0; mode != nullptr && !mode->Format7() && rate < camera::kRateCount;
             ++rate) {
            if (!mode->OffersRate(rate)) continue;
            m_pRates->addItem(QString("%1 fps").arg(CameraModes::RateName(rate)), rate);
        }
        // The kept rate, else the fastest.
        const int kept = same ? m_pRates->findData(m_stored->rateIndex) : -1;
        m_pRates->setCurrentIndex(kept >= 0 ? kept : m_pRates->count() - 1);
    }
    m_pRates->setEnabled(m_pRates->count() > 0);
    m_geometry.reset();
    if (mode != nullptr && mode->Format7())
        m_geometry = Format7Geometry::Read(m_cam, Camera(), mode->modeIndex - 24);
    m_pFormat7->setEnabled(m_geometry.has_value());
    if (m_geometry) {
        const Format7Geometry& g = *m_geometry;
        const QSignalBlocker blocks[] = {QSignalBlocker(m_pLeft), QSignalBlocker(m_pTop),
                                         QSignalBlocker(m_pWidth), QSignalBlocker(m_pHeight),
                                         QSignalBlocker(m_pPacket)};
        m_pLeft->setRange(0, g.maxWidth - g.unitWidth);
        m_pLeft->setSingleStep(g.unitLeft);
        m_pTop->setRange(0, g.maxHeight - g.unitHeight);
        m_pTop->setSingleStep(g.unitTop);
        m_pWidth->setRange(g.unitWidth, g.maxWidth);
        m_pWidth->setSingleStep(g.unitWidth);
        m_pHeight->setRange(g.unitHeight, g.maxHeight);
        m_pHeight->setSingleStep(g.unitHeight);
        m_pPacket->setSingleStep(g.packetUnit);
        m_pPreview->SetSensor(g.maxWidth, g.maxHeight);
        // The last frame stands for the sensor only when it showed all of it.
        m_pPreview->SetPicture(
            m_lastPicture.size() == QSize(g.maxWidth, g.maxHeight) ? m_lastPicture : QImage());
        ShowRegion(same ? m_stored->region : Format7Region{0, 0, g.maxWidth, g.maxHeight});
        m_pPacket->setValue(same                      ? m_stored->bytesPerPacket
                            : g.packetRecommended > 0 ? g.packetRecommended
                                                      : g.LargestPacket(SpeedMax()));
    }
    OnSpeedChanged();
}

void CCameraFormatDlg::OnSpeedChanged() {
    if (m_geometry) {
        const QSignalBlocker block(m_pPacket);
        const int value = m_pPacket->value();
        m_pPacket->setRange(m_geometry->packetUnit, m_geometry->LargestPacket(SpeedMax()));
        m_pPacket->setValue(m_geometry->FitPacket(value, SpeedMax()));
    }
    UpdateFigures();
}

void CCameraFormatDlg::ShowRegion(const Format7Region& region) {
    const Format7Region r = m_geometry ? m_geometry->Fit(region) : region;
    {
        const QSignalBlocker blocks[] = {QSignalBlocker(m_pLeft), QSignalBlocker(m_pTop),
                                         QSignalBlocker(m_pWidth), QSignalBlocker(m_pHeight)};
        m_pLeft->setValue(r.left);
        m_pTop->setValue(r.top);
        m_pWidth->setValue(r.width);
        m_pHeight->setValue(r.height);
    }
    m_pPreview->SetRegion(r);
}

void CCameraFormatDlg::SnapRegion() {
    if (!m_geometry) return;
    ShowRegion(RegionFromControls());
    const QSignalBlocker block(m_pPacket);
    m_pPacket->setValue(m_geometry->FitPacket(m_pPacket->value(), SpeedMax()));
    UpdateFigures();
}

void CCameraFormatDlg::MoveRegion(int left, int top) {
    Format7Region r = RegionFromControls();
    r.left = left;
    r.top = top;
    ShowRegion(r);
    UpdateFigures();
}

void CCameraFormatDlg::UpdateFigures() {
    const CameraFormatChoice c = Choice();
    if (c.modeIndex < 0) {
        m_pBandwidth->clear();
        m_pPacketInfo->clear();
        if (CurrentMode() != nullptr)
            m_pProblem->setText("The camera does not answer its Format 7 registers.");
        else if (Camera() >= 0)
            m_pProblem->setText("The camera lists no video mode, or does not answer.");
        return;
    }
    if (m_geometry) {
        m_pPreview->SetRegion(c.region);
        const std::uint64_t bytes = Format7Geometry::FrameBytes(c.region, c.coding);
        m_pPacketInfo->setText(
            QString("Recommended %1 bytes; %2 packets a frame, %3 fps")
                .arg(m_geometry->packetRecommended)
                .arg(Format7Geometry::PacketsPerFrame(bytes, c.bytesPerPacket))
                .arg(Format7Geometry::FrameRate(bytes, c.bytesPerPacket), 0, 'f', 2));
    } else {
        m_pPacketInfo->clear();
    }
    const unsigned needed = BusBandwidth::Units(unsigned(c.PacketBytes()), c.speed);
    m_pBandwidth->setText(QString("Bandwidth: needs %1 units (%2 %) a cycle; the bus has %3 "
                                  "left (%4 %).")
                              .arg(needed)
                              .arg(BusBandwidth::Percent(needed), 0, 'f', 1)
                              .arg(m_nUnitsLeft)
                              .arg(BusBandwidth::Percent(m_nUnitsLeft), 0, 'f', 1));
    m_pProblem->setText(c.BandwidthProblem(m_nUnitsLeft));
}

QString CCameraFormatDlg::OtherCamerasText(int camera) const {
    // A camera's share is what the bus loses when it is counted in.
    const unsigned all = BusBandwidth::UnitsInUse(m_cam, -1);
    QStringList shares;
    for (int other = 0; other < int(m_ids.size()); ++other) {
        const unsigned units = other == camera ? 0 : all - BusBandwidth::UnitsInUse(m_cam, other);
        if (units > 0) shares << QString("camera %1 %2 units").arg(other).arg(units);
    }
    if (shares.isEmpty()) return "No other camera sends on the bus.";
    const unsigned used = BusBandwidth::UnitsInUse(m_cam, camera);
    return QString("Other cameras take %1 units (%2 %) a cycle: %3.")
        .arg(used)
        .arg(BusBandwidth::Percent(used), 0, 'f', 1)
        .arg(shares.join(", "));
}

void CCameraFormatDlg::accept() {
    const CameraFormatChoice c = Choice();
    if (c.modeIndex < 0) return;
    c.Save(Guid());
    QDialog::accept();
}

void CCameraFormatDlg::Forget() {
    if (Camera() >= 0) CameraFormatChoice::Forget(Guid());
    QDialog::accept();
}
