#include "HelpView.hpp"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "HelpTopics.hpp"
#include "Icons.hpp"
#include "Theme.hpp"
#include "Widgets.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::ui {

HelpView::HelpView(app::AppState& state, QWidget* parent) : QWidget(parent), state_(state) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 14);
    layout->setSpacing(10);
    auto* top = new QHBoxLayout;
    auto* title = new QLabel(QStringLiteral("Kestrio Corvaline User Guide"), this);
    theme::setRole(title, "title");
    top->addWidget(title, 1);
    search_ = new QLineEdit(this);
    search_->setPlaceholderText(QStringLiteral("Search the user guide"));
    search_->setAccessibleName(QStringLiteral("Search the guide"));
    search_->setToolTip(QStringLiteral("Search the guide"));
    search_->setFixedWidth(280);
    auto* clear = search_->addAction(icons::icon(QStringLiteral("xmark.circle.fill")),
                                     QLineEdit::TrailingPosition);
    clear->setToolTip(QStringLiteral("Clear the search"));
    connect(clear, &QAction::triggered, search_, &QLineEdit::clear);
    connect(search_, &QLineEdit::textChanged, this, [this] { refresh(); });
    top->addWidget(search_);
    layout->addLayout(top);

    auto* body = new QHBoxLayout;
    body->setSpacing(14);
    auto* left = new QVBoxLayout;
    list_ = new QListWidget(this);
    list_->setAccessibleName(QStringLiteral("Help topics"));
    list_->setFixedWidth(250);
    list_->setIconSize({18, 18});
    connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && row < shownIDs_.size()) state_.setHelpTopicID(shownIDs_[row]);
    });
    left->addWidget(list_, 1);
    empty_ = caption(QStringLiteral("No matching topics"), this);
    empty_->setAlignment(Qt::AlignCenter);
    left->addWidget(empty_);
    body->addLayout(left);

    auto* detail = new QVBoxLayout;
    title_ = new QLabel(this);
    theme::setRole(title_, "title");
    summary_ = caption(QString(), this);
    body_ = new QTextBrowser(this);
    body_->setOpenExternalLinks(true);
    body_->setAccessibleName(QStringLiteral("Help topic"));
    detail->addWidget(title_);
    detail->addWidget(summary_);
    detail->addWidget(body_, 1);
    body->addLayout(detail, 1);
    layout->addLayout(body, 1);
}

void HelpView::setQuery(const QString& query) {
    search_->setText(query);
}

QString HelpView::query() const {
    return search_->text();
}

const HelpTopic* HelpView::shownTopic() const {
    const auto matches = matchingTopics(search_->text());
    for (const auto* topic : matches) {
        if (topic->id == state_.helpTopicID()) return topic;
    }
    return matches.empty() ? nullptr : matches.front();
}

void HelpView::refresh() {
    const auto matches = matchingTopics(search_->text());
    QStringList ids;
    for (const auto* topic : matches)
        ids << topic->id;
    const HelpTopic* shown = shownTopic();
    {
        const QSignalBlocker block(list_);
        if (ids != shownIDs_) {
            list_->clear();
            for (const auto* topic : matches)
                new QListWidgetItem(icons::icon(topic->icon), topic->title, list_);
            shownIDs_ = ids;
        }
        list_->setCurrentRow(shown ? int(ids.indexOf(shown->id)) : -1);
    }
    empty_->setVisible(matches.empty());
    list_->setVisible(!matches.empty());
    title_->setVisible(shown != nullptr);
    summary_->setVisible(shown != nullptr);
    body_->setVisible(shown != nullptr);
    if (!shown) return;
    title_->setText(shown->title);
    summary_->setText(shown->summary);
    QString html;
    for (const auto& section : shown->sections) {
        html += QStringLiteral(
                    "<h3 style='color:#d9dee7;margin-top:14px'>%1</h3><p "
                    "style='color:#c4cad4;line-height:135%'>%2</p>")
                    .arg(section.title.toHtmlEscaped(), section.body.toHtmlEscaped());
    }
    if (body_->property("topic").toString() != shown->id) {
        body_->setHtml(html);
        body_->setProperty("topic", shown->id);
    }
}

}  // namespace corvaline::ui
