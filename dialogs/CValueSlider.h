// A trackbar with the value label beside it: user moves relabel and report, set-ups do not.
#pragma once

#include <QLabel>
#include <QObject>
#include <QSlider>
#include <functional>

class CValueSlider : public QObject {
    Q_OBJECT
public:
    struct Range {
        int minimum = 0;
        int maximum = 255;
        int page = 10;
        int tick = 16;
    };
    using Formatter = std::function<QString(int)>;
    using MoveHandler = std::function<void(int position)>;

    // Slider and label are children of parent; they are named "slider<id>" and "label<id>".
    CValueSlider(QWidget* parent, int sliderId, int labelId, const Range& range, MoveHandler onMove,
                 Formatter format = {});

    QSlider* Slider() const { return m_slider; }
    QLabel* Label() const { return m_label; }
    // The position the user left the thumb at (already current while a move is reported).
    int Position() const { return m_slider->sliderPosition(); }
    // Shows a value read from the camera: position and label, no report.
    void Show(int value);
    void SetEnabled(bool enabled);

private:
    void OnAction(int action);

    QSlider* m_slider;
    QLabel* m_label;
    MoveHandler m_onMove;
    Formatter m_format;
};
