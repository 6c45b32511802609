// The grid window of `kestrixview --cameras`: every camera's live picture side by side, the
// commands for all of them at once (Start, Stop, Record), a tile opened into the single-camera
// window for its dialogs, and the single-instance lock of each camera it shows, so that no
// other copy of the program opens one of them.
//
// Threading: the window's thread only.
#pragma once

#include <QMainWindow>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

#include "app/GridSession.h"
#include "app/ViewerPrompts.h"

class CCameraGrid;
class QAction;
class QLabel;
class QMenu;
class SingleInstance;

class CGridFrame : public QMainWindow {
    Q_OBJECT
public:
    // The grid's own command ids; Exit and About are the single window's.
    static constexpr int kOpen = 32930, kStartAll = 32931, kStopAll = 32932, kRecordAll = 32933;

    // Starts the single-camera window on camera index; true with its process id, whose end
    // gives the camera back to the grid.
    using Opener = std::function<bool(int camera, qint64& pid)>;

    // cameras: the indices to show, or every camera on the bus when empty. prompts: where
    // questions go (the Qt dialogs when null); opener: another copy of this program by default.
    explicit CGridFrame(std::vector<int> cameras, std::shared_ptr<ViewerPrompts> prompts = nullptr,
                        Opener opener = {});
    ~CGridFrame() override;

    // Opens the camera library, claims the cameras no other copy shows and starts them; false
    // (after telling the user) when the library cannot start.
    bool Create();

    CCameraGrid* Grid() const { return m_pGrid; }
    GridSession& Session() { return m_session; }
    QAction* Action(int id) const;
    QLabel* StatusPane() const { return m_pStatus; }
    bool IsCommandEnabled(int id) const;
    // Runs the command when its enable rule holds; false when it did nothing.
    bool RunCommand(int id);
    // Brings the window to the front (a second copy asked).
    void RaiseWindow();
    // A termination signal: the recordings are finished and the cameras released, then the
    // program's loop ends with status 128 + signal.
    void EndBySignal(int signal);
    // Writes the tiles' captions and notices and the status pane from the session.
    void UpdateTiles();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildMenus();
    void AddCommand(QMenu* menu, int id, const QString& text, const QString& prompt,
                    bool checkable = false);
    void UpdateCommands();
    void OnOpen(int tile);
    void OnStart();
    void OnStop();
    void OnRecord();
    // Takes the camera's locks (index and GUID) and the camera; false when another copy shows
    // it.
    bool Claim(std::size_t tile);
    void Unlock(std::size_t tile);
    // Gives the cameras whose own window closed back to the grid.
    void TakeBackClosed();
    // A size that shows the tiles' pictures whole, within the screen.
    void FitToScreen();
    void Tell(const QString& text, ViewerPrompts::Icon icon);

    std::vector<int> m_wanted;
    std::shared_ptr<ViewerPrompts> m_pPrompts;
    Opener m_opener;
    GridSession m_session;
    CCameraGrid* m_pGrid;
    QLabel* m_pStatus;
    QLabel* m_pState;
    std::vector<QAction*> m_actions;
    std::vector<std::vector<std::unique_ptr<SingleInstance>>> m_locks;  // per tile
    std::vector<qint64> m_opened;  // per tile: the process of its own window, 0 when none
    QTimer m_sampler;
};
