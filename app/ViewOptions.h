// The View menu's choices, kept between runs in the settings' group "View".
#pragma once

#include <QString>

#include "app/SnapshotWriter.h"

struct ViewOptions {
    double scale = 1.0;
    bool fit = false;
    bool histogram = false;
    bool statistics = false;
    bool pixelValue = false;
    int histogramChannel = 3;  // Histogram::Channel: luminance
    bool histogramLog = false;
    bool overexposure = false;
    QString snapshotFolder = SnapshotWriter::DefaultFolder();
    SnapshotWriter::Format snapshotFormat = SnapshotWriter::Format::Png;

    // A value that does not parse or is out of range gives the default.
    static ViewOptions Load();
    void Save() const;
};
