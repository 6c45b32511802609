// The viewer's prompts shown with Qt's dialogs.
#include "app/QtPrompts.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include "app/CCameraFormatDlg.h"
#include "app/CVideoSettingDlg.h"
#include "app/SnapshotSettingsDlg.h"

namespace {

const char* const kCaption = "KestrixView";

}  // namespace

QStringList QtPrompts::NameFilters(const QString& filter) {
    const QStringList parts = filter.split('|', Qt::SkipEmptyParts);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        // Qt reads the patterns from the last parentheses; "*.*" means every file here.
        QString pattern = parts[i + 1];
        if (pattern == "*.*") pattern = "*";
        filters << parts[i] + " (" + pattern + ")";
    }
    return filters;
}

QString QtPrompts::SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                const QString& defaultSuffix) {
    QFileDialog dialog(parent, title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(NameFilters(filter));
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

void QtPrompts::Message(QWidget* parent, const QString& text, Icon icon) {
    QMessageBox box(icon == Icon::Exclamation ? QMessageBox::Warning
                    : icon == Icon::Question  ? QMessageBox::Question
                                              : QMessageBox::NoIcon,
                    kCaption, text, QMessageBox::Ok, parent);
    box.exec();
}

bool QtPrompts::AskYesNo(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Question, kCaption, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool QtPrompts::ChooseVideoMode(QWidget* parent, VideoChoice& choice) {
    CVideoSettingDlg dialog(parent);
    if (dialog.exec() != QDialog::Accepted) return false;
    choice = dialog.Result();
    return true;
}

bool QtPrompts::ChooseCameraFormat(QWidget* parent, C1394Dcam& cam, int& camera,
                                   const QImage& lastPicture) {
    CCameraFormatDlg dialog(cam, camera, lastPicture, parent);
    if (dialog.exec() != QDialog::Accepted || dialog.Camera() < 0) return false;
    camera = dialog.Camera();
    return true;
}

bool QtPrompts::ChooseSnapshotSettings(QWidget* parent, QString& folder, int& format) {
    SnapshotSettingsDlg dialog(parent, folder, format);
    if (dialog.exec() != QDialog::Accepted) return false;
    folder = dialog.Folder();
    format = dialog.Format();
    return true;
}

bool QtPrompts::AskRingSeconds(QWidget* parent, double& seconds) {
    bool ok = false;
    seconds = QInputDialog::getDouble(parent, "Save Ring As",
                                      "Save the last seconds (0: every frame the ring holds):", 0,
                                      0, 3600, 1, &ok);
    return ok;
}
