// The statistics dock.
#include "app/StatisticsDock.h"

#include <QDateTime>
#include <QLabel>
#include <QTimeZone>

#include "app/CCameraView.h"

namespace {

QString Bytes(std::int64_t bytes) {
    if (bytes < 0) return "?";
    if (bytes >= (std::int64_t(1) << 30)) return QString::asprintf("%.2f GB", double(bytes) / (1 << 30));
    return QString::asprintf("%.1f MB", double(bytes) / (1 << 20));
}

QString Elapsed(double seconds) {
    const auto whole = std::int64_t(seconds);
    return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(whole / 3600),
                             static_cast<long long>(whole / 60 % 60),
                             static_cast<long long>(whole % 60));
}

}  // namespace

StatisticsDock::StatisticsDock(QWidget* parent, CCameraView* view)
    : QDockWidget("Statistics", parent), m_pView(view), m_pText(new QLabel) {
    setObjectName("Statistics");
    m_pText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pText->setTextFormat(Qt::RichText);
    m_pText->setMargin(6);
    setWidget(m_pText);
    connect(view, &CCameraView::StatisticsUpdated, this, &StatisticsDock::Refresh);
    Refresh();
}

QString StatisticsDock::Text(const ViewerStatistics& s) {
    if (!s.connected) return "Not connected";
    QString text = QString("Mode %1<br>").arg(s.mode.toHtmlEscaped());
    if (s.modeFps > 0) text += QString::asprintf("Camera rate %.3f fps<br>", s.modeFps);
    text += QString::asprintf(
        "Received %llu<br>Shown %llu<br>Dropped %llu<br>Lost %llu<br>Short %llu<br>"
        "Received %.2f fps, %.2f MB/s",
        static_cast<unsigned long long>(s.received), static_cast<unsigned long long>(s.shown),
        static_cast<unsigned long long>(s.dropped), static_cast<unsigned long long>(s.lost),
        static_cast<unsigned long long>(s.shortFrames), s.receivedFps, s.receivedMBps);
    if (s.lastSentUtcNs != 0) {
        const QDateTime sent =
            QDateTime::fromMSecsSinceEpoch(s.lastSentUtcNs / 1'000'000, QTimeZone::utc());
        text += QString("<br>Sent %1.%2 UTC")
                    .arg(sent.toString("yyyy-MM-dd hh:mm:ss"))
                    .arg(s.lastSentUtcNs / 1000 % 1'000'000, 6, 10, QChar('0'));
        if (s.sentIntervalUs > 0) {
            text += QString::asprintf("<br>Sent every %.3f ms, spread %.3f ms",
                                      s.sentIntervalUs / 1e3, s.sentSpreadUs / 1e3);
        }
    }
    if (!s.recording) return text;
    text += QString("<br><br>Recording %1<br>").arg(s.file.toHtmlEscaped());
    text += QString("Elapsed %1<br>Frames %2<br>File %3<br>")
                .arg(Elapsed(s.recordingSeconds))
                .arg(s.recordedFrames)
                .arg(Bytes(s.fileBytes));
    text += QString::asprintf("Writing %.2f MB/s<br>", s.writeMBps);
    const QString free = QString("Free %1").arg(Bytes(s.freeBytes));
    text += s.lowSpace ? QString("<span style=\"color:#d00000\"><b>%1 (under 1 GB)</b></span>")
                             .arg(free)
                       : free;
    return text;
}

QString StatisticsDock::Shown() const { return m_pText->text(); }

void StatisticsDock::Refresh() { m_pText->setText(Text(m_pView->Statistics())); }
