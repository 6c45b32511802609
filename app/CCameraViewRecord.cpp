// The view's Record As and Save Ring As: the recording layer's formats beside the AVI recorder.
#include <QApplication>
#include <QProgressDialog>
#include <QTimer>

#include <atomic>
#include <thread>

#include "app/CCameraView.h"
#include "record/SaveRing.h"

namespace {

// Every format the recording layer writes; the name chooses it.
constexpr const char* kRecordingFilter =
    "SER (*.ser)|*.ser|TIFF stack (*.tif;*.tiff)|*.tif;*.tiff|Matroska FFV1 (*.mkv)|*.mkv|"
    "Microsoft AVI|*.avi|Image sequence (frames/%06d.png, %06d.tif)|*.png;*.tif|"
    "All files (*.*)|*.*||";

}  // namespace

void CCameraView::OnRecordAs() {
    if (m_session.RecordingAs()) {
        EndRecordAs();
        return;
    }
    const QString path = m_pPrompts->SaveFileName(window(), "Record As", kRecordingFilter, "ser");
    if (path.isEmpty()) return;
    QString failure;
    if (!m_session.StartRecordAs(path, failure)) {
        Tell(QString("The recording could not be started: %1").arg(failure),
             ViewerPrompts::Icon::Exclamation);
        return;
    }
    emit StateChanged();
    emit Painted();
}

void CCameraView::EndRecordAs() {
    if (!m_session.RecordingAs()) return;
    const auto figures = m_session.RecordAsFigures();
    QString failure;
    const bool finished = m_session.StopRecordAs(failure);
    emit StateChanged();
    emit Painted();
    if (!finished) {
        Tell(QString("The recording stopped: %1. The file keeps the %2 frames written before.")
                 .arg(failure)
                 .arg(figures.frames),
             ViewerPrompts::Icon::Exclamation);
    } else if (figures.dropped != 0) {
        Tell(QString("The recording left out %1 frames the ring overwrote.").arg(figures.dropped),
             ViewerPrompts::Icon::None);
    }
}

void CCameraView::OnSaveRingAs() {
    const QString path =
        m_pPrompts->SaveFileName(window(), "Save Ring As", kRecordingFilter, "ser");
    if (path.isEmpty()) return;
    double seconds = 0;
    if (!m_pPrompts->AskRingSeconds(window(), seconds)) return;
    const std::shared_ptr<kestrix::session::FrameStream> stream = m_session.Stream();
    kestrix::record::RecordingSetup setup;
    QString failure;
    if (!m_session.SetupFor(path, setup, failure)) {
        Tell(failure, ViewerPrompts::Icon::Exclamation);
        return;
    }
    // The copy runs beside the window's loop, which keeps the window and the capture alive.
    QProgressDialog progress("Saving the ring's frames...", "Cancel", 0, 100, window());
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    std::atomic<std::uint64_t> written{0}, total{0};
    std::atomic<bool> cancel{false}, done{false};
    kestrix::record::SaveRingResult result;
    std::string error;
    bool saved = false;
    std::thread worker([&] {
        saved = kestrix::record::SaveRing(
            *stream, setup, seconds,
            [&](std::uint64_t n, std::uint64_t of) {
                written = n;
                total = of;
                return !cancel;
            },
            result, error);
        done = true;
    });
    while (!done) {
        if (progress.wasCanceled()) cancel = true;
        if (total != 0) {
            progress.setMaximum(int(total));
            progress.setValue(int(written));
        }
        QApplication::processEvents(QEventLoop::AllEvents, 30);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    progress.reset();
    if (!saved) {
        Tell(QString("The ring could not be saved: %1").arg(QString::fromStdString(error)),
             ViewerPrompts::Icon::Exclamation);
    } else if (cancel) {
        Tell(QString("Cancelled: the file keeps the first %1 frames.").arg(result.frames),
             ViewerPrompts::Icon::None);
    }
}
