// The "VIDEO SETTING" dialog and the rate rules of each image size and colour.
#include "app/CVideoSettingDlg.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <array>

#include "dialogs/RadioTabStop.h"

namespace {

constexpr std::array<const char*, 4> kSizes{"640 x 480", "800 x 600", "1024 x 768", "1360 x 1024"};
constexpr std::array<const char*, 2> kColors{"RGB", "YUV4:2:2"};
constexpr std::array<const char*, 4> kRates{"1.875fps", "3.75fps", "7.5fps", "15fps"};
constexpr int kRate1875 = 0, kRate375 = 1, kRate75 = 2, kRate15 = 3;

// Mode index by size, then colour (RGB, YUV4:2:2).
constexpr int kModes[4][2] = {{4, 3}, {9, 8}, {12, 11}, {24, 24}};
constexpr int kWidths[4] = {640, 800, 1024, 1360};
constexpr int kHeights[4] = {480, 600, 768, 1024};

template <std::size_t N>
QButtonGroup* AddGroup(QDialog* dialog, QBoxLayout* into, const char* caption,
                       const std::array<const char*, N>& texts, bool vertical) {
    auto* box = new QGroupBox(caption, dialog);
    QBoxLayout* layout = vertical ? static_cast<QBoxLayout*>(new QVBoxLayout(box))
                                  : static_cast<QBoxLayout*>(new QHBoxLayout(box));
    auto* group = new QButtonGroup(dialog);
    for (std::size_t i = 0; i < N; ++i) {
        auto* button = new QRadioButton(texts[i], box);
        group->addButton(button, int(i));
        layout->addWidget(button);
    }
    into->addWidget(box);
    RadioTabStop::Apply(group);
    return group;
}

}  // namespace

CVideoSettingDlg::CVideoSettingDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("VIDEO SETTING");
    auto* top = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    top->addLayout(row);
    m_pSizeGroup = AddGroup(this, row, " SIZE ", kSizes, true);
    auto* right = new QVBoxLayout;
    row->addLayout(right);
    m_pColorGroup = AddGroup(this, right, " COLOR ", kColors, false);
    m_pRateGroup = AddGroup(this, right, " RATE ", kRates, false);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        ReadControls();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    top->addWidget(buttons);
    for (QButtonGroup* group : {m_pSizeGroup, m_pColorGroup})
        connect(group, &QButtonGroup::idClicked, this, [this] { UpdateRateButtons(); });
    WriteControls();
    UpdateRateButtons();
}

QRadioButton* CVideoSettingDlg::SizeButton(int index) const {
    return static_cast<QRadioButton*>(m_pSizeGroup->button(index));
}
QRadioButton* CVideoSettingDlg::ColorButton(int index) const {
    return static_cast<QRadioButton*>(m_pColorGroup->button(index));
}
QRadioButton* CVideoSettingDlg::RateButton(int index) const {
    return static_cast<QRadioButton*>(m_pRateGroup->button(index));
}

void CVideoSettingDlg::ReadControls() {
    m_nSize = m_pSizeGroup->checkedId();
    m_nColor = m_pColorGroup->checkedId();
    m_nRate = m_pRateGroup->checkedId();
}

void CVideoSettingDlg::WriteControls() {
    SizeButton(m_nSize)->setChecked(true);
    ColorButton(m_nColor)->setChecked(true);
    RateButton(m_nRate)->setChecked(true);
}

void CVideoSettingDlg::UpdateRateButtons() {
    ReadControls();
    for (QAbstractButton* button : m_pRateGroup->buttons()) button->setEnabled(true);
    const bool rgb = m_nColor == 0;
    auto disable = [this](std::initializer_list<int> rates) {
        for (int rate : rates) RateButton(rate)->setEnabled(false);
    };
    switch (m_nSize) {
        case 0:
            disable({kRate1875});
            if (m_nRate == kRate1875) m_nRate = kRate375;
            break;
        case 1:
            if (rgb) {
                disable({kRate1875, kRate375});
                if (m_nRate == kRate1875 || m_nRate == kRate375) m_nRate = kRate15;
            } else {
                // Moved like 640 x 480, so that no disabled rate stays chosen.
                disable({kRate1875});
                if (m_nRate == kRate1875) m_nRate = kRate375;
            }
            break;
        case 2:
            if (rgb) {
                disable({kRate15});
                if (m_nRate == kRate15) m_nRate = kRate75;
            }
            break;
        default:
            disable({kRate1875, kRate375, kRate75, kRate15});
            break;
    }
    WriteControls();
}

ViewerPrompts::VideoChoice CVideoSettingDlg::ChoiceFor(int size, int color, int rate) {
    ViewerPrompts::VideoChoice choice;
    choice.nModeIndex = kModes[size][color];
    choice.nWidth = kWidths[size];
    choice.nHeight = kHeights[size];
    choice.nFrameRate = rate;
    choice.nColorCoding = color == 0 ? 4 : 2;
    return choice;
}

ViewerPrompts::VideoChoice CVideoSettingDlg::Result() const {
    return ChoiceFor(m_nSize, m_nColor, m_nRate);
}
