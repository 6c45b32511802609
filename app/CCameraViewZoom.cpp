// The camera view's View menu: zoom and fit, keyboard panning, the pixel value, snapshots, and
// the histogram and statistics the docks show.
#include <QDateTime>
#include <QFileInfo>
#include <QScrollBar>

#include <algorithm>
#include <limits>

#include "app/CCameraView.h"
#include "app/PixelProbe.h"
#include "app/SnapshotWriter.h"

QSize CCameraView::ShownSize() const { return m_zoom.Zoomed({m_nImageWidth, m_nImageHeight}); }

void CCameraView::ApplyZoom(const std::function<void()>& change) {
    const QPoint centre = viewport()->rect().center();
    const QSize image(m_nImageWidth, m_nImageHeight);
    const QPoint at = m_zoom.ToImage(centre, {m_nHPos, m_nVPos}, image);
    change();
    ShowScrollBars();
    m_options.scale = m_zoom.Scale();
    m_options.fit = m_zoom.Fitting();
    const QPoint scroll = m_zoom.ScrollFor(at, centre, image);
    m_nHPos = std::max(scroll.x(), 0);
    m_nVPos = std::max(scroll.y(), 0);
    UpdateScrollBars();
    viewport()->update();
    if (m_options.pixelValue) UpdatePixelValue();
    emit StateChanged();
}

// A fitted picture never needs scrolling, so its bars would only take room from it.
void CCameraView::ShowScrollBars() {
    const auto policy = m_zoom.Fitting() ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn;
    setHorizontalScrollBarPolicy(policy);
    setVerticalScrollBarPolicy(policy);
}

void CCameraView::OnZoomIn() {
    ApplyZoom([this] { m_zoom.ZoomIn(); });
}
void CCameraView::OnZoomOut() {
    ApplyZoom([this] { m_zoom.ZoomOut(); });
}
void CCameraView::OnActualSize() {
    ApplyZoom([this] { m_zoom.SetScale(1.0); });
}
void CCameraView::OnFitToWindow() {
    ApplyZoom([this] { m_zoom.Fit(viewport()->size(), {m_nImageWidth, m_nImageHeight}); });
}

void CCameraView::Pan(Qt::Orientation orientation, int code, int direction) {
    const bool horizontal = orientation == Qt::Horizontal;
    const int page = horizontal ? m_nHPage : m_nVPage;
    const int pos = horizontal ? m_nHPos : m_nVPos;
    if (code == SB_THUMBTRACK) {
        Scroll(orientation, code, pos + direction * std::max(page / 10, 1));
    } else if (code == SB_OTHER) {  // to the start or the end
        Scroll(orientation, SB_THUMBTRACK, direction < 0 ? 0 : std::numeric_limits<int>::max() / 2);
    } else {
        Scroll(orientation, code, 0);
    }
    if (m_options.pixelValue) UpdatePixelValue();
}

// ---- Pixel value ----

void CCameraView::OnPixelValue() {
    m_options.pixelValue = !m_options.pixelValue;
    if (m_options.pixelValue) UpdatePixelValue();
    emit StateChanged();
}

void CCameraView::leaveEvent(QEvent* event) {
    QAbstractScrollArea::leaveEvent(event);
    m_ptPointer = {-1, -1};
    if (m_options.pixelValue) UpdatePixelValue();
}

std::span<const std::uint8_t> CCameraView::RawShown() {
    if (m_nRawShown != m_pipeline.FramesShown()) {
        const auto& stream = m_session.Stream();
        m_RawShown.resize(stream ? std::max<std::size_t>(stream->SlotBytes(), m_session.FrameBytes())
                                 : 0);
        FrameRing::SlotInfo info;
        if (m_RawShown.empty() || !stream->CopySlot(m_nCurrentIndex, m_RawShown, info))
            m_RawShown.clear();
        m_nRawShown = m_pipeline.FramesShown();
    }
    return m_RawShown;
}

void CCameraView::UpdatePixelValue() {
    QString text;
    const QImage& picture = m_pipeline.Front();
    if (m_bConnected && m_nCurrentIndex >= 0 && !picture.isNull() &&
        viewport()->rect().contains(m_ptPointer)) {
        const QPoint at = m_zoom.ToImage(m_ptPointer, {m_nHPos, m_nVPos}, picture.size());
        const auto raw = PixelProbe::NeedsRaw(m_nColorCoding) ? RawShown()
                                                              : std::span<const std::uint8_t>{};
        text = PixelProbe::Text(picture, m_nColorCoding, raw, at, m_pipeline.Bayer());
    }
    emit PixelValueChanged(text);
}

// ---- Snapshots ----

void CCameraView::OnSnapshot() {
    const QImage& front = m_pipeline.Front();
    if (front.isNull()) return;
    // Copied here, so the display goes on while the worker encodes.
    QImage picture = front.copy();
    QImage deep;
    if (m_options.snapshotFormat == SnapshotWriter::Format::Png16 && m_nColorCoding == 5) {
        const auto raw = RawShown();
        if (raw.size() >= std::size_t(2 * m_nImageWidth * m_nImageHeight)) {
            deep = QImage(m_nImageWidth, m_nImageHeight, QImage::Format_Grayscale16);
            for (int y = 0; y < m_nImageHeight; ++y) {
                auto* row = reinterpret_cast<std::uint16_t*>(deep.scanLine(y));
                const std::uint8_t* src = raw.data() + std::size_t(y) * 2 * m_nImageWidth;
                for (int x = 0; x < m_nImageWidth; ++x)
                    row[x] = std::uint16_t(src[2 * x] << 8 | src[2 * x + 1]);
            }
        }
    }
    const QString folder = m_options.snapshotFolder;
    const SnapshotWriter::Format format = m_options.snapshotFormat;
    const QDateTime when = QDateTime::currentDateTime();
    m_snapshotWriter.start([this, picture = std::move(picture), deep = std::move(deep), folder,
                            format, when] {
        QString path, error;
        SnapshotWriter::Write(picture, deep, format, folder, when, path, error);
        // The view waits for this worker before it goes, so `this` is alive here.
        QMetaObject::invokeMethod(
            this, [this, path, error] { OnSnapshotDone(path, error); }, Qt::QueuedConnection);
    });
}

void CCameraView::OnSnapshotDone(const QString& path, const QString& error) {
    if (error.isEmpty()) {
        emit SnapshotSaved(path);
        return;
    }
    Tell(QString("The snapshot could not be saved as %1: %2").arg(path, error),
         ViewerPrompts::Icon::Exclamation);
}

void CCameraView::OnSnapshotSettings() {
    QString folder = m_options.snapshotFolder;
    int format = int(m_options.snapshotFormat);
    if (!m_pPrompts->ChooseSnapshotSettings(window(), folder, format)) return;
    if (!folder.isEmpty()) m_options.snapshotFolder = folder;
    if (format >= 0 && format < SnapshotWriter::kFormats)
        m_options.snapshotFormat = SnapshotWriter::Format(format);
}

// ---- Histogram and statistics ----

void CCameraView::SetOverexposure(bool on) {
    m_options.overexposure = on;
    SetHistogramWanted(m_bHistogramWanted);
}

void CCameraView::SetHistogramWanted(bool wanted) {
    m_bHistogramWanted = wanted;
    if ((wanted || m_options.overexposure) && m_nCurrentIndex >= 0 && !m_bStreaming) {
        // A stopped picture is counted once now; a streaming one with the next picture.
        ArmHistogram();
        m_pipeline.ShowSlot(m_nCurrentIndex);
    }
    viewport()->update();
}

void CCameraView::ArmHistogram() {
    if (!m_bHistogramWanted && !m_options.overexposure) return;
    m_nHistogramCoding = m_nColorCoding;
    m_bHistogramOverlay = m_options.overexposure;
    m_pipeline.ArmObserver();
}

void CCameraView::OnHistogram(std::shared_ptr<const Histogram> histogram) {
    m_pHistogram = std::move(histogram);
    if (m_options.overexposure) viewport()->update();
    emit HistogramUpdated();
}

const ViewerStatistics& CCameraView::SampleStatistics() {
    const ViewerStatistics& figures = m_statistics.Sample(m_session, m_pipeline);
    emit StatisticsUpdated();
    return figures;
}

void CCameraView::ShowRecordingInTitle() {
    const QString file = QFileInfo(m_session.Now().m_strAviPath).fileName();
    window()->setWindowTitle(m_bAviOpen && m_bAviRecording
                                 ? QString("%1 - REC %2").arg(m_strTitle, file)
                                 : m_strTitle);
}
