#pragma once
// The session sidebar: "SESSION" with the file count, one row per recording, the remove
// button, and the navigation between the workspace, settings and help pages.

#include <QWidget>

class QButtonGroup;
class QLabel;
class QListWidget;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class IconButton;

class SessionSidebar : public QWidget {
    Q_OBJECT
  public:
    explicit SessionSidebar(app::AppState& state, QWidget* parent = nullptr);
    void refresh();
    QListWidget* list() const { return list_; }

  private:
    app::AppState& state_;
    QLabel* count_ = nullptr;
    QListWidget* list_ = nullptr;
    IconButton* remove_ = nullptr;
    QButtonGroup* pages_ = nullptr;
    std::vector<std::string> shownIDs_;
};

}  // namespace corvaline::ui
