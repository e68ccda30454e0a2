#include "SessionSidebar.hpp"

#include <QButtonGroup>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "Icons.hpp"
#include "Theme.hpp"
#include "ViewMath.hpp"
#include "Widgets.hpp"
#include "controls/IconButton.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::ui {

namespace {

QString rowText(const AudioInfo& info) {
    const QString name = QFileInfo(QString::fromStdString(info.sourceURL.string())).fileName();
    return QStringLiteral("%1\n%2 tracks · %3")
        .arg(name)
        .arg(info.channelCount())
        .arg(QString::fromStdString(clockString(info.duration())));
}

}  // namespace

SessionSidebar::SessionSidebar(app::AppState& state, QWidget* parent)
    : QWidget(parent), state_(state) {
    theme::setRole(this, "panel");
    setAttribute(Qt::WA_StyledBackground);
    setFixedWidth(210);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 12, 10, 10);
    layout->setSpacing(8);

    auto* top = new QHBoxLayout;
    top->addWidget(heading(QStringLiteral("SESSION"), this));
    count_ = new QLabel(this);
    theme::setRole(count_, "badge");
    count_->setAccessibleName(QStringLiteral("Files in session"));
    top->addWidget(count_);
    top->addStretch();
    remove_ = new IconButton(QStringLiteral("minus.circle"),
                             QStringLiteral("Remove selected file from session"), this);
    connect(remove_, &QToolButton::clicked, &state_, &app::AppState::removeSelected);
    top->addWidget(remove_);
    layout->addLayout(top);

    list_ = new QListWidget(this);
    list_->setAccessibleName(QStringLiteral("Session recordings"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setTextElideMode(Qt::ElideMiddle);
    list_->setWordWrap(false);
    connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row < 0 || row >= int(shownIDs_.size())) return;
        state_.selectID(shownIDs_[size_t(row)]);
        // While work runs the selection does not change: the highlight goes back at once
        // instead of naming a recording the workspace does not show.
        refresh();
    });
    layout->addWidget(list_, 1);

    pages_ = new QButtonGroup(this);
    const struct {
        const char* title;
        const char* icon;
        const char* help;
    } pages[] = {
        {"Workspace", "waveform", "Show the workspace"},
        {"Settings", "slider.horizontal.3", "Models, runtimes and the model folder"},
        {"Help", "questionmark.circle", "The user guide"},
    };
    for (int i = 0; i < 3; ++i) {
        auto* button = new QPushButton(icons::icon(QString::fromLatin1(pages[i].icon)),
                                       QString::fromLatin1(pages[i].title), this);
        theme::setRole(button, "nav");
        button->setCheckable(true);
        button->setToolTip(QString::fromLatin1(pages[i].help));
        button->setAccessibleName(QString::fromLatin1(pages[i].title));
        pages_->addButton(button, i);
        layout->addWidget(button);
    }
    connect(pages_, &QButtonGroup::idClicked, &state_,
            [this](int id) { state_.setPage(app::WorkspacePage(id)); });
}

void SessionSidebar::setNarrow(bool narrow) {
    if (narrow == narrow_) return;
    narrow_ = narrow;
    if (narrow) wideIconSize_ = list_->iconSize();
    list_->setIconSize(narrow ? QSize(0, 0) : wideIconSize_);
}

void SessionSidebar::refresh() {
    const auto& files = state_.files();
    count_->setText(QString::number(files.size()));
    std::vector<std::string> ids;
    ids.reserve(files.size());
    for (const auto& f : files)
        ids.push_back(f.id);
    const QSignalBlocker block(list_);
    if (ids != shownIDs_) {
        list_->clear();
        for (const auto& f : files) {
            auto* item = new QListWidgetItem(
                icons::icon(f.isVideo() ? QStringLiteral("film") : QStringLiteral("waveform")),
                rowText(f), list_);
            item->setToolTip(QString::fromStdString(f.sourceURL.string()));
        }
        shownIDs_ = std::move(ids);
    }
    int selectedRow = -1;
    for (size_t i = 0; i < shownIDs_.size(); ++i) {
        if (state_.selectedID() && shownIDs_[i] == *state_.selectedID()) selectedRow = int(i);
    }
    list_->setCurrentRow(selectedRow);
    remove_->setEnabled(!state_.busy() && selectedRow >= 0);
    if (auto* button = pages_->button(int(state_.page()))) button->setChecked(true);
}

}  // namespace corvaline::ui
