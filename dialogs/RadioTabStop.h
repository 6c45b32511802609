// Makes a radio group one tab stop: Tab lands on the checked button (the first enabled one while
// none is checked or the checked one is greyed out) and leaves the group with the next Tab; the
// arrow keys move and choose within it. Without it Tab visits every button, and a keyboard user
// passing through a group lands on choices that are not the group's.
//
// Threading: the GUI thread only.
#pragma once

#include <QButtonGroup>

class RadioTabStop : public QObject {
    Q_OBJECT
public:
    // For the buttons the group holds now; the helper lives as long as the group.
    static void Apply(QButtonGroup* group);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit RadioTabStop(QButtonGroup* group);
    void Update();

    QButtonGroup* m_group;
};
