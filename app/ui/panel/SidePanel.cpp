#include "SidePanel.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "ProcessingView.hpp"
#include "Selection.hpp"
#include "SettingBindings.hpp"
#include "Theme.hpp"
#include "ViewMath.hpp"
#include "Widgets.hpp"
#include "controls/Meters.hpp"

namespace corvaline::ui {

namespace {

/// `text` with break opportunities (zero-width spaces) after path separators, underscores,
/// dots and hyphens, and inside any run of 16 characters without one: a long folder or file
/// name wraps inside the panel instead of widening it beyond the window.
QString breakable(const QString& text) {
    static const QString breakAfter = QStringLiteral("/\\_.-");
    QString out;
    out.reserve(text.size() + text.size() / 8);
    int run = 0;
    for (const QChar c : text) {
        out += c;
        ++run;
        if (c.isSpace()) {
            run = 0;
        } else if (breakAfter.contains(c) || run >= 16) {
            out += QChar(0x200B);
            run = 0;
        }
    }
    return out;
}

QString fileDetails(const AudioInfo& info) {
    QStringList lines;
    auto add = [&](const QString& key, const QString& value) {
        if (!value.isEmpty())
            lines << QStringLiteral(
                         "<tr><td style='color:#8b95a5;padding-right:10px'>%1</td>"
                         "<td>%2</td></tr>")
                         .arg(key, breakable(value).toHtmlEscaped());
    };
    const QFileInfo source(QString::fromStdString(info.sourceURL.string()));
    add(QStringLiteral("File"), source.fileName());
    add(QStringLiteral("Folder"), source.absolutePath());
    add(QStringLiteral("Source"),
        info.isVideo() ? QStringLiteral("Video") : QStringLiteral("Audio"));
    add(QStringLiteral("Sample rate"), QStringLiteral("%1 Hz").arg(info.sampleRate, 0, 'f', 0));
    add(QStringLiteral("Bit depth"), QStringLiteral("%1 bit").arg(info.bitDepth));
    add(QStringLiteral("Channels"), QString::number(info.channelCount()));
    add(QStringLiteral("Duration"), QString::fromStdString(clockString(info.duration())));
    add(QStringLiteral("Frames"), QString::number(info.frameCount));
    // A file cut short says so for as long as it is shown, not only in the import's alert.
    for (const std::string& warning : info.warnings)
        add(QStringLiteral("Warning"), QString::fromStdString(warning));
    const WaveMetadata& m = info.metadata;
    add(QStringLiteral("Scene"), QString::fromStdString(m.scene));
    add(QStringLiteral("Take"), QString::fromStdString(m.take));
    add(QStringLiteral("Originator"), QString::fromStdString(m.originator));
    if (m.timeReference && info.sampleRate > 0) {
        add(QStringLiteral("Time reference"),
            QString::fromStdString(clockString(double(*m.timeReference) / info.sampleRate)));
    }
    return QStringLiteral("<table>") + lines.join(QString()) + QStringLiteral("</table>");
}

}  // namespace

SidePanel::SidePanel(app::AppState& state, QWidget* parent) : QScrollArea(parent), state_(state) {
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A scroll bar that comes and goes with the content's height would change the width the
    // sections get while the user works; keep it, and the width, steady.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setAccessibleName(QStringLiteral("Inspector"));
    auto* content = new QWidget(this);
    theme::setRole(content, "panel");
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(12);

    processing_ = new ProcessingView(state, content);
    layout->addWidget(processing_);

    QVBoxLayout* mv = nullptr;
    auto* monitor = card(content, &mv);
    mv->addWidget(heading(QStringLiteral("MONITOR OUTPUT"), monitor));
    auto* meters = new QHBoxLayout;
    left_ = new MeterView(QStringLiteral("L"), monitor);
    right_ = new MeterView(QStringLiteral("R"), monitor);
    meters->addStretch();
    meters->addWidget(left_);
    meters->addWidget(right_);
    meters->addStretch();
    mv->addLayout(meters);
    levelMatch_ = makeSwitch(QStringLiteral("Level match"), monitor);
    levelMatch_->setToolTip(QStringLiteral(
        "RMS-matched A/B on the rendered passage. Live DSP edits turn matching off. Render "
        "again to refresh the comparison; exported audio is unchanged."));
    connect(levelMatch_, &QCheckBox::toggled, &state_,
            [this](bool on) { state_.setLevelMatched(on); });
    mv->addWidget(levelMatch_);
    matchGain_ = caption(QString(), monitor);
    mv->addWidget(matchGain_);
    layout->addWidget(monitor);

    QVBoxLayout* dv = nullptr;
    auto* details = card(content, &dv);
    dv->addWidget(heading(QStringLiteral("FILE DETAILS"), details));
    details_ = new QLabel(details);
    details_->setTextFormat(Qt::RichText);
    details_->setWordWrap(true);
    // Whatever the recording's names, the details never hold the panel wider than its view.
    details_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    details_->setAccessibleName(QStringLiteral("File details"));
    details_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    dv->addWidget(details_);
    layout->addWidget(details);

    QVBoxLayout* ev = nullptr;
    auto* exportBox = card(content, &ev);
    ev->addWidget(heading(QStringLiteral("EXPORT FORMAT"), exportBox));
    auto* row = new QHBoxLayout;
    bits_ = new QComboBox(exportBox);
    bits_->setAccessibleName(QStringLiteral("Bit depth"));
    bits_->addItem(QStringLiteral("32-bit float"), 32);
    bits_->addItem(QStringLiteral("24-bit PCM"), 24);
    connect(bits_, &QComboBox::activated, &state_,
            [this](int index) { state_.setExportBits(bits_->itemData(index).toInt()); });
    row->addWidget(new QLabel(QStringLiteral("Bit depth"), exportBox));
    row->addWidget(bits_, 1);
    ev->addLayout(row);
    layout->addWidget(exportBox);
    layout->addStretch();
    setWidget(content);
    leaveWheelToScrolling(content);
}

void SidePanel::refreshMeters() {
    const auto& meters = state_.outputMeters();
    left_->setLevel(meters.size() > 0 ? meters[0] : kMeterFloorDB);
    right_->setLevel(meters.size() > 1 ? meters[1] : kMeterFloorDB);
}

void SidePanel::refresh() {
    processing_->refresh();
    refreshMeters();
    {
        const QSignalBlocker block(levelMatch_);
        levelMatch_->setChecked(state_.levelMatched());
    }
    levelMatch_->setEnabled(!state_.busy() && (state_.levelMatched() || state_.canLevelMatch()));
    matchGain_->setVisible(state_.levelMatched() && state_.monitorMatchReady());
    matchGain_->setText(QString::asprintf("Monitor gain  %+.1f dB", state_.monitorGainDB()));
    const AudioInfo* current = selectedRecording(state_);
    details_->setText(current ? fileDetails(*current)
                              : QStringLiteral("<span style='color:#8b95a5'>No recording "
                                               "selected</span>"));
    const QSignalBlocker block(bits_);
    bits_->setCurrentIndex(bits_->findData(state_.exportBits()));
}

}  // namespace corvaline::ui
