// The main frame: menus, key commands, status bar and size limits.
#include "app/CMainFrame.h"

#include <QAction>
#include <QApplication>
#include <QDockWidget>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>

#include <algorithm>

#include "app/CAboutDlg.h"
#include "app/CCameraView.h"
#include "app/CommandIds.h"
#include "app/FeaturesDock.h"
#include "app/HistogramDock.h"
#include "app/StatisticsDock.h"
#include "platform/Log.h"

namespace {

constexpr int kMinimumWidth = 320;
constexpr QSize kUnconnectedImage{1280, 1024};

}  // namespace

CMainFrame::CMainFrame(std::shared_ptr<ViewerPrompts> prompts, ViewRateMeter::TickSource ticks) {
    setWindowTitle("KestrixView");
    resize(640, 480);
    m_wndView = new CCameraView(this, std::move(prompts), std::move(ticks));
    setCentralWidget(m_wndView);
    setFocusProxy(m_wndView);

    m_pReady = new QLabel("Ready", this);
    statusBar()->addWidget(m_pReady, 1);
    const QStringList texts[3] = {{" Buffer Index 9999/9999 ", " Buffer Index ----/---- "},
                                  {" View Rate 999.999 fps ", " View Rate: no frames "},
                                  {" Capture 000000 ", " Capture ------ "}};
    for (int i = 0; i < 3; ++i) {
        m_panes[i] = new QLabel(texts[i].front(), this);
        m_panes[i]->setFrameShape(QFrame::Panel);
        m_panes[i]->setFrameShadow(QFrame::Sunken);
        int width = 0;
        for (const QString& text : texts[i])
            width = std::max(width, m_panes[i]->fontMetrics().horizontalAdvance(text) + 8);
        // A fixed size keeps the status bar from laying itself out again at every frame.
        m_panes[i]->setFixedSize(width, m_panes[i]->sizeHint().height());
        m_panes[i]->clear();
        statusBar()->addPermanentWidget(m_panes[i]);
    }
    // The pixel value: shown only while its View item is checked.
    m_pPixelPane = new QLabel(this);
    m_pPixelPane->setFrameShape(QFrame::Panel);
    m_pPixelPane->setFrameShadow(QFrame::Sunken);
    m_pPixelPane->setMinimumWidth(
        m_pPixelPane->fontMetrics().horizontalAdvance(" X 0000 Y 0000  R 00000 G 00000 B 00000 "));
    statusBar()->addPermanentWidget(m_pPixelPane);
    m_pPixelPane->setVisible(m_wndView->Options().pixelValue);
    connect(m_wndView, &CCameraView::PixelValueChanged, m_pPixelPane, &QLabel::setText);
    connect(m_wndView, &CCameraView::SnapshotSaved, this,
            [this](const QString& path) { statusBar()->showMessage("Saved " + path, 5000); });
    statusBar()->setSizeGripEnabled(false);
    m_pFeatures = new FeaturesDock(this);
    addDockWidget(Qt::RightDockWidgetArea, m_pFeatures);
    BuildMenus();

    connect(m_wndView, &CCameraView::Painted, this, &CMainFrame::UpdateStatusBar);
    connect(m_wndView, &CCameraView::FeaturesWanted, this,
            [this] { m_pFeatures->Toggle(m_wndView->Camera(), m_wndView->m_nCamera); });
    connect(m_wndView, &CCameraView::StateChanged, this, [this] {
        if (!m_wndView->m_bConnected) m_pFeatures->Drop();
        m_pPixelPane->setVisible(m_wndView->Options().pixelValue);
        UpdateCommands();
        UpdateStatusBar();
        UpdateSizeLimits();
    });
    connect(m_wndView, &CCameraView::ImageSizeChanged, this, &CMainFrame::FitToImage);
    // Paints drive the panes; this also shows a picture that stopped moving.
    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, &CMainFrame::UpdateStatusBar);
    refresh->start(500);
    UpdateCommands();
    UpdateStatusBar();
    UpdateSizeLimits();
}

CMainFrame::~CMainFrame() {
    m_wndView->Options().histogram = Dock(cmd::kHistogram)->isVisibleTo(this);
    m_wndView->Options().statistics = Dock(cmd::kStatistics)->isVisibleTo(this);
    // Hiding the docks while the frame goes must not reach the menus or the view.
    for (const auto& [id, dock] : m_docks) dock->disconnect();
}

bool CMainFrame::Create() { return m_wndView->Create(); }

QDockWidget* CMainFrame::Dock(int id) const {
    for (const auto& [dockId, dock] : m_docks)
        if (dockId == id) return dock;
    return nullptr;
}

QLabel* CMainFrame::Pane(int index) const {
    return index == 0 ? m_pReady : index == 4 ? m_pPixelPane : m_panes[index - 1];
}

QAction* CMainFrame::Action(int id) const {
    for (QAction* action : m_actions)
        if (action->data().toInt() == id) return action;
    return nullptr;
}

// ---- Menus and commands ----

QMenu* CMainFrame::AddMenu(QWidget* parent, const QString& title) {
    QMenu* menu = parent == menuBar() ? menuBar()->addMenu(title)
                                      : static_cast<QMenu*>(parent)->addMenu(title);
    // Enable rules are evaluated when a menu opens.
    connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommands);
    m_menus.push_back(menu);
    return menu;
}

void CMainFrame::AddCommand(QMenu* menu, int id, const QString& text, const QString& prompt,
                            bool checkable) {
    QAction* action = menu->addAction(text);
    action->setData(id);
    // The part before a line break is the status prompt, the rest a tool tip.
    const qsizetype newline = prompt.indexOf('\n');
    action->setStatusTip(prompt.left(newline));
    if (newline >= 0) action->setToolTip(prompt.mid(newline + 1));
    action->setCheckable(checkable);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    m_actions.push_back(action);
}

void CMainFrame::BuildMenus() {
    QMenu* camera = AddMenu(menuBar(), "Ca&mera");
    AddCommand(camera, cmd::kConnect, "&Connect", "Connects with the camera");
    AddCommand(camera, cmd::kFormat, "&Format...",
               "Chooses the camera and its video format for the next Connect");
    AddCommand(camera, cmd::kRelease, "&Release", "Release form the camera");
    camera->addSeparator();
    AddCommand(camera, cmd::kExit, "E&xit", "Quit the application\nExit");

    QMenu* control = m_pControlMenu = AddMenu(menuBar(), "&Control");
    AddCommand(control, cmd::kStart, "&Start\t[Up]", "Start transmission of image");
    AddCommand(control, cmd::kStop, "St&op\t[Down]", "Stop transmission of image");
    AddCommand(control, cmd::kOneShot, "OneShot\t[Ctrl_S]", " Start One-Shot");
    control->addSeparator();
    AddCommand(control, cmd::kNext, "Ne&xt\t[Right]", "Draw next captured image");
    AddCommand(control, cmd::kPrevious, "Pre&vious\t[Left]", "Draw previous captured image");
    control->addSeparator();
    AddCommand(control, cmd::kParameters, "&Parameters", "Start dialog for parameters");
    AddCommand(control, cmd::kParameters2, "Parameters&2", "Start dialog for parameters2");
    AddCommand(control, cmd::kParameters3, "Parameters&3", "Start dialog for parameters3");
    AddCommand(control, cmd::kParameters4, "Parameters&4", "Start dialog for parameters4");
    AddCommand(control, cmd::kFeatures, "&Features\tCtrl+E",
               "Show or hide the camera's features in real units, its trigger and memory channels");
    m_wndView->SetContextMenu(control);

    QMenu* capture = AddMenu(menuBar(), "Ca&pture");
    QMenu* still = AddMenu(capture, "Still Captrue");
    AddCommand(still, cmd::kStillBitmap, "&Bitmap", "Save at the file of bitmap form");
    AddCommand(still, cmd::kStillJpeg, "&Jpeg", "Save at the file of jpeg form");
    QMenu* video = AddMenu(capture, "Video Capture");
    AddCommand(video, cmd::kAviOpen, "&Open", "Configure environment of capturing ");
    AddCommand(video, cmd::kAviClose, "&Close", "Quit capturing");
    video->addSeparator();
    AddCommand(video, cmd::kAviStart, "&Start", "Start capturing");
    AddCommand(video, cmd::kAviStop, "St&op", "Stop capturing");
    capture->addSeparator();
    AddCommand(capture, cmd::kRecordAs, "Record &As...",
               "Record into SER, TIFF, MKV, AVI or an image sequence; again: stop", true);
    AddCommand(capture, cmd::kSaveRingAs, "Save &Ring As...",
               "Save the frames the ring holds into SER, TIFF, MKV, AVI or an image sequence");

    QMenu* setting = AddMenu(menuBar(), "&Setting");
    auto group = [&](const QString& title, int first, std::initializer_list<const char*> texts,
                     const QString& prompt) {
        QMenu* menu = AddMenu(setting, title);
        int id = first;
        for (const char* text : texts) AddCommand(menu, id++, text, prompt, true);
    };
    group("&Speed", cmd::kSpeedFirst, {"100Mbps", "200Mbps", "400Mbps [Dafault]"},
          "Choose the speed of IEEE1394 bus");
    group("&Buffer Size", cmd::kBufferFirst,
          {"10%", "20%", "30%", "40%", "50%", "60%", "70%", "80%", "90%"},
          "Choose the rate of the ring-buffer in an available physical memory");
    group("&Access Unit", cmd::kAccessFirst,
          {"4 Byte [Default]", "8 Byte", "16 Byte", "32 Byte", "64 Byte", "128 Byte"},
          "Choose the unit size of asynchronous transmission");
    group("Stream &Mode", cmd::kStreamFirst, {"Stream Mode [Dafault]", "Packet Mode"},
          "Choose the mode of isochronous transmission");
    group("Sync Mode", cmd::kSyncFirst, {"No Sync", "SY Bit"},
          "Choose the synchronous mode of frame data");
    group("Raw AVI &FourCC", cmd::kFourCCFirst, {"Camera [Default]", "Standard"},
          "Choose the FourCC of raw AVI files: the camera maker's, or the one players decode");
    AddCommand(setting, cmd::kFrameLog, "Frame &Log",
               "Write each frame's times and the feature changes beside Record As and Save Ring As",
               true);

    BuildViewMenu();

    QMenu* help = AddMenu(menuBar(), "&Help");
    AddCommand(help, cmd::kAbout, "&About KestrixView...", "Display program information");
}

void CMainFrame::BuildViewMenu() {
    QMenu* view = m_pViewMenu = AddMenu(menuBar(), "&View");
    AddCommand(view, cmd::kZoomIn, "Zoom &In\tCtrl++", "Enlarge the picture");
    AddCommand(view, cmd::kZoomOut, "Zoom &Out\tCtrl+-", "Reduce the picture");
    AddCommand(view, cmd::kActualSize, "&Actual Size\tCtrl+0",
               "Show the picture one image pixel to one screen pixel");
    AddCommand(view, cmd::kFitToWindow, "&Fit to Window\tCtrl+F",
               "Fit the whole picture into the window", true);
    AddCommand(view, cmd::kFullScreen, "F&ull Screen\tF11",
               "Show the picture on the whole screen (Escape leaves)", true);
    view->addSeparator();
    const ViewOptions& options = m_wndView->Options();
    AddDock(view, cmd::kHistogram, "&Histogram", "Show or hide the histogram",
            new HistogramDock(this, m_wndView), options.histogram);
    AddDock(view, cmd::kStatistics, "S&tatistics", "Show or hide the capture statistics",
            new StatisticsDock(this, m_wndView), options.statistics);
    // The same command as Control > Features, checked while its dock shows.
    AddCommand(view, cmd::kFeatures, "F&eatures\tCtrl+E",
               "Show or hide the camera's features in real units, its trigger and memory channels",
               true);
    AddCommand(view, cmd::kPixelValue, "&Pixel Value",
               "Show the position and value of the pixel under the pointer", true);
    view->addSeparator();
    AddCommand(view, cmd::kSnapshot, "&Snapshot\tF12", "Save the picture shown");
    AddCommand(view, cmd::kSnapshotSettings, "Snapshot Settin&gs...",
               "Choose the folder and the format of snapshots");
}

void CMainFrame::AddDock(QMenu* menu, int id, const QString& text, const QString& prompt,
                         QDockWidget* dock, bool shown) {
    addDockWidget(Qt::RightDockWidgetArea, dock);
    dock->setVisible(shown);
    m_docks.emplace_back(id, dock);
    AddCommand(menu, id, text, prompt, true);
    connect(dock, &QDockWidget::visibilityChanged, this, [this] {
        UpdateCommands();
        UpdateSizeLimits();
    });
}

void CMainFrame::UpdateCommands() {
    for (QAction* action : m_actions) {
        const int id = action->data().toInt();
        action->setEnabled(m_wndView->IsCommandEnabled(id));
        if (!action->isCheckable()) continue;
        if (QDockWidget* dock = Dock(id))
            action->setChecked(dock->isVisibleTo(this));
        else if (id == cmd::kFullScreen)
            action->setChecked(isFullScreen());
        else if (id == cmd::kFeatures)
            action->setChecked(m_pFeatures->isVisibleTo(this));
        else
            action->setChecked(m_wndView->IsCommandChecked(id));
    }
}

void CMainFrame::SetFullScreen(bool on) {
    if (on == isFullScreen()) return;
    menuBar()->setVisible(!on);
    statusBar()->setVisible(!on);
    if (on) {
        m_bWasMaximized = isMaximized();
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        showFullScreen();
    } else if (m_bWasMaximized) {
        showMaximized();
    } else {
        showNormal();
    }
    if (!on) UpdateSizeLimits();
    UpdateCommands();
}

void CMainFrame::OnCommand(int id) {
    // The view gets every command first; what it does not handle is the frame's.
    if (m_wndView->RunCommand(id)) {
        UpdateCommands();
        return;
    }
    if (QDockWidget* dock = Dock(id)) {
        dock->setVisible(!dock->isVisibleTo(this));
    } else if (id == cmd::kFullScreen) {
        SetFullScreen(!isFullScreen());
    } else if (id == cmd::kExit) {
        close();
    } else if (id == cmd::kAbout) {
        CAboutDlg about(this);
        about.exec();
    }
    UpdateCommands();
}

void CMainFrame::keyPressEvent(QKeyEvent* event) {
    // Key commands reach the view also while the focus is elsewhere in the frame.
    if (m_wndView->HandleKey(event->key(), event->modifiers())) {
        event->accept();
        return;
    }
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (event->key() == Qt::Key_F11 ||
                  (event->key() == Qt::Key_Escape && isFullScreen()))) {
        SetFullScreen(event->key() == Qt::Key_F11 && !isFullScreen());
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void CMainFrame::focusInEvent(QFocusEvent* event) {
    QMainWindow::focusInEvent(event);
    m_wndView->setFocus();
}

// ---- Status bar ----

void CMainFrame::UpdateStatusBar() {
    const CCameraView& v = *m_wndView;
    QString index = " Buffer Index ----/---- ";
    QString rate = " View Rate ---.--- fps ";
    QString capture = " Capture ------ ";
    if (v.m_bConnected) {
        index = v.m_nCurrentIndex < 0
                    ? QString::asprintf(" Buffer Index ----/%04d ", v.m_nBufferCount - 1)
                    : QString::asprintf(" Buffer Index %04d/%04d ", v.m_nCurrentIndex,
                                        v.m_nBufferCount - 1);
        if (v.m_bStreaming && v.m_fViewRate >= 0 && m_wndView->Pipeline().RateIsStale())
            rate = " View Rate: no frames ";
        else if (v.m_fViewRate >= 0)
            rate = QString::asprintf(" View Rate %.03f fps ", double(v.m_fViewRate));
        if (v.m_bAviOpen) capture = QString::asprintf(" Capture %06d ", v.m_nAviFrames);
        if (m_wndView->Session().RecordingAs()) {
            const auto figures = m_wndView->Session().RecordAsFigures();
            capture = QString::asprintf(" Record %06llu ", (unsigned long long)figures.frames);
            if (figures.dropped != 0)
                capture += QString::asprintf("%llu dropped ", (unsigned long long)figures.dropped);
        }
    }
    const QString texts[3] = {index, rate, capture};
    for (int i = 0; i < 3; ++i)
        if (m_panes[i]->text() != texts[i]) m_panes[i]->setText(texts[i]);
}

// ---- Size ----

QSize CMainFrame::FrameDecoration() const {
    // Menu bar, status bar, and the view's own border and scroll bars.
    const int bars = menuBar()->sizeHint().height() + statusBar()->sizeHint().height();
    return m_wndView->Decoration() + QSize(0, bars) + DockExtent();
}

QSize CMainFrame::DockExtent() const {
    int width = 0;
    for (const auto& [id, dock] : m_docks) {
        if (dock->isVisibleTo(this) && !dock->isFloating())
            width = std::max(width, std::max(dock->width(), dock->minimumSizeHint().width()));
    }
    if (width == 0) return {0, 0};
    return {width + style()->pixelMetric(QStyle::PM_DockWidgetSeparatorExtent, nullptr, this),
            0};
}

QSize CMainFrame::MaximumFrameSize() const {
    // Fitting follows the window up to the image's own size; a fixed zoom shows it whole.
    const QSize image = !m_wndView->m_bConnected ? kUnconnectedImage
                        : m_wndView->Zoom().Fitting()
                            ? QSize(m_wndView->m_nImageWidth, m_wndView->m_nImageHeight)
                            : m_wndView->ShownSize();
    return FrameDecoration() + image;
}

QSize CMainFrame::MinimumFrameSize() const {
    return {kMinimumWidth, FrameDecoration().height() + 16};
}

void CMainFrame::UpdateSizeLimits() {
    if (isFullScreen()) return;
    // A frame larger than the new limit shrinks in the exceeding direction only.
    setMinimumSize(MinimumFrameSize());
    setMaximumSize(MaximumFrameSize());
}

void CMainFrame::FitToImage() {
    const bool maximized = isMaximized();
    if (maximized) showNormal();
    UpdateSizeLimits();
    // A maximized frame ends exactly fitting the image.
    if (maximized) resize(MaximumFrameSize());
    m_wndView->UpdateScrollBars();
}

void CMainFrame::EndBySignal(int signal) {
    KX_LOG(App, Info) << "signal " << signal << ": the viewer ends";
    if (m_wndView->m_bConnected) m_wndView->Release();
    QApplication::exit(128 + signal);
}

void CMainFrame::RaiseWindow() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}
