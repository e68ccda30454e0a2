#include "LoudnessSection.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <optional>

#include "Selection.hpp"
#include "SettingBindings.hpp"
#include "Theme.hpp"
#include "Widgets.hpp"
#include "audiocore/delivery/DeliveryStandard.hpp"
#include "controls/Parameter.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::ui {

namespace {
// The loudness target picker's presets, LUFS; the last entry is "Custom".
constexpr double kTargets[] = {-23, -18, -16};

QLabel* readingLabel(QWidget* parent) {
    auto* label = new QLabel(QStringLiteral("--"), parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFont(theme::clockFont(11));
    return label;
}
}  // namespace

QString LoudnessSection::reading(std::optional<double> value) {
    if (!value || !std::isfinite(*value)) return QStringLiteral("--");
    return QString::asprintf("%.1f", *value);
}

LoudnessSection::LoudnessSection(SettingBindings& bindings, QWidget* parent)
    : QWidget(parent), bindings_(bindings) {
    app::AppState& state = bindings_.state();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    QVBoxLayout* v = nullptr;
    auto* box = card(this, &v);
    layout->addWidget(box);
    v->addWidget(
        bindings_.flag(Setting::normalizationEnabled, QStringLiteral("LUFS Normalization"), box));

    // The two pickers share one grid so that their fields line up.
    auto* pickers = new QGridLayout;
    pickers->setColumnStretch(1, 1);
    standard_ = new QComboBox(box);
    standard_->setAccessibleName(QStringLiteral("Delivery standard"));
    standard_->setToolTip(QStringLiteral(
        "Sets the loudness target and true-peak ceiling of a delivery standard and judges "
        "measurements and exports against it"));
    standard_->addItem(QStringLiteral("None"), QString());
    for (const DeliveryStandard& d : deliveryStandards()) {
        standard_->addItem(QStringLiteral("%1 (%2 %3)")
                               .arg(QString::fromUtf8(d.name),
                                    QString::number(d.targetLUFS).replace('-', QChar(0x2212)),
                                    QString::fromUtf8(d.unit)),
                           QString::fromUtf8(d.id));
    }
    connect(standard_, &QComboBox::activated, this, [this](int index) {
        bindings_.state().setDeliveryStandardID(standard_->itemData(index).toString());
    });
    pickers->addWidget(new QLabel(QStringLiteral("Delivery standard"), box), 0, 0);
    pickers->addWidget(standard_, 0, 1);

    target_ = new QComboBox(box);
    target_->setAccessibleName(QStringLiteral("Loudness target"));
    for (const double t : kTargets)
        target_->addItem(
            QStringLiteral("%1 LUFS").arg(QString::number(t).replace('-', QChar(0x2212))), t);
    target_->addItem(QStringLiteral("Custom"));
    connect(target_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index >= int(std::size(kTargets))) return;  // Custom keeps the value
        const double t = kTargets[index];
        bindings_.edit([t](ProcessingSettings& s) { s.targetLUFS = t; });
    });
    pickers->addWidget(new QLabel(QStringLiteral("Loudness target"), box), 1, 0);
    pickers->addWidget(target_, 1, 1);
    v->addLayout(pickers);
    customTarget_ = bindings_.number(Setting::targetLUFS, box);
    v->addWidget(customTarget_);
    v->addWidget(bindings_.number(Setting::normalizationMaxBoost, box));
    v->addWidget(bindings_.number(Setting::ceiling, box, QStringLiteral("True-peak ceiling")));

    measure_ = new QPushButton(QStringLiteral("Measure Processed Audio"), box);
    measure_->setToolTip(QStringLiteral(
        "Measure integrated loudness, true peak and loudness range of the processed sound"));
    connect(measure_, &QPushButton::clicked, &state, &app::AppState::measureLoudness);
    v->addWidget(measure_);

    auto* readings = new QFormLayout;
    integrated_ = readingLabel(box);
    truePeak_ = readingLabel(box);
    range_ = readingLabel(box);
    readings->addRow(QStringLiteral("Integrated"), integrated_);
    readings->addRow(QStringLiteral("True peak"), truePeak_);
    readings->addRow(QStringLiteral("Loudness range"), range_);
    v->addLayout(readings);
    pending_ = caption(QStringLiteral("Analysis Pending"), box);
    v->addWidget(pending_);
    verdict_ = new QLabel(box);
    verdict_->setAccessibleName(QStringLiteral("Delivery verdict"));
    verdict_->setWordWrap(true);
    verdictDetail_ = caption(QString(), box);
    verdictDetail_->setWordWrap(true);
    v->addWidget(verdict_);
    v->addWidget(verdictDetail_);

    v->addWidget(heading(QStringLiteral("Programme Scope"), box));
    scope_ = new QLabel(box);
    scopeTracks_ = caption(QString(), box);
    v->addWidget(scope_);
    v->addWidget(scopeTracks_);
    linkedGain_ = new QLabel(box);
    linkedGain_->setFont(theme::clockFont(11));
    v->addWidget(linkedGain_);
    limitReached_ = caption(QStringLiteral("Peak or boost limit reached"), box);
    suspended_ = caption(QStringLiteral("Normalization pending replay or render"), box);
    v->addWidget(limitReached_);
    v->addWidget(suspended_);
    v->addWidget(caption(
        QStringLiteral(
            "LUFS gain is calculated at playback start and render. Live DSP edits suspend "
            "normalization until replay or render. Measurement includes selected tracks at "
            "equal weight, not monitor mute/solo routing. Silence and passages below 400 ms "
            "receive no LUFS boost."),
        box));
    auto* guide = linkButton(QStringLiteral("Loudness Guide"), box);
    connect(guide, &QPushButton::clicked, this, [&state] {
        state.setHelpTopicID(QStringLiteral("loudness"));
        state.setPage(app::WorkspacePage::help);
    });
    v->addWidget(guide);
}

void LoudnessSection::refresh() {
    const app::AppState& state = bindings_.state();
    const ProcessingSettings& s = state.settings();
    int targetIndex = int(std::size(kTargets));
    for (int i = 0; i < int(std::size(kTargets)); ++i) {
        if (s.targetLUFS == kTargets[i]) targetIndex = i;
    }
    {
        const QSignalBlocker block(target_);
        target_->setCurrentIndex(targetIndex);
    }
    measure_->setEnabled(!state.busy() && selectedRecording(state) != nullptr);
    {
        const QSignalBlocker block(standard_);
        standard_->setCurrentIndex(std::max(0, standard_->findData(state.deliveryStandardID())));
    }
    showVerdict(state);

    const auto& loudness = state.loudness();
    const bool current = state.loudnessCurrent();
    if (loudness && current) {
        integrated_->setText(reading(loudness->integrated) + QStringLiteral(" LUFS"));
        std::optional<double> peak;
        if (std::isfinite(loudness->truePeak)) peak = loudness->truePeak;
        truePeak_->setText(reading(peak) + QStringLiteral(" dBTP"));
        range_->setText(reading(loudness->range) + QStringLiteral(" LU"));
    } else {
        integrated_->setText(QStringLiteral("--"));
        truePeak_->setText(QStringLiteral("--"));
        range_->setText(QStringLiteral("--"));
    }
    pending_->setVisible(!(loudness && current));

    scope_->setText(state.previewRange() ? QStringLiteral("Selected passage")
                                         : QStringLiteral("Full File"));
    const auto processed = std::count_if(state.channels().begin(), state.channels().end(),
                                         [](const ChannelSettings& c) { return c.process; });
    scopeTracks_->setText(QStringLiteral("%1 selected tracks · linked gain").arg(processed));
    linkedGain_->setText(QString::asprintf("Linked gain  %+.1f dB", state.normalizationGainDB()));
    // The measurement's gain fell more than 0.1 dB short of the target: the ceiling or the
    // boost limit held it back.
    const bool limited =
        loudness && current && s.normalizationEnabled && state.normalizationLimited();
    limitReached_->setVisible(limited);
    suspended_->setVisible(state.normalizationSuspended());
}

void LoudnessSection::showVerdict(const app::AppState& state) {
    const auto& check = state.deliveryCheck();
    const DeliveryStandard* standard = check ? findDeliveryStandard(check->standardID) : nullptr;
    // A verdict on the measured readings goes stale with them; one on an exported file stays
    // until the settings change.
    const bool shown = standard && (check->exported || state.loudnessCurrent());
    verdict_->setVisible(shown);
    verdictDetail_->setVisible(shown);
    if (!shown) return;
    const bool compliant = check->verdict.compliant;
    verdict_->setText(
        QString::fromUtf8(standard->name) +
        (compliant ? QStringLiteral(": compliant") : QStringLiteral(": not compliant")));
    theme::setRole(verdict_, compliant ? "verdictPass" : "verdictFail");
    QString detail;
    if (!compliant) detail = QString::fromUtf8(check->verdict.reason()) + QStringLiteral(". ");
    if (check->exported) {
        detail += QStringLiteral(
                      "Measured in the exported file \u201c%1\u201d with the strict "
                      "true-peak meter.")
                      .arg(QString::fromStdString(check->exported->filename().string()));
    } else {
        detail += QStringLiteral(
            "From the processed-audio measurement (4\u00d7 true peak); the export is checked "
            "again in the written file.");
    }
    verdictDetail_->setText(detail);
}

}  // namespace corvaline::ui
