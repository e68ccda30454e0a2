#pragma once
// "Loudness": LUFS normalisation, its target and limits, the processed-loudness measurement
// with its readings, the delivery standard and its verdict, the programme scope and the
// linked gain.

#include <QWidget>
#include <optional>

class QComboBox;
class QLabel;
class QPushButton;

namespace corvaline::app {
class AppState;
}

namespace corvaline::ui {

class Parameter;
class SettingBindings;

class LoudnessSection : public QWidget {
    Q_OBJECT
  public:
    LoudnessSection(SettingBindings& bindings, QWidget* parent = nullptr);
    void refresh();

    /// The reading of an optional measurement: "%.1f", or "--" when absent.
    static QString reading(std::optional<double> value);

  private:
    void showVerdict(const app::AppState& state);

    SettingBindings& bindings_;
    QComboBox* standard_ = nullptr;
    QComboBox* target_ = nullptr;
    Parameter* customTarget_ = nullptr;
    QPushButton* measure_ = nullptr;
    QLabel* integrated_ = nullptr;
    QLabel* truePeak_ = nullptr;
    QLabel* range_ = nullptr;
    QLabel* pending_ = nullptr;
    QLabel* verdict_ = nullptr;
    QLabel* verdictDetail_ = nullptr;
    QLabel* scope_ = nullptr;
    QLabel* scopeTracks_ = nullptr;
    QLabel* linkedGain_ = nullptr;
    QLabel* limitReached_ = nullptr;
    QLabel* suspended_ = nullptr;
};

}  // namespace corvaline::ui
