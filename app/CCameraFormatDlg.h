// The modal "Camera Format" dialog: which camera on the bus, and its video format (every fixed
// mode and rate its inquiry registers list, or a Format 7 mode with its coding, region and
// packet size), the ISO speed, and the bandwidth that needs against what the bus has left
// beside the other cameras' share.
// OK keeps the choice for the camera's GUID; Forget drops it, so Connect asks "VIDEO SETTING"
// again.
#pragma once

#include <QDialog>
#include <QImage>

#include <optional>
#include <vector>

#include "app/CameraFormatChoice.h"
#include "session/CameraInfo.h"
#include "camera/CameraModes.h"
#include "camera/Format7Geometry.h"

class C1394Dcam;
class QComboBox;
class QGroupBox;
class QLabel;
class QSpinBox;
class RegionPreview;

class CCameraFormatDlg : public QDialog {
    Q_OBJECT
public:
    // camera: the index shown first (-1: the first); lastPicture: the last frame, if any.
    CCameraFormatDlg(C1394Dcam& cam, int camera, const QImage& lastPicture,
                     QWidget* parent = nullptr);

    // The camera chosen and its GUID (0 without cameras).
    int Camera() const;
    std::uint64_t Guid() const;
    // The format as the controls stand now.
    CameraFormatChoice Choice() const;
    RegionPreview* Preview() const { return m_pPreview; }

    void accept() override;

private:
    QWidget* BuildFormat7Controls();
    void OnCameraChanged();
    void OnModeChanged();
    // Packet limits follow the speed.
    void OnSpeedChanged();
    // Puts the region onto the camera's grid and shows it.
    void SnapRegion();
    void MoveRegion(int left, int top);
    // Packet figures, bandwidth and the reason it does not fit.
    void UpdateFigures();
    void Forget();
    // What the other cameras that send take of the bus, each and together.
    QString OtherCamerasText(int camera) const;
    const CameraModes::Mode* CurrentMode() const;
    Format7Region RegionFromControls() const;
    void ShowRegion(const Format7Region& region);
    int SpeedMax() const;

    C1394Dcam& m_cam;
    QImage m_lastPicture;
    std::vector<kestrix::session::CameraInfo> m_ids;
    std::vector<CameraModes::Mode> m_modes;
    std::optional<Format7Geometry> m_geometry;
    std::optional<CameraFormatChoice> m_stored;  // of the camera shown
    unsigned m_nUnitsLeft = 0;                   // beside the other cameras, when it was shown

    QComboBox* m_pCameras;
    QComboBox* m_pModes;
    QComboBox* m_pRates;
    QComboBox* m_pSpeeds;
    QGroupBox* m_pFormat7;
    QSpinBox* m_pLeft;
    QSpinBox* m_pTop;
    QSpinBox* m_pWidth;
    QSpinBox* m_pHeight;
    QSpinBox* m_pPacket;
    QLabel* m_pPacketInfo;
    QLabel* m_pBandwidth;
    QLabel* m_pOthers;
    QLabel* m_pProblem;
    RegionPreview* m_pPreview;
};
