#pragma once
// The right-hand inspector: the processing controls, "MONITOR OUTPUT" with the level match
// toggle, "FILE DETAILS" and "EXPORT FORMAT".

#include <QScrollArea>

class QCheckBox;
class QComboBox;
class QLabel;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class MeterView;
class ProcessingView;

class SidePanel : public QScrollArea {
    Q_OBJECT
  public:
    explicit SidePanel(app::AppState& state, QWidget* parent = nullptr);
    void refresh();
    /// Meters only (30 times a second while playing).
    void refreshMeters();
    ProcessingView* processing() const { return processing_; }

  private:
    app::AppState& state_;
    ProcessingView* processing_ = nullptr;
    MeterView* left_ = nullptr;
    MeterView* right_ = nullptr;
    QCheckBox* levelMatch_ = nullptr;
    QLabel* matchGain_ = nullptr;
    QLabel* details_ = nullptr;
    QComboBox* bits_ = nullptr;
};

}  // namespace corvaline::ui
