// The histogram dock and its plot.
#include "app/HistogramDock.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "app/CCameraView.h"

namespace {

class HistogramPlot : public QWidget {
public:
    HistogramPlot(const CCameraView& view, const QComboBox& channel, const QCheckBox& log)
        : m_view(view), m_channel(channel), m_log(log) {
        setMinimumSize(Histogram::kBins, 100);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::black);
        const auto& histogram = m_view.LastHistogram();
        if (!histogram) return;
        const auto channel = Histogram::Channel(m_channel.currentIndex());
        const auto& bins = histogram->Bins(channel);
        const bool log = m_log.isChecked();
        auto height = [log](std::uint32_t count) { return log ? std::log1p(count) : count; };
        const double top = height(*std::max_element(bins.begin(), bins.end()));
        if (top <= 0) return;
        const QColor colours[] = {Qt::red, Qt::green, QColor(80, 120, 255), Qt::white};
        painter.setPen(colours[channel]);
        const double step = double(width()) / Histogram::kBins;
        for (int i = 0; i < Histogram::kBins; ++i) {
            const int bar = int(std::lround(height(bins[std::size_t(i)]) / top * (this->height() - 1)));
            const int x0 = int(i * step), x1 = std::max(int((i + 1) * step) - 1, x0);
            painter.fillRect(QRect(QPoint(x0, this->height() - bar), QPoint(x1, this->height() - 1)),
                             colours[channel]);
        }
    }

private:
    const CCameraView& m_view;
    const QComboBox& m_channel;
    const QCheckBox& m_log;
};

}  // namespace

HistogramDock::HistogramDock(QWidget* parent, CCameraView* view)
    : QDockWidget("Histogram", parent),
      m_pView(view),
      m_pChannel(new QComboBox),
      m_pLog(new QCheckBox("&Log scale")),
      m_pOverlay(new QCheckBox("Show &overexposure")),
      m_pClipped(new QLabel) {
    setObjectName("Histogram");
    m_pChannel->addItems({"Red", "Green", "Blue", "Luminance"});
    ViewOptions& options = view->Options();
    m_pChannel->setCurrentIndex(options.histogramChannel);
    m_pLog->setChecked(options.histogramLog);
    m_pOverlay->setChecked(options.overexposure);
    m_pPlot = new HistogramPlot(*view, *m_pChannel, *m_pLog);

    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->addWidget(m_pChannel);
    layout->addWidget(m_pPlot, 1);
    layout->addWidget(m_pClipped);
    layout->addWidget(m_pLog);
    layout->addWidget(m_pOverlay);
    setWidget(body);

    connect(m_pChannel, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_pView->Options().histogramChannel = index;
        Refresh();
    });
    connect(m_pLog, &QCheckBox::toggled, this, [this](bool on) {
        m_pView->Options().histogramLog = on;
        Refresh();
    });
    connect(m_pOverlay, &QCheckBox::toggled, m_pView, &CCameraView::SetOverexposure);
    connect(view, &CCameraView::HistogramUpdated, this, &HistogramDock::Refresh);
    connect(this, &QDockWidget::visibilityChanged, view, &CCameraView::SetHistogramWanted);
    Refresh();
}

QString HistogramDock::ClippedText() const {
    const auto& histogram = m_pView->LastHistogram();
    if (!histogram || histogram->Pixels() == 0) return "Clipped: dark --- %  bright --- %";
    const auto channel = Histogram::Channel(m_pChannel->currentIndex());
    const double pixels = double(histogram->Pixels());
    return QString::asprintf("Clipped: dark %.2f %%  bright %.2f %%",
                             100.0 * double(histogram->Low(channel)) / pixels,
                             100.0 * double(histogram->High(channel)) / pixels);
}

void HistogramDock::Refresh() {
    m_pClipped->setText(ClippedText());
    m_pPlot->update();
}
