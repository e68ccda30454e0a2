#include "ChannelRow.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include "Selection.hpp"
#include "Theme.hpp"
#include "ViewMath.hpp"
#include "WaveformView.hpp"
#include "controls/Meters.hpp"

namespace corvaline::ui {

namespace {
QToolButton* toggle(const QString& letter, const QString& help, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(letter);
    button->setCheckable(true);
    button->setToolTip(help);
    button->setAccessibleName(help);
    theme::setRole(button, "flag");
    button->setFixedSize(24, 22);
    return button;
}
}  // namespace

ChannelRow::ChannelRow(app::AppState& state, int index, QWidget* parent)
    : QWidget(parent), state_(state), index_(index) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 3, 6, 3);
    layout->setSpacing(6);

    auto* controls = new QWidget(this);
    controls->setFixedWidth(150);
    auto* cv = new QVBoxLayout(controls);
    cv->setContentsMargins(0, 0, 0, 0);
    cv->setSpacing(3);
    auto* top = new QHBoxLayout;
    top->setSpacing(4);
    process_ = new QCheckBox(controls);
    process_->setToolTip(QStringLiteral("Process this channel"));
    process_->setAccessibleName(QStringLiteral("Process this channel"));
    mute_ = toggle(QStringLiteral("M"), QStringLiteral("Mute channel in monitor mix"), controls);
    solo_ = toggle(QStringLiteral("S"), QStringLiteral("Solo channel in monitor mix"), controls);
    number_ = new QLabel(QString::asprintf("%02d", index + 1), controls);
    number_->setFont(theme::clockFont(10));
    top->addWidget(process_);
    top->addWidget(mute_);
    top->addWidget(solo_);
    top->addWidget(number_);
    top->addStretch();
    cv->addLayout(top);
    name_ = new QLabel(controls);
    theme::setRole(name_, "secondary");
    cv->addWidget(name_);
    meter_ = new MiniMeter(controls);
    cv->addWidget(meter_);
    layout->addWidget(controls);

    waveform_ = new WaveformView(this);
    waveform_->setAccessibleName(QStringLiteral("Waveform of channel %1").arg(index + 1));
    layout->addWidget(waveform_, 1);

    connect(process_, &QCheckBox::toggled, this, [this](bool on) {
        const auto& c = state_.channels();
        if (index_ < int(c.size())) edit(on, c[size_t(index_)].mute, c[size_t(index_)].solo);
    });
    connect(mute_, &QToolButton::toggled, this, [this](bool on) {
        const auto& c = state_.channels();
        if (index_ < int(c.size())) edit(c[size_t(index_)].process, on, c[size_t(index_)].solo);
    });
    connect(solo_, &QToolButton::toggled, this, [this](bool on) {
        const auto& c = state_.channels();
        if (index_ < int(c.size())) edit(c[size_t(index_)].process, c[size_t(index_)].mute, on);
    });
    waveform_->seek = [this](double seconds) {
        const AudioInfo* current = selectedRecording(state_);
        if (current) state_.seek(seekFraction(seconds, current->duration()));
    };
    waveform_->select = [this](double start, double end) { state_.setRange(start, end); };
}

void ChannelRow::edit(bool process, bool mute, bool solo) {
    ChannelSettings flags;
    flags.process = process;
    flags.mute = mute;
    flags.solo = solo;
    state_.setChannel(index_, flags);
}

void ChannelRow::refresh() {
    const AudioInfo* current = selectedRecording(state_);
    if (!current || index_ >= current->channelCount()) return;
    const ChannelInfo& channel = current->channels[size_t(index_)];
    const auto& flags = state_.channels();
    if (index_ < int(flags.size())) {
        const QSignalBlocker b1(process_);
        const QSignalBlocker b2(mute_);
        const QSignalBlocker b3(solo_);
        process_->setChecked(flags[size_t(index_)].process);
        mute_->setChecked(flags[size_t(index_)].mute);
        solo_->setChecked(flags[size_t(index_)].solo);
    }
    name_->setText(QString::fromStdString(channel.name));
    name_->setToolTip(QString::fromStdString(channel.name));
    const bool enabled = index_ >= int(flags.size()) || flags[size_t(index_)].process;
    waveform_->setWaveformEnabled(enabled);
    if (shownFile_ != current->id) {
        waveform_->setSamples(channel.waveform, channel.peak, current->duration());
        shownFile_ = current->id;
    }
    // The preview, drawn over the span it covers.
    const auto& preview = state_.preview();
    if (preview && index_ < preview->channelCount() && current->sampleRate > 0) {
        if (shownPreview_ != preview->id) {
            const auto& rendered = state_.renderedRange();
            const double start = rendered ? double(rendered->start) / current->sampleRate : 0.0;
            const double end =
                rendered ? double(rendered->end) / current->sampleRate : current->duration();
            const ChannelInfo& p = preview->channels[size_t(index_)];
            waveform_->setPreview(p.waveform, p.peak, {start, end});
            shownPreview_ = preview->id;
        }
    } else {
        waveform_->clearPreview();
        shownPreview_.clear();
    }
    if (state_.previewRange()) {
        waveform_->setSelection(std::make_pair(state_.rangeStart(), state_.rangeEnd()));
    } else {
        waveform_->setSelection(std::nullopt);
    }
    waveform_->setSelecting(state_.selectingRange());
    refreshLive();
}

void ChannelRow::refreshLive() {
    const AudioInfo* current = selectedRecording(state_);
    if (!current) return;
    const auto [start, length] = zoomWindow(current->duration(), state_.zoom(), state_.time());
    waveform_->setWindow(start, length);
    waveform_->setPosition(state_.time());
    const auto& meters = state_.channelMeters();
    meter_->setLevel(index_ < int(meters.size()) ? meters[size_t(index_)] : kMeterFloorDB);
}

}  // namespace corvaline::ui
