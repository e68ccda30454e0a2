#pragma once
// The user guide: a fixed table of topics shown on the help page, and its search rule.

#include <QString>
#include <QStringList>
#include <vector>

namespace corvaline::ui {

/// One titled paragraph of a topic. Identity in lists is its title.
struct HelpSection {
    QString title;
    QString body;
};

/// One topic of the user guide.
struct HelpTopic {
    QString id;       ///< identity, e.g. "start" (AppState::helpTopicID)
    QString title;    ///< e.g. "Getting Started"
    QString icon;     ///< symbol name (see Icons.hpp)
    QString summary;  ///< one line
    std::vector<HelpSection> sections;

    /// Every topic, in the guide's order; "start" first.
    static const std::vector<HelpTopic>& all();
    /// The topic with `id`, or nullptr.
    static const HelpTopic* find(const QString& id);

    /// The search rule: the query is split at whitespace; the topic matches when every word
    /// occurs in its title, summary, section titles and bodies (joined with single spaces),
    /// ignoring case and diacritics. An empty query matches every topic.
    bool matches(const QString& query) const;

    /// The text the search looks in.
    QString searchableText() const;
};

/// `text` folded for searching: case-folded, decomposed, combining marks removed.
QString foldForSearch(const QString& text);

/// The topics matching `query`, in table order.
std::vector<const HelpTopic*> matchingTopics(const QString& query);

}  // namespace corvaline::ui
