// Trackbar behaviour on QSlider: line, page and drag moves write; Home and End only move.
#include "dialogs/CValueSlider.h"

#include <utility>

CValueSlider::CValueSlider(QWidget* parent, int sliderId, int labelId, const Range& range,
                           MoveHandler onMove, Formatter format)
    : QObject(parent),
      m_slider(new QSlider(Qt::Horizontal, parent)),
      m_label(new QLabel(parent)),
      m_onMove(std::move(onMove)),
      m_format(format ? std::move(format) : [](int v) { return QString::number(v); }) {
    m_slider->setObjectName(QStringLiteral("slider%1").arg(sliderId));
    m_label->setObjectName(QStringLiteral("label%1").arg(labelId));
    m_slider->setRange(range.minimum, range.maximum);
    m_slider->setSingleStep(1);
    m_slider->setPageStep(range.page);
    m_slider->setTickInterval(range.tick);
    m_slider->setTickPosition(QSlider::TicksBelow);
    m_label->setMinimumWidth(m_label->fontMetrics().horizontalAdvance(QStringLiteral("00000")));
    m_label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connect(m_slider, &QSlider::actionTriggered, this, &CValueSlider::OnAction);
}

void CValueSlider::Show(int value) {
    m_slider->setValue(value);
    m_label->setText(m_format(value));
}

void CValueSlider::SetEnabled(bool enabled) {
    m_slider->setEnabled(enabled);
    m_label->setEnabled(enabled);
}

void CValueSlider::OnAction(int action) {
    // A trackbar sends top and bottom (Home, End) without a line or page code: the camera is
    // told nothing and the label keeps its text.
    if (action == QAbstractSlider::SliderNoAction || action == QAbstractSlider::SliderToMinimum ||
        action == QAbstractSlider::SliderToMaximum)
        return;
    const int position = Position();
    m_label->setText(m_format(position));
    if (m_onMove) m_onMove(position);
}
