// Showing and writing one feature.
#include "dialogs/CFeatureRow.h"

#include <QSignalBlocker>

#include "camera/IidcRegisters.h"

using namespace camera::iidc;

namespace {

constexpr const char* kNames[FeatureAccess::kFeatureCount] = {
    "Brightness", "Auto exposure",  "Sharpness", "White balance", "Hue",
    "Saturation", "Gamma",          "Shutter",   "Gain",          "Iris",
    "Focus",      "Temperature",    "Trigger",   "Zoom",          "Pan",
    "Tilt",       "Optical filter", "Frame rate"};
constexpr int kWhiteBalance = 3;
constexpr int kShutter = 7;
constexpr const char* kModeTexts[] = {"Manual", "Auto", "One-push", "Off"};

QString Name(const char* kind, int feature) {
    return QStringLiteral("%1%2").arg(kind).arg(feature);
}

}  // namespace

CFeatureRow::CFeatureRow(QWidget* parent, QGridLayout* grid, int row, FeatureAccess& access,
                         int feature, const FeatureAccess::Offer& offer)
    : QObject(parent), m_access(access), m_nFeature(feature), m_offer(offer) {
    grid->addWidget(new QLabel(kNames[feature], parent), row, 0);
    m_mode = new QComboBox(parent);
    m_mode->setObjectName(Name("mode", feature));
    const bool offered[] = {offer.manual || offer.readout, offer.automatic, offer.onePush,
                            offer.onOff};
    for (int mode = kModeManual; mode <= kModeOff; ++mode) {
        if (offered[mode]) m_mode->addItem(kModeTexts[mode], mode);
    }
    grid->addWidget(m_mode, row, 1);
    connect(m_mode, &QComboBox::activated, this, &CFeatureRow::OnMode);

    const bool pair = feature == kWhiteBalance;
    if (pair) m_high = AddValue(grid, row++, "U/B", "high", m_highSlider);
    m_value = AddValue(grid, row, pair ? "V/R" : "", "value", m_slider);
    if (!offer.absolute) return;
    m_absolute = new QDoubleSpinBox(parent);
    m_absolute->setObjectName(Name("absolute", feature));
    m_absolute->setKeyboardTracking(false);
    const double factor = ShownPerUnit();
    m_absolute->setDecimals(3);
    m_absolute->setRange(offer.absoluteMin * factor, offer.absoluteMax * factor);
    m_absolute->setSuffix(QString(" ") + (feature == kShutter ? "ms" : offer.unit));
    grid->addWidget(m_absolute, row, 5);
    connect(m_absolute, &QDoubleSpinBox::valueChanged, this, &CFeatureRow::OnAbsolute);
}

QSpinBox* CFeatureRow::AddValue(QGridLayout* grid, int row, const QString& caption,
                                const char* kind, QSlider*& slider) {
    QWidget* parent = m_mode->parentWidget();
    if (!caption.isEmpty()) grid->addWidget(new QLabel(caption, parent), row, 2);
    slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(Name(QString(kind) == "high" ? "highslider" : "slider", m_nFeature));
    slider->setRange(int(m_offer.rawMin), int(m_offer.rawMax));
    // Written when the thumb is let go or stepped by a key, not on every pixel of a drag.
    slider->setTracking(false);
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(Name(kind, m_nFeature));
    spin->setRange(int(m_offer.rawMin), int(m_offer.rawMax));
    spin->setKeyboardTracking(false);
    grid->addWidget(slider, row, 3);
    grid->addWidget(spin, row, 4);
    connect(slider, &QSlider::valueChanged, spin, &QSpinBox::setValue);
    connect(spin, &QSpinBox::valueChanged, this, &CFeatureRow::OnRaw);
    return spin;
}

bool CFeatureRow::Read() {
    FeatureAccess::State state;
    if (!m_access.Read(m_nFeature, state)) return false;
    Show(state);
    return true;
}

bool CFeatureRow::Adjusting() const {
    return m_state.on && (m_state.automatic || (m_state.control & kOnePush));
}

void CFeatureRow::Show(const FeatureAccess::State& state) {
    m_state = state;
    const Mode mode = !state.on && m_offer.onOff   ? kModeOff
                      : (state.control & kOnePush) ? kModeOnePush
                      : state.automatic            ? kModeAuto
                                                   : kModeManual;
    const QSignalBlocker blockMode(m_mode), blockValue(m_value), blockSlider(m_slider);
    m_mode->setCurrentIndex(std::max(0, m_mode->findData(mode)));
    m_value->setValue(int(state.value));
    m_slider->setValue(int(state.value));
    const bool byHand = mode == kModeManual && m_offer.manual;
    m_value->setEnabled(byHand);
    m_slider->setEnabled(byHand);
    m_mode->setEnabled(m_mode->count() > 1);
    if (m_high != nullptr) {
        const QSignalBlocker blockHigh(m_high), blockHighSlider(m_highSlider);
        m_high->setValue(int(state.high));
        m_highSlider->setValue(int(state.high));
        m_high->setEnabled(byHand);
        m_highSlider->setEnabled(byHand);
    }
    if (m_absolute != nullptr) {
        const QSignalBlocker blockAbsolute(m_absolute);
        if (state.absolute) m_absolute->setValue(*state.absolute * ShownPerUnit());
        m_absolute->setEnabled(byHand);
    }
}

void CFeatureRow::WriteControl(FeatureAccess::DWORD control) {
    // Whatever the camera made of it, or kept when the write failed, is shown.
    m_access.WriteControl(m_nFeature, control | kBit31);
    Read();
}

void CFeatureRow::OnMode(int index) {
    const FeatureAccess::DWORD current = m_state.control & ~kOnePush;
    switch (m_mode->itemData(index).toInt()) {
        case kModeManual:
            return WriteControl((current | kOn) & ~kAuto);
        case kModeAuto:
            return WriteControl(current | kOn | kAuto);
        case kModeOnePush:
            return WriteControl((current | kOn | kOnePush) & ~kAuto);
        default:
            return WriteControl(current & ~kOn);
    }
}

void CFeatureRow::OnRaw() {
    // A raw value leaves absolute control, where the camera would ignore it.
    FeatureAccess::DWORD control =
        (m_state.control & ~(kAbsoluteControl | kAuto | kOnePush | kHighValue | kValue)) | kOn |
        FeatureAccess::DWORD(m_value->value());
    if (m_high != nullptr) control |= FeatureAccess::DWORD(m_high->value()) << 12;
    WriteControl(control);
}

void CFeatureRow::OnAbsolute(double shown) {
    m_access.WriteAbsolute(m_nFeature, float(shown / ShownPerUnit()));
    Read();
}

double CFeatureRow::ShownPerUnit() const { return m_nFeature == kShutter ? 1000.0 : 1.0; }
