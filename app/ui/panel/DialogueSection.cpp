#include "DialogueSection.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "Icons.hpp"
#include "Selection.hpp"
#include "SettingBindings.hpp"
#include "Widgets.hpp"
#include "controls/Parameter.hpp"

namespace corvaline::ui {

DialogueSection::DialogueSection(SettingBindings& bindings, QWidget* parent)
    : QWidget(parent), bindings_(bindings) {
    app::AppState& state = bindings_.state();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    // Dialogue leveler.
    QVBoxLayout* lv = nullptr;
    auto* leveler = card(this, &lv);
    lv->addWidget(
        bindings_.flag(Setting::levelerEnabled, QStringLiteral("Dialogue Leveler"), leveler));
    lv->addWidget(bindings_.number(Setting::levelerTarget, leveler));
    lv->addWidget(bindings_.number(Setting::levelerMaxBoost, leveler));
    lv->addWidget(bindings_.number(Setting::levelerMaxCut, leveler));
    lv->addWidget(bindings_.number(Setting::levelerGate, leveler));
    lv->addWidget(bindings_.number(Setting::levelerSpeed, leveler, {}, 0));
    levelerGains_ = caption(QString(), leveler);
    levelerGains_->setAccessibleName(QStringLiteral("Leveler gain per channel"));
    lv->addWidget(levelerGains_);
    layout->addWidget(leveler);

    // Lav bleed.
    QVBoxLayout* bv = nullptr;
    auto* bleed = card(this, &bv);
    bv->addWidget(bindings_.flag(Setting::bleedEnabled, QStringLiteral("Lav Bleed"), bleed));
    auto* form = new QFormLayout;
    form->setContentsMargins(0, 0, 0, 0);
    auto* mode = bindings_.choice(Setting::bleedMode, QStringLiteral("Bleed mode"), bleed);
    mode->setToolTip(QStringLiteral(
        "Choose correlated spill detection or phase-independent interview automixing"));
    form->addRow(QStringLiteral("Bleed mode"), mode);
    micA_ = new QComboBox(bleed);
    micA_->setAccessibleName(QStringLiteral("Mic A"));
    micB_ = new QComboBox(bleed);
    micB_->setAccessibleName(QStringLiteral("Mic B"));
    connect(micA_, &QComboBox::activated, this, [this](int index) {
        bindings_.edit([index](ProcessingSettings& s) { s.bleedChannelA = index; });
    });
    connect(micB_, &QComboBox::activated, this, [this](int index) {
        bindings_.edit([index](ProcessingSettings& s) { s.bleedChannelB = index; });
    });
    form->addRow(QStringLiteral("Mic A"), micA_);
    form->addRow(QStringLiteral("Mic B"), micB_);
    bv->addLayout(form);
    bv->addWidget(bindings_.number(Setting::bleedHold, bleed, {}, 0));
    bv->addWidget(bindings_.number(Setting::bleedDepth, bleed));
    bv->addWidget(bindings_.number(Setting::bleedDifference, bleed));
    bv->addWidget(bindings_.number(Setting::bleedFloor, bleed));
    release_ = bindings_.number(Setting::bleedRelease, bleed, {}, 0);
    bv->addWidget(release_);

    bv->addWidget(heading(QStringLiteral("Detector Balance"), bleed));
    bv->addWidget(bindings_.number(Setting::bleedTrimA, bleed));
    bv->addWidget(bindings_.number(Setting::bleedTrimB, bleed));
    // Side by side where the panel is wide enough, else one above the other.
    auto* buttons = new QGridLayout;
    analyze_ = new QPushButton(icons::icon(QStringLiteral("waveform.badge.magnifyingglass")),
                               QStringLiteral("Analyze Lav Balance"), bleed);
    analyze_->setToolTip(QStringLiteral("Measure both mics and set the detector trims"));
    connect(analyze_, &QPushButton::clicked, &state, &app::AppState::calibrateLavPair);
    twoLavs_ = new QPushButton(icons::icon(QStringLiteral("person.2")),
                               QStringLiteral("Two Lavs + Camera"), bleed);
    twoLavs_->setToolTip(QStringLiteral(
        "Use CH 1 and 2 as lavs, mute camera references in monitoring, preserve reference "
        "tracks in export, and analyze detector balance"));
    connect(twoLavs_, &QPushButton::clicked, &state, &app::AppState::setupTwoLavsWithCamera);
    buttons->addWidget(analyze_, 0, 0);
    buttons->addWidget(twoLavs_, 1, 0);
    bv->addLayout(buttons);
    pairStatus_ = caption(QString(), bleed);
    pairStatus_->setAccessibleName(QStringLiteral("Mic pair status"));
    bv->addWidget(pairStatus_);
    auto* guide = linkButton(QStringLiteral("Lav Mic Guide"), bleed);
    connect(guide, &QPushButton::clicked, this, [&state] {
        state.setHelpTopicID(QStringLiteral("dialogue"));
        state.setPage(app::WorkspacePage::help);
    });
    bv->addWidget(guide);
    layout->addWidget(bleed);
}

void DialogueSection::fillChannelPicker(QComboBox* picker, int count, int selected) {
    const QSignalBlocker block(picker);
    if (picker->count() != count) {
        picker->clear();
        for (int i = 1; i <= count; ++i)
            picker->addItem(QStringLiteral("Channel %1").arg(i));
    }
    picker->setCurrentIndex(selected >= 0 && selected < count ? selected : -1);
}

QString DialogueSection::pairStatus() const {
    const app::AppState& state = bindings_.state();
    const ProcessingSettings& s = state.settings();
    const auto& channels = state.channels();
    const int count = int(channels.size());
    if (count < 2) return QStringLiteral("Two synchronized mic tracks required");
    const int a = s.bleedChannelA;
    const int b = s.bleedChannelB;
    if (a == b || a < 0 || b < 0 || a >= count || b >= count || !channels[size_t(a)].process ||
        !channels[size_t(b)].process)
        return QStringLiteral("Select two different processing tracks");
    if (!s.bleedEnabled) return QStringLiteral("Mic pair bypassed");
    return {};
}

void DialogueSection::refreshLive() {
    QStringList gains;
    const auto& levelerGain = bindings_.state().levelerGain();
    for (size_t i = 0; i < levelerGain.size(); ++i) {
        // No-break spaces inside a reading: lines wrap between channels, never inside one.
        gains << QString::asprintf("CH %d  %+.1f dB", int(i) + 1, levelerGain[i])
                     .replace(QLatin1Char(' '), QChar(0x00A0));
    }
    const QString text = gains.join(QStringLiteral("    "));
    if (levelerGains_->text() != text) levelerGains_->setText(text);
    levelerGains_->setVisible(!gains.isEmpty());
}

void DialogueSection::refresh() {
    const app::AppState& state = bindings_.state();
    const ProcessingSettings& s = state.settings();
    const int count = int(state.channels().size());
    fillChannelPicker(micA_, count, s.bleedChannelA);
    fillChannelPicker(micB_, count, s.bleedChannelB);
    release_->setName(s.bleedMode == LavBleedMode::interview ? QStringLiteral("Close fade")
                                                             : QStringLiteral("Fade back"));
    refreshLive();
    const QString status = pairStatus();
    pairStatus_->setText(status);
    pairStatus_->setVisible(!status.isEmpty());
    const bool idle = !state.busy() && selectedRecording(state) != nullptr;
    analyze_->setEnabled(idle && count >= 2);
    twoLavs_->setEnabled(idle && count >= 4);
}

}  // namespace corvaline::ui
