#pragma once
// The session sidebar: "SESSION" with the file count, one row per recording, the remove
// button, and the navigation between the workspace, settings and help pages.

#include <QSize>
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
    /// In a narrow window the rows drop their icons so that "4 tracks · 00:12.000" fits.
    void setNarrow(bool narrow);

  private:
    app::AppState& state_;
    QLabel* count_ = nullptr;
    QListWidget* list_ = nullptr;
    IconButton* remove_ = nullptr;
    QButtonGroup* pages_ = nullptr;
    std::vector<std::string> shownIDs_;
    bool narrow_ = false;
    QSize wideIconSize_;
};

}  // namespace corvaline::ui
