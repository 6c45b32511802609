// The cameras of the grid window: the camera manager on the window's thread, each camera's claim
// and format, their start together (one CameraGroup), a display pipeline per camera, one AVI
// recording per camera, and the figures each tile shows. It shows nothing and asks nothing:
// failures come back as the sentence a user should read.
//
// Threading: the window's thread only; the display threads belong to the pipelines.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "app/GridCamera.h"
#include "record/GroupRecorder.h"
#include "session/CameraGroup.h"
#include "session/CameraManager.h"

class QSocketNotifier;

class GridSession : public QObject {
    Q_OBJECT
public:
    explicit GridSession(QObject* parent = nullptr);
    ~GridSession() override;  // finishes the recordings, stops and lets every camera go

    // Opens the camera library and lists the cameras to show: indices, or every camera on the
    // bus when empty. False when the library cannot start.
    bool Open(const std::vector<int>& indices);
    std::size_t Count() const { return m_cameras.size(); }
    GridCamera& At(std::size_t tile) { return *m_cameras[tile]; }
    const GridCamera& At(std::size_t tile) const { return *m_cameras[tile]; }

    // Claims the camera and chooses its format (the one Camera Format kept for it, else one
    // that lets every tile's camera share the bus); false with its problem set.
    bool Take(std::size_t tile);
    // Lets the camera go to be shown elsewhere, `why` on its tile; the others go on streaming,
    // started again together. False when that start failed (Problem() says why).
    bool LetGo(std::size_t tile, const QString& why);

    bool Running() const { return m_group != nullptr; }
    bool Recording() const { return m_pRecorder != nullptr; }
    // Starts every camera the grid holds, in one bus cycle; false with Problem() set.
    bool Start();
    // Finishes any recording, then stops every camera; the last pictures stay.
    void Stop();
    const QString& Problem() const { return m_strProblem; }

    // The file of each streaming camera for a pattern with {camera} (its index) and {guid}; a
    // pattern without {camera} gets "-{camera}" before its extension, so no two cameras share
    // a file.
    QStringList FileNames(const QString& pattern) const;
    // The frame-set sidecar of that pattern (run-{camera}.avi -> run.sync.csv).
    static QString SyncPath(const QString& pattern);
    // Records every streaming camera into its file, in the format its name chooses, with each
    // file's frame log (unless the Setting is off) and the frame sets' sidecar; false with
    // failure set, recording nothing.
    bool StartRecording(const QString& pattern, QString& failure);
    // Finishes the files; false with failure set when a write failed or frames were dropped.
    bool StopRecording(QString& failure);

    // Measures the rates and watches the streams, twice a second; a stream the bus ended stops
    // every camera, with the reason in Problem().
    void Sample();
    // The tile's two caption lines: "0: Model · 89abcdef" and the mode, rate and drops.
    QStringList Caption(std::size_t tile) const;

signals:
    // The bus ended the streams (Sample stopped the cameras).
    void StreamsEnded();

private:
    std::optional<CameraFormatChoice> DefaultFormat(C1394Dcam& cam, int camera) const;
    kestrix::session::StreamConfig BaseConfig() const;
    // Streams counters with the recording's drops.
    std::uint64_t Drops(const GridCamera& camera) const;
    // Reports the recorded cameras' features to the recording, for its frame logs.
    void NoteFeatures();

    std::shared_ptr<kestrix::session::CameraManager> m_pManager;
    std::vector<std::unique_ptr<GridCamera>> m_cameras;
    std::unique_ptr<kestrix::session::CameraGroup> m_group;  // while running
    QSocketNotifier* m_pQueueNotifier = nullptr;
    QString m_strProblem;
    std::unique_ptr<kestrix::record::GroupRecorder> m_pRecorder;  // while recording
    std::vector<GridCamera*> m_recorded;  // the recording's cameras, in its order
};
