// The main frame: the program's only top-level window, with the menu bar and its commands, the
// camera view as its single pane, the status bar's three panes, and the size limits that keep
// it between 320 pixels wide and the size that shows the whole image.
#pragma once

#include <QMainWindow>

#include <memory>
#include <vector>

#include "app/ViewRateMeter.h"
#include "app/ViewerPrompts.h"

class CCameraView;
class FeaturesDock;
class QAction;
class QDockWidget;
class QLabel;
class QMenu;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(std::shared_ptr<ViewerPrompts> prompts = nullptr,
                        ViewRateMeter::TickSource ticks = {});
    ~CMainFrame() override;  // keeps which docks show for the next run

    // Opens the camera library through the view; false when the program must end.
    bool Create();

    CCameraView* View() const { return m_wndView; }
    // 0: prompts, 1..3: buffer index, view rate, capture, 4: pixel value.
    QLabel* Pane(int index) const;
    QAction* Action(int id) const;
    QMenu* ControlMenu() const { return m_pControlMenu; }
    FeaturesDock* Features() const { return m_pFeatures; }
    const std::vector<QMenu*>& Menus() const { return m_menus; }
    QMenu* ViewMenu() const { return m_pViewMenu; }
    // The dock a View command toggles; null for other ids.
    QDockWidget* Dock(int id) const;
    // Full screen shows only the picture (and the docks); F11 or Escape leaves it.
    void SetFullScreen(bool on);

    // Writes panes 1 to 3 from the view's state.
    void UpdateStatusBar();
    // Enables and checks every command from the view's state.
    void UpdateCommands();
    // The limits of the frame's size: the image size while connected, 1280 x 1024 otherwise,
    // plus decorations.
    QSize MaximumFrameSize() const;
    QSize MinimumFrameSize() const;
    // Brings this copy to the front (a second copy asked).
    void RaiseWindow();
    // A termination signal arrived: the recording is finished and the camera released, then
    // the program's loop ends with status 128 + signal.
    void EndBySignal(int signal);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    void BuildMenus();
    QMenu* AddMenu(QWidget* parent, const QString& title);
    void AddCommand(QMenu* menu, int id, const QString& text, const QString& prompt,
                    bool checkable = false);
    void OnCommand(int id);
    void UpdateSizeLimits();
    void BuildViewMenu();
    // A check item in the View menu that shows and hides `dock`, at the right of the view.
    void AddDock(QMenu* menu, int id, const QString& text, const QString& prompt,
                 QDockWidget* dock, bool shown);
    // Width the docks beside the view take.
    QSize DockExtent() const;
    void FitToImage();
    QSize FrameDecoration() const;

    CCameraView* m_wndView;
    QLabel* m_pReady;
    QLabel* m_panes[3];
    QLabel* m_pPixelPane;
    QMenu* m_pControlMenu = nullptr;
    FeaturesDock* m_pFeatures;
    QMenu* m_pViewMenu = nullptr;
    std::vector<std::pair<int, QDockWidget*>> m_docks;
    bool m_bWasMaximized = false;  // before full screen
    std::vector<QMenu*> m_menus;
    std::vector<QAction*> m_actions;
};
