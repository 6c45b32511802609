// The questions the viewer puts to the user (file names, messages, the video mode), behind an
// interface so that tests can script the answers.
#pragma once

#include <QString>

class C1394Dcam;
class QImage;
class QWidget;

class ViewerPrompts {
public:
    enum class Icon { None, Exclamation, Question };

    // What the "VIDEO SETTING" dialog yields.
    struct VideoChoice {
        int nModeIndex = 4;
        int nWidth = 640;
        int nHeight = 480;
        int nFrameRate = 3;
        int nColorCoding = 4;
    };

    virtual ~ViewerPrompts() = default;

    // A save-file dialog; filter in the form "Text|pattern|Text|pattern||". Empty on cancel.
    virtual QString SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                 const QString& defaultSuffix) = 0;
    virtual void Message(QWidget* parent, const QString& text, Icon icon) = 0;
    // A Yes/No question whose default button is No; true for Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& text) = 0;
    // The modal video-setting dialog; false unless OK.
    virtual bool ChooseVideoMode(QWidget* parent, VideoChoice& choice) = 0;
    // "Camera Format" (it keeps the choice itself); camera: the one shown first, then the one
    // chosen. False unless OK or Forget; prompts without the dialog never choose.
    virtual bool ChooseCameraFormat(QWidget*, C1394Dcam&, int& /*camera*/,
                                    const QImage& /*lastPicture*/) {
        return false;
    }
    // Save Ring As: how many of the last seconds to save (0: every frame held); false on
    // cancel. Prompts without the question save every frame.
    virtual bool AskRingSeconds(QWidget*, double& seconds) {
        seconds = 0;
        return true;
    }
    // The snapshot settings page: folder and SnapshotWriter::Format; false unless OK. Prompts
    // without the page never change them.
    virtual bool ChooseSnapshotSettings(QWidget*, QString& /*folder*/, int& /*format*/) {
        return false;
    }
};
