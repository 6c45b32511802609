// The grid window: menus, key commands, the cameras' locks and their own windows.
#include "app/CGridFrame.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QProcess>
#include <QScreen>
#include <QStatusBar>

#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "app/CAboutDlg.h"
#include "app/CCameraGrid.h"
#include "app/CommandIds.h"
#include "app/QtPrompts.h"
#include "app/SingleInstance.h"
#include "platform/Log.h"

namespace {

// Another copy of this program, on the same bus (it inherits the device directory).
bool OpenOwnWindow(int camera, qint64& pid) {
    return QProcess::startDetached(QCoreApplication::applicationFilePath(),
                                   {"--camera", QString::number(camera)}, QString(), &pid);
}

bool ProcessGone(qint64 pid) { return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH; }

}  // namespace

CGridFrame::CGridFrame(std::vector<int> cameras, std::shared_ptr<ViewerPrompts> prompts,
                       Opener opener)
    : m_wanted(std::move(cameras)),
      m_pPrompts(prompts ? std::move(prompts) : std::make_shared<QtPrompts>()),
      m_opener(opener ? std::move(opener) : Opener(OpenOwnWindow)) {
    setWindowTitle("KestrixView - Cameras");
    resize(1000, 480);
    m_pGrid = new CCameraGrid(this);
    setCentralWidget(m_pGrid);
    setFocusProxy(m_pGrid);
    m_pStatus = new QLabel("Ready", this);
    statusBar()->addWidget(m_pStatus, 1);
    m_pState = new QLabel(this);
    m_pState->setFrameShape(QFrame::Panel);
    m_pState->setFrameShadow(QFrame::Sunken);
    statusBar()->addPermanentWidget(m_pState);
    BuildMenus();
    connect(m_pGrid, &CCameraGrid::Opened, this, &CGridFrame::OnOpen);
    connect(&m_session, &GridSession::StreamsEnded, this, [this] {
        Tell(m_session.Problem(), ViewerPrompts::Icon::Exclamation);
        UpdateTiles();
    });
    m_sampler.setInterval(500);
    connect(&m_sampler, &QTimer::timeout, this, [this] {
        m_session.Sample();
        TakeBackClosed();
        UpdateTiles();
    });
}

CGridFrame::~CGridFrame() { m_session.Stop(); }

bool CGridFrame::Create() {
    if (!m_session.Open(m_wanted)) {
        Tell("Initialization of digital camera library was not completed.",
             ViewerPrompts::Icon::None);
        return false;
    }
    const std::size_t count = m_session.Count();
    m_locks.resize(count);
    m_opened.assign(count, 0);
    m_pGrid->SetTileCount(int(count));
    QStringList shown;
    for (std::size_t tile = 0; tile < count; ++tile) {
        shown << QString::number(m_session.At(tile).info.index);
        m_pGrid->At(int(tile)).pipeline = m_session.At(tile).pipeline.get();
        connect(m_session.At(tile).pipeline.get(), &DisplayPipeline::FrameShown, m_pGrid,
                [this, tile] { m_pGrid->update(m_pGrid->TileRect(int(tile))); });
        Claim(tile);
    }
    setWindowTitle(QString("KestrixView - Camera%1 %2")
                       .arg(count == 1 ? "" : "s", count == 0 ? "none" : shown.join(", ")));
    if (count == 0) m_pStatus->setText("No camera is on the bus.");
    FitToScreen();
    OnStart();
    m_sampler.start();
    UpdateTiles();
    return true;
}

QAction* CGridFrame::Action(int id) const {
    for (QAction* action : m_actions)
        if (action->data().toInt() == id) return action;
    return nullptr;
}

// ---- Menus and commands ----

void CGridFrame::AddCommand(QMenu* menu, int id, const QString& text, const QString& prompt,
                            bool checkable) {
    QAction* action = menu->addAction(text);
    action->setData(id);
    action->setStatusTip(prompt);
    action->setCheckable(checkable);
    connect(action, &QAction::triggered, this, [this, id] {
        RunCommand(id);
        UpdateCommands();
    });
    m_actions.push_back(action);
}

void CGridFrame::BuildMenus() {
    QMenu* camera = menuBar()->addMenu("Ca&mera");
    AddCommand(camera, kOpen, "&Open in Own Window\tEnter",
               "Opens the chosen camera in the single-camera window, for its dialogs");
    camera->addSeparator();
    AddCommand(camera, cmd::kExit, "E&xit", "Quit the application");
    QMenu* control = menuBar()->addMenu("&Control");
    AddCommand(control, kStartAll, "&Start All\tCtrl+Up",
               "Start transmission of every camera in the same bus cycle");
    AddCommand(control, kStopAll, "St&op All\tCtrl+Down", "Stop transmission of every camera");
    QMenu* capture = menuBar()->addMenu("Ca&pture");
    AddCommand(capture, kRecordAll, "&Record All...\tCtrl+R",
               "Record every camera into a file of its own, with the frame sets beside them; again to finish", true);
    QMenu* help = menuBar()->addMenu("&Help");
    AddCommand(help, cmd::kAbout, "&About KestrixView...", "Display program information");
    for (QMenu* menu : {camera, control, capture, help})
        connect(menu, &QMenu::aboutToShow, this, &CGridFrame::UpdateCommands);
}

bool CGridFrame::IsCommandEnabled(int id) const {
    const int current = m_pGrid->Current();
    switch (id) {
        case kOpen:
            return current >= 0 && current < int(m_session.Count()) && !m_session.Recording() &&
                   m_session.At(std::size_t(current)).place != GridCamera::Place::Missing;
        case kStartAll:
            return !m_session.Running();
        case kStopAll:
            return m_session.Running();
        case kRecordAll:
            return m_session.Running();
        case cmd::kExit:
        case cmd::kAbout:
            return true;
        default:
            return false;
    }
}

bool CGridFrame::RunCommand(int id) {
    if (!IsCommandEnabled(id)) return false;
    switch (id) {
        case kOpen:
            OnOpen(m_pGrid->Current());
            break;
        case kStartAll:
            OnStart();
            break;
        case kStopAll:
            OnStop();
            break;
        case kRecordAll:
            OnRecord();
            break;
        case cmd::kExit:
            close();
            break;
        case cmd::kAbout: {
            CAboutDlg about(this);
            about.exec();
            break;
        }
        default:
            return false;
    }
    UpdateCommands();
    UpdateTiles();
    return true;
}

void CGridFrame::UpdateCommands() {
    for (QAction* action : m_actions) {
        const int id = action->data().toInt();
        action->setEnabled(IsCommandEnabled(id));
        if (id == kRecordAll) action->setChecked(m_session.Recording());
    }
}

void CGridFrame::keyPressEvent(QKeyEvent* event) {
    // The grid moves between tiles and opens them; these reach the frame from anywhere in it.
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    int id = 0;
    if (modifiers == Qt::ControlModifier && event->key() == Qt::Key_Up) id = kStartAll;
    if (modifiers == Qt::ControlModifier && event->key() == Qt::Key_Down) id = kStopAll;
    if (modifiers == Qt::ControlModifier && event->key() == Qt::Key_R) id = kRecordAll;
    if (id == 0) {
        QMainWindow::keyPressEvent(event);
        return;
    }
    RunCommand(id);
    event->accept();
}

void CGridFrame::Tell(const QString& text, ViewerPrompts::Icon icon) {
    KX_LOG(App, Info) << "message: " << text.toStdString();
    m_pStatus->setText(text);
    m_pPrompts->Message(this, text, icon);
}

// ---- Start, stop, record ----

void CGridFrame::OnStart() {
    if (m_session.Count() == 0) return;
    if (!m_session.Start()) {
        Tell(m_session.Problem(), ViewerPrompts::Icon::Exclamation);
        return;
    }
    m_pStatus->setText("Ready");
}

void CGridFrame::OnStop() { m_session.Stop(); }

void CGridFrame::OnRecord() {
    QString failure;
    if (m_session.Recording()) {
        const bool finished = m_session.StopRecording(failure);
        if (!finished)
            Tell(failure, ViewerPrompts::Icon::Exclamation);
        else
            m_pStatus->setText("Recording finished.");
        return;
    }
    const QString pattern =
        m_pPrompts->SaveFileName(this, "Record All Cameras ({camera} becomes each camera's number)",
                                 "AVI Files (*.avi)|*.avi|SER Files (*.ser)|*.ser|"
                                 "TIFF Stacks (*.tif)|*.tif|Matroska FFV1 (*.mkv)|*.mkv||",
                                 "avi");
    if (pattern.isEmpty()) return;
    const QStringList names = m_session.FileNames(pattern);
    QStringList existing;
    for (const QString& name : names)
        if (QFileInfo::exists(name)) existing << QFileInfo(name).fileName();
    if (!existing.isEmpty() &&
        !m_pPrompts->AskYesNo(
            this,
            existing.join(", ") + (existing.size() == 1 ? " exists" : " exist") + ". Replace?"))
        return;
    if (!m_session.StartRecording(pattern, failure)) {
        Tell(failure, ViewerPrompts::Icon::Exclamation);
        return;
    }
    m_pStatus->setText("Recording into " + names.join(", ") + ", frame sets into " +
                       QFileInfo(GridSession::SyncPath(pattern)).fileName());
}

// ---- The cameras' own windows ----

bool CGridFrame::Claim(std::size_t tile) {
    GridCamera& c = m_session.At(tile);
    if (c.place == GridCamera::Place::Missing) return false;
    // Both names a copy may be started under: --camera N and --camera GUID (one without a GUID).
    std::vector<std::string> keys{SingleInstance::CameraKey(c.info.index)};
    if (c.info.guid != 0) keys.push_back(SingleInstance::CameraKey(c.info.index, c.info.guid));
    for (const std::string& key : keys) {
        auto lock = std::make_unique<SingleInstance>(key);
        if (!lock->Claim()) {
            Unlock(tile);
            c.place = GridCamera::Place::Elsewhere;
            c.problem = "Shown by another KestrixView window.";
            return false;
        }
        lock->Listen();
        connect(lock.get(), &SingleInstance::RaiseRequested, this, &CGridFrame::RaiseWindow);
        m_locks[tile].push_back(std::move(lock));
    }
    return m_session.Take(tile);
}

void CGridFrame::Unlock(std::size_t tile) { m_locks[tile].clear(); }

void CGridFrame::OnOpen(int tile) {
    if (tile < 0 || tile >= int(m_session.Count())) return;
    const std::size_t t = std::size_t(tile);
    GridCamera& c = m_session.At(t);
    if (c.place == GridCamera::Place::Missing) return;
    if (m_session.Recording()) {
        Tell("Finish the recording (Capture > Record All) before a camera leaves the grid.",
             ViewerPrompts::Icon::Exclamation);
        return;
    }
    if (c.place == GridCamera::Place::Elsewhere) {
        // Its window, or the other copy that shows it, comes to the front.
        SingleInstance(SingleInstance::CameraKey(c.info.index))
            .AskFirstToRaise(std::chrono::milliseconds(1000));
        return;
    }
    const bool restarted = m_session.LetGo(
        t, QString("Camera %1 is open in its own window; it comes back here when that window "
                   "closes.")
               .arg(c.info.index));
    Unlock(t);
    if (!restarted) Tell(m_session.Problem(), ViewerPrompts::Icon::Exclamation);
    qint64 pid = 0;
    if (!m_opener(c.info.index, pid) || pid <= 0) {
        Tell(QString("The window of camera %1 could not be started.").arg(c.info.index),
             ViewerPrompts::Icon::Exclamation);
        if (Claim(t) && m_session.Running()) {
            m_session.Stop();
            m_session.Start();
        }
        return;
    }
    m_opened[t] = pid;
    UpdateTiles();
}

void CGridFrame::TakeBackClosed() {
    for (std::size_t tile = 0; tile < m_opened.size(); ++tile) {
        // A recording would lose frames to the restart: the camera waits for its end.
        if (m_opened[tile] == 0 || m_session.Recording() || !ProcessGone(m_opened[tile])) continue;
        m_opened[tile] = 0;
        const bool running = m_session.Running();
        if (!Claim(tile) || !running) continue;
        m_session.Stop();
        if (!m_session.Start()) Tell(m_session.Problem(), ViewerPrompts::Icon::Exclamation);
    }
}

// ---- Figures ----

void CGridFrame::UpdateTiles() {
    for (std::size_t tile = 0; tile < m_session.Count(); ++tile) {
        CCameraGrid::Tile& t = m_pGrid->At(int(tile));
        const GridCamera& c = m_session.At(tile);
        t.caption = m_session.Caption(tile);
        t.notice = c.problem;
    }
    int streaming = 0;
    for (std::size_t tile = 0; tile < m_session.Count(); ++tile)
        if (m_session.At(tile).stream) ++streaming;
    m_pState->setText(m_session.Recording() ? QString(" Recording %1 cameras ").arg(streaming)
                      : m_session.Running() ? QString(" Streaming %1 cameras ").arg(streaming)
                                            : QString(" Stopped "));
    m_pGrid->update();
}

void CGridFrame::FitToScreen() {
    // Each picture whole at 1:1 when the screen has room, else all of them shrunk alike.
    QSize picture(640, 480);
    for (std::size_t tile = 0; tile < m_session.Count(); ++tile) {
        if (const auto& format = m_session.At(tile).format) {
            picture = {format->Width(), format->Height()};
            break;
        }
    }
    const QSize bars(0, menuBar()->sizeHint().height() + statusBar()->sizeHint().height());
    QSize wanted = m_pGrid->SizeFor(picture) + bars;
    if (const QScreen* display = screen()) {
        const QSize room = display->availableGeometry().size() * 0.9;
        const double scale = std::min(
            {1.0, double(room.width()) / wanted.width(), double(room.height()) / wanted.height()});
        if (scale < 1) wanted = m_pGrid->SizeFor(picture * scale) + bars;
    }
    resize(wanted);
}

void CGridFrame::RaiseWindow() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}

void CGridFrame::EndBySignal(int signal) {
    KX_LOG(App, Info) << "signal " << signal << ": the viewer ends";
    m_session.Stop();
    QApplication::exit(128 + signal);
}
