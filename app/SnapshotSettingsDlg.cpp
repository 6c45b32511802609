// The snapshot settings page.
#include "app/SnapshotSettingsDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

#include "app/SnapshotWriter.h"

SnapshotSettingsDlg::SnapshotSettingsDlg(QWidget* parent, const QString& folder, int format)
    : QDialog(parent), m_pFolder(new QLineEdit(folder)), m_pFormat(new QComboBox) {
    setWindowTitle("Snapshot Settings");
    for (int f = 0; f < SnapshotWriter::kFormats; ++f)
        m_pFormat->addItem(SnapshotWriter::FormatName(SnapshotWriter::Format(f)));
    m_pFormat->setCurrentIndex(format);
    auto* browse = new QPushButton("&Browse...");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen =
            QFileDialog::getExistingDirectory(this, "Snapshot Folder", m_pFolder->text());
        if (!chosen.isEmpty()) m_pFolder->setText(chosen);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(m_pFolder, 1);
    row->addWidget(browse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* form = new QFormLayout(this);
    form->addRow("&Folder:", row);
    form->addRow("F&ormat:", m_pFormat);
    form->addRow(buttons);
}

QString SnapshotSettingsDlg::Folder() const { return m_pFolder->text().trimmed(); }
int SnapshotSettingsDlg::Format() const { return m_pFormat->currentIndex(); }
