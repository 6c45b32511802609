// Snapshot names, formats and writing.
#include "app/SnapshotWriter.h"

#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

struct FormatRow {
    const char* name;
    const char* extension;
    const char* writer;  // the Qt image format
};
constexpr FormatRow kRows[SnapshotWriter::kFormats] = {
    {"PNG", "png", "png"},  {"BMP", "bmp", "bmp"},   {"JPEG", "jpg", "jpeg"},
    {"16-bit PNG", "png", "png"}, {"TIFF", "tif", "tiff"},
};

const FormatRow& Row(SnapshotWriter::Format format) { return kRows[int(format)]; }

QString FreeName(const QDir& dir, const QString& name) {
    const QString base = name.section('.', 0, -2), suffix = name.section('.', -1);
    QString candidate = name;
    for (int n = 2; QFile::exists(dir.filePath(candidate)); ++n)
        candidate = QString("%1-%2.%3").arg(base).arg(n).arg(suffix);
    return dir.filePath(candidate);
}

}  // namespace

QString SnapshotWriter::FormatName(Format format) { return Row(format).name; }
QString SnapshotWriter::Extension(Format format) { return Row(format).extension; }

QString SnapshotWriter::DefaultFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation))
        .filePath("KestrixView");
}

QString SnapshotWriter::FileName(const QDateTime& when, Format format) {
    return QString("kestrix-%1.%2").arg(when.toString("yyyyMMdd-HHmmss-zzz"), Extension(format));
}

bool SnapshotWriter::Write(const QImage& picture, const QImage& deep, Format format,
                           const QString& folder, const QDateTime& when, QString& path,
                           QString& error) {
    const QDir dir(folder);
    if (!dir.mkpath(".")) {
        error = QString("the folder %1 cannot be made").arg(folder);
        return false;
    }
    path = FreeName(dir, FileName(when, format));
    QImage image = picture;
    if (format == Format::Png16) {
        image = !deep.isNull() ? deep
                               : picture.convertToFormat(picture.isGrayscale()
                                                             ? QImage::Format_Grayscale16
                                                             : QImage::Format_RGBX64);
    } else if (format == Format::Jpeg || format == Format::Bmp) {
        image = picture.convertToFormat(QImage::Format_RGB888);
    }
    // Written aside and renamed, so a full disk leaves no partial snapshot.
    QSaveFile file(path);
    QImageWriter writer(&file, Row(format).writer);
    if (format == Format::Jpeg) writer.setQuality(95);
    if (!file.open(QIODevice::WriteOnly) || !writer.write(image) || !file.commit()) {
        error = writer.error() != QImageWriter::UnknownError ? writer.errorString()
                                                             : file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}
