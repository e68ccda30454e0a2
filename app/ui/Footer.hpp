#pragma once
// The footer: status text, progress and cancel while busy, the AI badges and the tag.

#include <QWidget>

class QLabel;
class QProgressBar;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class IconButton;

class Footer : public QWidget {
    Q_OBJECT
  public:
    explicit Footer(app::AppState& state, QWidget* parent = nullptr);
    void refresh();
    /// "AI PREVIEW PENDING": AI restoration is on and no preview has been rendered.
    static bool previewPending(const app::AppState& state);
    /// "AI SETTINGS CHANGED": a preview exists but no longer matches the settings.
    static bool settingsChanged(const app::AppState& state);

  private:
    app::AppState& state_;
    QLabel* status_;
    QProgressBar* progress_;
    IconButton* cancel_;
    QLabel* pending_;
    QLabel* changed_;
};

}  // namespace corvaline::ui
