#include "WorkspaceView.hpp"

#include <QButtonGroup>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ChannelRow.hpp"
#include "Icons.hpp"
#include "Selection.hpp"
#include "Theme.hpp"
#include "ViewMath.hpp"
#include "WaveformView.hpp"
#include "Widgets.hpp"
#include "controls/IconButton.hpp"

namespace corvaline::ui {

namespace {

/// The highlight shown over the workspace while files are dragged over the window.
class DropOverlay : public QWidget {
  public:
    explicit DropOverlay(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor fill = theme::accent;
        fill.setAlpha(28);
        p.setBrush(fill);
        p.setPen(QPen(theme::accent, 2, Qt::DashLine));
        p.drawRoundedRect(rect().adjusted(6, 6, -6, -6), 10, 10);
        p.setPen(theme::text);
        p.drawText(rect(), Qt::AlignCenter, QStringLiteral("Drop to import"));
    }
};

QDoubleSpinBox* secondsField(const QString& help, QWidget* parent) {
    auto* field = new QDoubleSpinBox(parent);
    field->setDecimals(2);
    field->setSuffix(QStringLiteral(" s"));
    field->setRange(0, 1e9);
    field->setButtonSymbols(QAbstractSpinBox::NoButtons);
    field->setKeyboardTracking(false);
    field->setToolTip(help);
    field->setAccessibleName(help);
    field->setFixedWidth(82);
    return field;
}

}  // namespace

WorkspaceView::WorkspaceView(app::AppState& state, QWidget* parent)
    : QWidget(parent), state_(state) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    stack_ = new QStackedWidget(this);
    stack_->addWidget(buildEmpty());
    stack_->addWidget(buildContent());
    layout->addWidget(stack_);
    overlay_ = new DropOverlay(this);
}

QWidget* WorkspaceView::buildEmpty() {
    auto* page = new QWidget(this);
    auto* v = new QVBoxLayout(page);
    v->addStretch();
    auto* mark = new QLabel(page);
    mark->setPixmap(icons::icon(QStringLiteral("waveform")).pixmap(56, 56));
    mark->setAlignment(Qt::AlignCenter);
    v->addWidget(mark);
    auto* title = new QLabel(QStringLiteral("No media in this session"), page);
    theme::setRole(title, "title");
    title->setAlignment(Qt::AlignCenter);
    v->addWidget(title);
    auto* hint =
        caption(QStringLiteral("Drop recordings, videos or folders here, or choose a file."), page);
    hint->setAlignment(Qt::AlignCenter);
    v->addWidget(hint);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    importButton_ = new QPushButton(icons::icon(QStringLiteral("plus")),
                                    QStringLiteral("Import Audio or Video"), page);
    theme::setRole(importButton_, "primary");
    importButton_->setToolTip(QStringLiteral("Import Audio or Video... (Ctrl+O)"));
    connect(importButton_, &QPushButton::clicked, &state_, &app::AppState::importPanel);
    demoButton_ = new QPushButton(icons::icon(QStringLiteral("play.circle")),
                                  QStringLiteral("Open Test Recording"), page);
    demoButton_->setToolTip(QStringLiteral("Open a synthetic four-channel test recording"));
    connect(demoButton_, &QPushButton::clicked, &state_, &app::AppState::demo);
    buttons->addWidget(importButton_);
    buttons->addWidget(demoButton_);
    buttons->addStretch();
    v->addLayout(buttons);
    v->addStretch();
    return page;
}

QWidget* WorkspaceView::buildContent() {
    auto* page = new QWidget(this);
    auto* v = new QVBoxLayout(page);
    v->setContentsMargins(14, 12, 14, 8);
    v->setSpacing(8);
    v->addWidget(buildHeader());
    v->addWidget(buildTransport());
    v->addWidget(buildSelectionBar());
    auto* scroll = new QScrollArea(page);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    rowsHolder_ = new QWidget(scroll);
    rowsLayout_ = new QVBoxLayout(rowsHolder_);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    rowsLayout_->setSpacing(4);
    rowsLayout_->addStretch();
    scroll->setWidget(rowsHolder_);
    v->addWidget(scroll, 1);
    return page;
}

QWidget* WorkspaceView::buildHeader() {
    auto* header = new QWidget(this);
    auto* h = new QHBoxLayout(header);
    h->setContentsMargins(0, 0, 0, 0);
    auto* left = new QVBoxLayout;
    // A long file name is elided (full name in the tooltip) rather than widening the window.
    name_ = new ElidedLabel(header);
    theme::setRole(name_, "title");
    name_->setAccessibleName(QStringLiteral("Recording name"));
    left->addWidget(name_);
    auto* tags = new QHBoxLayout;
    format_ = new QLabel(header);
    theme::setRole(format_, "secondary");
    sourceTag_ = badge(QString(), header);
    bwf_ = badge(QStringLiteral("BWF / iXML"), header);
    bwf_->setToolTip(QStringLiteral("Recorder metadata (bext, iXML) is kept in every export"));
    tags->addWidget(format_);
    tags->addWidget(sourceTag_);
    tags->addWidget(bwf_);
    tags->addStretch();
    left->addLayout(tags);
    h->addLayout(left, 1);
    auto* right = new QVBoxLayout;
    auto* durationHeading = heading(QStringLiteral("SOURCE DURATION"), header);
    durationHeading->setAlignment(Qt::AlignRight);
    duration_ = new QLabel(header);
    duration_->setFont(theme::clockFont(14));
    duration_->setAlignment(Qt::AlignRight);
    right->addWidget(durationHeading);
    right->addWidget(duration_);
    h->addLayout(right);
    return header;
}

QWidget* WorkspaceView::buildTransport() {
    QVBoxLayout* unused = nullptr;
    auto* bar = card(this, &unused);
    auto* h = new QHBoxLayout;
    unused->addLayout(h);
    play_ = new QPushButton(icons::icon(QStringLiteral("play.fill")), QString(), bar);
    play_->setToolTip(QStringLiteral("Play / pause (Space)"));
    play_->setAccessibleName(QStringLiteral("Play / pause"));
    play_->setFixedSize(40, 30);
    play_->setIconSize({18, 18});
    connect(play_, &QPushButton::clicked, &state_, &app::AppState::play);
    h->addWidget(play_);

    monitor_ = new QButtonGroup(bar);
    auto* seg = new QHBoxLayout;
    seg->setSpacing(0);
    int id = 0;
    for (const QString& label : {QStringLiteral("Original"), QStringLiteral("Processed")}) {
        auto* button = new QPushButton(label, bar);
        button->setCheckable(true);
        button->setAccessibleName(label);
        button->setToolTip(id == 0 ? QStringLiteral("Listen to the untouched recording")
                                   : QStringLiteral("Listen through the processing"));
        monitor_->addButton(button, id++);
        seg->addWidget(button);
    }
    connect(monitor_, &QButtonGroup::idClicked, &state_, [this](int which) {
        state_.setProcessed(which == 1);
        // A choice the state turned down (nothing rendered to hear) does not stay shown.
        if (auto* button = monitor_->button(state_.processed() ? 1 : 0)) button->setChecked(true);
    });
    h->addLayout(seg);

    repeat_ =
        new IconButton(QStringLiteral("repeat"), QStringLiteral("Loop selected passage"), bar);
    repeat_->setCheckable(true);
    connect(repeat_, &QToolButton::toggled, &state_,
            [this](bool on) { state_.setLoopSelection(on); });
    toStart_ = new IconButton(QStringLiteral("backward.end.fill"),
                              QStringLiteral("Return to start (Home)"), bar);
    connect(toStart_, &QToolButton::clicked, &state_, [this] { state_.seek(0); });
    zoomOut_ = new IconButton(QStringLiteral("minus.magnifyingglass"),
                              QStringLiteral("Zoom out (Ctrl+-)"), bar);
    connect(zoomOut_, &QToolButton::clicked, &state_,
            [this] { state_.setZoom(zoomStep(state_.zoom(), false)); });
    zoomIn_ = new IconButton(QStringLiteral("plus.magnifyingglass"),
                             QStringLiteral("Zoom in (Ctrl+=)"), bar);
    connect(zoomIn_, &QToolButton::clicked, &state_,
            [this] { state_.setZoom(zoomStep(state_.zoom(), true)); });
    for (QWidget* w : {static_cast<QWidget*>(repeat_), static_cast<QWidget*>(toStart_),
                       static_cast<QWidget*>(zoomOut_), static_cast<QWidget*>(zoomIn_)})
        h->addWidget(w);
    // A long label ("Processed · Sidon FP16 · Careful · Original 15%") never widens the window.
    monitorLabel_ = new ElidedLabel(bar);
    monitorLabel_->setMinimumWidth(0);  // in a narrow window it gives way entirely
    monitorLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    theme::setRole(monitorLabel_, "secondary");
    monitorLabel_->setAccessibleName(QStringLiteral("Monitor source"));
    h->addWidget(monitorLabel_, 1);
    clock_ = new QLabel(QStringLiteral("00:00.000"), bar);
    clock_->setFont(theme::clockFont(16));
    clock_->setAccessibleName(QStringLiteral("Playhead time"));
    clock_->setMinimumWidth(clock_->fontMetrics().horizontalAdvance(QStringLiteral("000:00.000")));
    clock_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    h->addWidget(clock_);
    return bar;
}

QWidget* WorkspaceView::buildSelectionBar() {
    // One row; in a narrow window the Start and End fields move to a second row (see
    // placeRangeFields) instead of squeezing the buttons.
    auto* bar = new QWidget(this);
    auto* rows = new QVBoxLayout(bar);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(6);
    selectionRow_ = new QHBoxLayout;
    rangeFieldsRow_ = new QHBoxLayout;
    rows->addLayout(selectionRow_);
    rows->addLayout(rangeFieldsRow_);
    rangeTools_ = new QWidget(bar);
    auto* h = new QHBoxLayout(rangeTools_);
    h->setContentsMargins(0, 0, 0, 0);
    h->addWidget(new QLabel(QStringLiteral("Preview range"), rangeTools_));
    rangeMode_ = new QButtonGroup(bar);
    auto* seg = new QHBoxLayout;
    seg->setSpacing(0);
    int id = 0;
    for (const QString& label : {QStringLiteral("Full File"), QStringLiteral("Selection")}) {
        auto* button = new QPushButton(label, rangeTools_);
        button->setCheckable(true);
        button->setAccessibleName(label);
        rangeMode_->addButton(button, id++);
        seg->addWidget(button);
    }
    connect(rangeMode_, &QButtonGroup::idClicked, &state_,
            [this](int which) { state_.enableRange(which == 1); });
    h->addLayout(seg);
    h->addSpacing(12);
    playheadTool_ = new IconButton(QStringLiteral("cursorarrow"),
                                   QStringLiteral("Click to move the playhead"), rangeTools_);
    playheadTool_->setCheckable(true);
    playheadTool_->setAccessibleName(QStringLiteral("Playhead tool"));
    selectTool_ = new IconButton(QStringLiteral("rectangle.dashed"),
                                 QStringLiteral("Select preview range"), rangeTools_);
    selectTool_->setCheckable(true);
    connect(playheadTool_, &QToolButton::clicked, this, [this] { setTool(false); });
    connect(selectTool_, &QToolButton::clicked, this, [this] {
        if (!state_.previewRange()) state_.enableRange(true);
        setTool(true);
    });
    h->addWidget(playheadTool_);
    h->addWidget(selectTool_);

    rangeFields_ = new QWidget(bar);
    auto* fields = new QHBoxLayout(rangeFields_);
    fields->setContentsMargins(0, 0, 0, 0);
    start_ = secondsField(QStringLiteral("Selection start in seconds"), rangeFields_);
    end_ = secondsField(QStringLiteral("Selection end in seconds"), rangeFields_);
    // A bound typed past the other one selects the span between them, as a reverse drag
    // does (an end before the start would otherwise leave a one-frame selection).
    connect(start_, &QDoubleSpinBox::valueChanged, &state_, [this](double v) {
        const double other = state_.rangeEnd();
        state_.setRange(std::min(v, other), std::max(v, other));
    });
    connect(end_, &QDoubleSpinBox::valueChanged, &state_, [this](double v) {
        const double other = state_.rangeStart();
        state_.setRange(std::min(v, other), std::max(v, other));
    });
    fields->addWidget(new QLabel(QStringLiteral("Start"), rangeFields_));
    fields->addWidget(start_);
    fields->addWidget(new QLabel(QStringLiteral("End"), rangeFields_));
    fields->addWidget(end_);

    selectionRow_->addWidget(rangeTools_);
    selectionRow_->addStretch();
    placeRangeFields(false);
    return bar;
}

void WorkspaceView::placeRangeFields(bool secondRow) {
    if (rangeFieldsOnSecondRow_ == secondRow && rangeFields_->parentWidget() &&
        (selectionRow_->indexOf(rangeFields_) >= 0 || rangeFieldsRow_->indexOf(rangeFields_) >= 0))
        return;
    rangeFieldsOnSecondRow_ = secondRow;
    selectionRow_->removeWidget(rangeFields_);
    rangeFieldsRow_->removeWidget(rangeFields_);
    while (QLayoutItem* item = rangeFieldsRow_->takeAt(0))
        delete item;
    if (secondRow) {
        rangeFieldsRow_->addStretch();
        rangeFieldsRow_->addWidget(rangeFields_);
    } else {
        selectionRow_->addWidget(rangeFields_);
    }
}

int WorkspaceView::oneRowWidth() const {
    // The page's side margins and the gap between the two groups.
    return rangeTools_->sizeHint().width() + rangeFields_->sizeHint().width() + 60;
}

void WorkspaceView::setCompact(bool compact) {
    placeRangeFields(compact);
}

void WorkspaceView::setTool(bool selection) {
    selectionTool_ = selection;
    for (auto* row : rows_)
        row->waveform()->setSelecting(selection);
    playheadTool_->setChecked(!selection);
    selectTool_->setChecked(selection);
    selectTool_->setHelp(selection ? QStringLiteral("Drag to select a preview range")
                                   : QStringLiteral("Select preview range"));
}

void WorkspaceView::rebuildRows() {
    const AudioInfo* current = selectedRecording(state_);
    const std::string id = current ? current->id : std::string();
    if (id == rowsFile_) return;
    for (auto* row : rows_)
        delete row;
    rows_.clear();
    if (current) {
        for (int i = 0; i < current->channelCount(); ++i) {
            auto* row = new ChannelRow(state_, i, rowsHolder_);
            row->setMinimumHeight(current->channelCount() > 6 ? 56 : 72);
            rowsLayout_->insertWidget(i, row);
            rows_.push_back(row);
        }
    }
    rowsFile_ = id;
}

void WorkspaceView::refresh() {
    const AudioInfo* current = selectedRecording(state_);
    stack_->setCurrentIndex(current ? 1 : 0);
    importButton_->setEnabled(!state_.busy());
    demoButton_->setEnabled(!state_.busy());
    rebuildRows();
    if (!current) return;

    name_->setFullText(QFileInfo(QString::fromStdString(current->sourceURL.string())).fileName());
    format_->setText(QStringLiteral("%1 Hz  ·  %2 bit  ·  %3 channels")
                         .arg(current->sampleRate, 0, 'f', 0)
                         .arg(current->bitDepth)
                         .arg(current->channelCount()));
    sourceTag_->setText((current->isVideo() ? QStringLiteral("VIDEO") : QString()) +
                        QStringLiteral(" AUDIO"));
    bwf_->setVisible(!current->metadata.chunks.empty());
    duration_->setText(QString::fromStdString(clockString(current->duration())));

    if (auto* button = monitor_->button(state_.processed() ? 1 : 0)) button->setChecked(true);
    // With AI restoration on, Processed needs a rendered restoration of this passage.
    if (auto* processed = monitor_->button(1)) {
        const bool nothingToHear = state_.settings().isolation && !state_.previewPlayable();
        processed->setEnabled(!nothingToHear || state_.processed());
        processed->setToolTip(nothingToHear
                                  ? QStringLiteral("Render this passage to hear it processed")
                                  : QStringLiteral("Listen through the processing"));
    }
    {
        const QSignalBlocker block(repeat_);
        repeat_->setChecked(state_.loopSelection());
    }
    monitorLabel_->setFullText(state_.monitorLabel());
    play_->setIcon(icons::icon(state_.isPlaying() ? QStringLiteral("pause.fill")
                                                  : QStringLiteral("play.fill")));
    const bool idle = !state_.busy();
    play_->setEnabled(idle || state_.isPlaying());

    const bool hasRange = state_.previewRange().has_value();
    if (auto* button = rangeMode_->button(hasRange ? 1 : 0)) button->setChecked(true);
    for (auto* button : rangeMode_->buttons())
        button->setEnabled(idle);
    if (state_.selectingRange() != lastSelectingRange_) {
        // enableRange switches the tool: on with a new selection, off without one.
        lastSelectingRange_ = state_.selectingRange();
        selectionTool_ = lastSelectingRange_;
    }
    setTool(selectionTool_);
    {
        const QSignalBlocker b1(start_);
        const QSignalBlocker b2(end_);
        start_->setRange(0, current->duration());
        end_->setRange(0, current->duration());
        start_->setValue(state_.rangeStart());
        end_->setValue(state_.rangeEnd());
    }
    start_->setEnabled(hasRange && idle);
    end_->setEnabled(hasRange && idle);

    for (auto* row : rows_) {
        row->refresh();
        row->waveform()->setSelecting(selectionTool_);
    }
    refreshLive();
}

void WorkspaceView::refreshLive() {
    clock_->setText(QString::fromStdString(clockString(state_.time())));
    for (auto* row : rows_)
        row->refreshLive();
}

void WorkspaceView::setDropping(bool dropping) {
    if (dropping == dropping_) return;
    dropping_ = dropping;
    overlay_->setGeometry(rect());
    overlay_->setVisible(dropping);
    overlay_->raise();
}

}  // namespace corvaline::ui
