// The modal "Snapshot Settings" page: the folder snapshots go to and their file format.
#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;

class SnapshotSettingsDlg : public QDialog {
    Q_OBJECT
public:
    SnapshotSettingsDlg(QWidget* parent, const QString& folder, int format);

    QString Folder() const;
    int Format() const;  // SnapshotWriter::Format

private:
    QLineEdit* m_pFolder;
    QComboBox* m_pFormat;
};
