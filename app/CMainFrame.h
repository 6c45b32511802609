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
class QAction;
class QLabel;
class QMenu;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(std::shared_ptr<ViewerPrompts> prompts = nullptr,
                        ViewRateMeter::TickSource ticks = {});

    // Opens the camera library through the view; false when the program must end.
    bool Create();

    CCameraView* View() const { return m_wndView; }
    QLabel* Pane(int index) const;
    QAction* Action(int id) const;
    QMenu* ControlMenu() const { return m_pControlMenu; }
    const std::vector<QMenu*>& Menus() const { return m_menus; }

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
    void FitToImage();
    QSize FrameDecoration() const;

    CCameraView* m_wndView;
    QLabel* m_pReady;
    QLabel* m_panes[3];
    QMenu* m_pControlMenu = nullptr;
    std::vector<QMenu*> m_menus;
    std::vector<QAction*> m_actions;
};
