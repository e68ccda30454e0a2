#include "ToneSection.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>

#include "CompressorPlot.hpp"
#include "EqualizerPlot.hpp"
#include "Selection.hpp"
#include "SettingBindings.hpp"
#include "Theme.hpp"
#include "ViewMath.hpp"
#include "Widgets.hpp"
#include "controls/IconButton.hpp"
#include "controls/Meters.hpp"
#include "controls/Parameter.hpp"

namespace corvaline::ui {

namespace {
double selectedRate(const app::AppState& state) {
    const AudioInfo* current = selectedRecording(state);
    return current ? current->sampleRate : 0.0;
}
}  // namespace

ToneSection::ToneSection(SettingBindings& bindings, QWidget* parent)
    : QWidget(parent), bindings_(bindings) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    equalizer_ = buildEqualizer();
    layout->addWidget(equalizer_);
    dynamics_ = new QWidget(this);
    auto* dyn = new QVBoxLayout(dynamics_);
    dyn->setContentsMargins(0, 0, 0, 0);
    dyn->setSpacing(10);
    dyn->addWidget(buildCompressor());
    dyn->addWidget(buildLimiter());
    layout->addWidget(dynamics_);
}

QWidget* ToneSection::buildEqualizer() {
    QVBoxLayout* v = nullptr;
    auto* box = card(this, &v);
    auto* top = new QHBoxLayout;
    top->addWidget(bindings_.flag(Setting::eqEnabled, QStringLiteral("Equalizer"), box), 1);
    auto* reset = new IconButton(QStringLiteral("arrow.counterclockwise"),
                                 QStringLiteral("Reset all eight EQ bands"), box);
    connect(reset, &QToolButton::clicked, this, [this] {
        bindings_.edit([](ProcessingSettings& s) { s.eqBands = EQBand::defaults(); });
    });
    top->addWidget(reset);
    v->addLayout(top);

    plot_ = new EqualizerPlot(box);
    connect(plot_, &EqualizerPlot::bandSelected, this, &ToneSection::setBand);
    connect(plot_, &EqualizerPlot::bandMoved, this,
            [this](int band, double frequency, std::optional<double> gain) {
                bindings_.edit([&](ProcessingSettings& s) {
                    if (band < 0 || band >= int(s.eqBands.size())) return;
                    s.eqBands[size_t(band)].frequency = frequency;
                    if (gain) s.eqBands[size_t(band)].gain = *gain;
                });
            });
    v->addWidget(plot_);

    auto* row = new QHBoxLayout;
    bandPicker_ = new QComboBox(box);
    bandPicker_->setAccessibleName(QStringLiteral("EQ band"));
    bandPicker_->setToolTip(QStringLiteral("EQ band"));
    for (int i = 1; i <= 8; ++i)
        bandPicker_->addItem(QStringLiteral("Band %1").arg(i));
    connect(bandPicker_, &QComboBox::activated, this, &ToneSection::setBand);
    bandEnabled_ = new QCheckBox(QStringLiteral("On"), box);
    bandEnabled_->setAccessibleName(QStringLiteral("Band enabled"));
    bandEnabled_->setToolTip(QStringLiteral("Use this band"));
    connect(bandEnabled_, &QCheckBox::toggled, this,
            [this](bool on) { editBand([on](EQBand& b) { b.enabled = on; }); });
    row->addWidget(new QLabel(QStringLiteral("EQ band"), box));
    row->addWidget(bandPicker_, 1);
    row->addWidget(bandEnabled_);
    v->addLayout(row);

    auto* kindRow = new QHBoxLayout;
    kindPicker_ = new QComboBox(box);
    kindPicker_->setAccessibleName(QStringLiteral("Filter type"));
    for (const EQKind kind : allEQKinds)
        kindPicker_->addItem(QString::fromUtf8(rawValue(kind)));
    connect(kindPicker_, &QComboBox::activated, this, [this](int index) {
        editBand([index](EQBand& b) { b.kind = allEQKinds[size_t(index)]; });
    });
    kindRow->addWidget(new QLabel(QStringLiteral("Filter type"), box));
    kindRow->addWidget(kindPicker_, 1);
    v->addLayout(kindRow);

    const BandField& f = Setting::bandFrequency;
    frequency_ = new Parameter(QString::fromUtf8(f.label), f.low, f.high, QString::fromUtf8(f.unit),
                               f.logarithmic, 0, box);
    connect(frequency_, &Parameter::edited, this,
            [this](double value) { editBand([value](EQBand& b) { b.frequency = value; }); });
    const BandField& g = Setting::bandGain;
    gain_ = new Parameter(QString::fromUtf8(g.label), g.low, g.high, QString::fromUtf8(g.unit),
                          g.logarithmic, 1, box);
    connect(gain_, &Parameter::edited, this,
            [this](double value) { editBand([value](EQBand& b) { b.gain = value; }); });
    const BandField& q = Setting::bandQ;
    q_ = new Parameter(QString::fromUtf8(q.label), q.low, q.high, QString::fromUtf8(q.unit),
                       q.logarithmic, 2, box);
    connect(q_, &Parameter::edited, this,
            [this](double value) { editBand([value](EQBand& b) { b.q = value; }); });
    v->addWidget(frequency_);
    v->addWidget(gain_);
    v->addWidget(q_);
    channelCount_ = caption(QString(), box);
    v->addWidget(channelCount_);
    return box;
}

QWidget* ToneSection::buildCompressor() {
    QVBoxLayout* v = nullptr;
    auto* box = card(this, &v);
    v->addWidget(bindings_.flag(Setting::compressorEnabled, QStringLiteral("Compressor"), box));
    compressorPlot_ = new CompressorPlot(box);
    v->addWidget(compressorPlot_);
    compressorMeter_ = new ReductionMeter(theme::accent, box);
    compressorMeter_->setToolTip(QStringLiteral("Linked-channel gain reduction"));
    compressorMeter_->setAccessibleName(QStringLiteral("Linked-channel gain reduction"));
    v->addWidget(compressorMeter_);
    v->addWidget(bindings_.number(Setting::threshold, box));
    v->addWidget(bindings_.number(Setting::ratio, box));
    v->addWidget(bindings_.number(Setting::knee, box));
    v->addWidget(bindings_.number(Setting::makeup, box));
    v->addWidget(bindings_.number(Setting::attack, box));
    v->addWidget(bindings_.number(Setting::release, box, {}, 0));
    return box;
}

QWidget* ToneSection::buildLimiter() {
    QVBoxLayout* v = nullptr;
    auto* box = card(this, &v);
    v->addWidget(bindings_.flag(Setting::limiterEnabled, QStringLiteral("Limiter"), box));
    v->addWidget(bindings_.number(Setting::ceiling, box));
    auto* truePeak =
        bindings_.flag(Setting::truePeakEnabled, QStringLiteral("True peak · 4×"), box);
    truePeak->setToolTip(QStringLiteral(
        "4x oversampled intersample-peak detection with linked lookahead limiting. Exports "
        "receive a final measured ceiling check."));
    v->addWidget(truePeak);
    v->addWidget(bindings_.number(Setting::limiterRelease, box, {}, 0));
    v->addWidget(bindings_.number(Setting::outputGain, box));
    limiterMeter_ = new ReductionMeter(theme::warning, box);
    limiterMeter_->setToolTip(QStringLiteral("Limiter gain reduction"));
    limiterMeter_->setAccessibleName(QStringLiteral("Limiter gain reduction"));
    v->addWidget(limiterMeter_);
    return box;
}

void ToneSection::setBand(int band) {
    band_ = std::clamp(band, 0, 7);
    refresh();
}

void ToneSection::editBand(const std::function<void(EQBand&)>& change) {
    const int band = band_;
    bindings_.edit([&](ProcessingSettings& s) {
        if (band < int(s.eqBands.size())) change(s.eqBands[size_t(band)]);
    });
}

void ToneSection::refresh() {
    const app::AppState& state = bindings_.state();
    const ProcessingSettings& s = state.settings();
    const double rate = selectedRate(state);
    plot_->setSettings(s, rate);
    plot_->setSelectedBand(band_);
    if (band_ < int(s.eqBands.size())) {
        const EQBand& b = s.eqBands[size_t(band_)];
        {
            const QSignalBlocker b1(bandPicker_);
            const QSignalBlocker b2(bandEnabled_);
            const QSignalBlocker b3(kindPicker_);
            bandPicker_->setCurrentIndex(band_);
            bandEnabled_->setChecked(b.enabled);
            kindPicker_->setCurrentIndex(int(b.kind));
        }
        frequency_->setRange(Setting::bandFrequency.low, eqMaxFrequency(rate));
        frequency_->setValue(b.frequency);
        gain_->setValue(b.gain);
        gain_->setEnabled(hasGain(b.kind));
        q_->setValue(b.q);
    }
    const auto processed = std::count_if(state.channels().begin(), state.channels().end(),
                                         [](const ChannelSettings& c) { return c.process; });
    channelCount_->setText(QStringLiteral("%1 channels selected").arg(processed));
    compressorPlot_->setParameters(s.threshold, s.ratio, s.knee, s.makeup, s.compressorEnabled);
    refreshLive();
}

void ToneSection::refreshLive() {
    const app::AppState& state = bindings_.state();
    compressorMeter_->setValue(state.compressorReduction());
    limiterMeter_->setValue(state.limiterReduction());
}

}  // namespace corvaline::ui
