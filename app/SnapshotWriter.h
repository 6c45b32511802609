// Snapshots of the picture shown: a timestamped file in the snapshot folder, in the format chosen
// once. Writing is pure (no widget), so it may run on a worker thread.
#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>

class SnapshotWriter {
public:
    enum class Format { Png, Bmp, Jpeg, Png16, Tiff };
    static constexpr int kFormats = 5;

    // What the settings page lists.
    static QString FormatName(Format format);
    static QString Extension(Format format);
    // The Pictures folder's KestrixView folder.
    static QString DefaultFolder();
    // kestrix-YYYYMMDD-HHMMSS-mmm.EXT
    static QString FileName(const QDateTime& when, Format format);

    // Writes `picture` (the 8-bit picture shown; for 16-bit PNG, `deep` when the camera's own
    // samples are deeper) into `folder`, made when missing. A name taken already gets -2, -3...
    // True with `path` set; false with `error` saying why, leaving no file.
    static bool Write(const QImage& picture, const QImage& deep, Format format,
                      const QString& folder, const QDateTime& when, QString& path,
                      QString& error);
};
