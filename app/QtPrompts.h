// The viewer's prompts as the user sees them: QFileDialog, QMessageBox, the video-setting and
// camera-format dialogs.
#pragma once

#include <QStringList>

#include "app/ViewerPrompts.h"

class QtPrompts : public ViewerPrompts {
public:
    QString SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                         const QString& defaultSuffix) override;
    void Message(QWidget* parent, const QString& text, Icon icon) override;
    bool AskYesNo(QWidget* parent, const QString& text) override;
    bool ChooseVideoMode(QWidget* parent, VideoChoice& choice) override;
    bool ChooseSnapshotSettings(QWidget* parent, QString& folder, int& format) override;
    bool AskRingSeconds(QWidget* parent, double& seconds) override;
    bool ChooseCameraFormat(QWidget* parent, C1394Dcam& cam, int& camera,
                            const QImage& lastPicture) override;

    // "Text|pattern|...||" as Qt name filters "Text (pattern)".
    static QStringList NameFilters(const QString& filter);
};
