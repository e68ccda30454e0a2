#pragma once
// The help page: "Kestrio Corvaline User Guide", the search field, the topic list and the
// selected topic. The selected topic is AppState::helpTopicID; the query is view-local.

#include <QWidget>

class QLabel;
class QLineEdit;
class QListWidget;
class QTextBrowser;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

struct HelpTopic;

class HelpView : public QWidget {
    Q_OBJECT
  public:
    explicit HelpView(app::AppState& state, QWidget* parent = nullptr);
    void refresh();
    void setQuery(const QString& query);
    QString query() const;
    /// The topic shown: the selected one when it matches, else the first match (or none).
    const HelpTopic* shownTopic() const;
    QListWidget* topicList() const { return list_; }
    QLineEdit* searchField() const { return search_; }

  private:
    app::AppState& state_;
    QLineEdit* search_ = nullptr;
    QListWidget* list_ = nullptr;
    QLabel* empty_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* summary_ = nullptr;
    QTextBrowser* body_ = nullptr;
    QStringList shownIDs_;
};

}  // namespace corvaline::ui
