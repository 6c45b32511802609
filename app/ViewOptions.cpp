// The View menu's choices in the settings.
#include "app/ViewOptions.h"

#include <QSettings>

#include "app/Histogram.h"
#include "app/ViewZoom.h"

namespace {

int IntIn(const QSettings& settings, const char* key, int fallback, int last) {
    bool ok = false;
    const int value = settings.value(key, fallback).toInt(&ok);
    return ok && value >= 0 && value <= last ? value : fallback;
}

}  // namespace

ViewOptions ViewOptions::Load() {
    QSettings settings("Tarnwell", "KestrixView");
    settings.beginGroup("View");
    ViewOptions o;
    bool ok = false;
    const double scale = settings.value("Zoom", o.scale).toDouble(&ok);
    if (ok && scale >= ViewZoom::kMin && scale <= ViewZoom::kMax) o.scale = scale;
    o.fit = settings.value("FitToWindow", o.fit).toBool();
    o.histogram = settings.value("Histogram", o.histogram).toBool();
    o.statistics = settings.value("Statistics", o.statistics).toBool();
    o.pixelValue = settings.value("PixelValue", o.pixelValue).toBool();
    o.histogramChannel =
        IntIn(settings, "HistogramChannel", o.histogramChannel, Histogram::kChannels - 1);
    o.histogramLog = settings.value("HistogramLog", o.histogramLog).toBool();
    o.overexposure = settings.value("Overexposure", o.overexposure).toBool();
    const QString folder = settings.value("SnapshotFolder").toString();
    if (!folder.isEmpty()) o.snapshotFolder = folder;
    o.snapshotFormat = SnapshotWriter::Format(
        IntIn(settings, "SnapshotFormat", int(o.snapshotFormat), SnapshotWriter::kFormats - 1));
    return o;
}

void ViewOptions::Save() const {
    QSettings settings("Tarnwell", "KestrixView");
    settings.beginGroup("View");
    settings.setValue("Zoom", scale);
    settings.setValue("FitToWindow", fit);
    settings.setValue("Histogram", histogram);
    settings.setValue("Statistics", statistics);
    settings.setValue("PixelValue", pixelValue);
    settings.setValue("HistogramChannel", histogramChannel);
    settings.setValue("HistogramLog", histogramLog);
    settings.setValue("Overexposure", overexposure);
    settings.setValue("SnapshotFolder", snapshotFolder);
    settings.setValue("SnapshotFormat", int(snapshotFormat));
}
