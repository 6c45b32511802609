// A row of radio buttons whose checked index (0 first, -1 none) maps to register bits.
#pragma once

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QRadioButton>
#include <QStringList>
#include <functional>
#include <vector>

class CRadioGroup : public QObject {
    Q_OBJECT
public:
    using ClickHandler = std::function<void(int index)>;

    // Buttons are children of parent, named "radio<id>" with ids firstId, firstId + 1, ...
    // unless ids are given; they stand side by side in Layout().
    CRadioGroup(QWidget* parent, const QStringList& captions, std::vector<int> ids,
                ClickHandler onClick);

    QHBoxLayout* Layout() const { return m_layout; }
    QRadioButton* Button(int index) const { return m_buttons.at(std::size_t(index)); }
    int Index() const { return m_group->checkedId(); }
    // An index outside the group leaves no button checked.
    void SetIndex(int index);
    void SetEnabled(bool enabled);

private:
    QButtonGroup* m_group;
    QHBoxLayout* m_layout;
    std::vector<QRadioButton*> m_buttons;
};
