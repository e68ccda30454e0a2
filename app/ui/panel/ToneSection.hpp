#pragma once
// "Equalizer", "Compressor" and "Limiter" of the processing inspector.

#include <QWidget>
#include <functional>

#include "audiocore/model/ProcessingSettings.hpp"

class QCheckBox;
class QComboBox;
class QLabel;
class QToolButton;

namespace corvaline::ui {

class CompressorPlot;
class EqualizerPlot;
class Parameter;
class ReductionMeter;
class SettingBindings;

class ToneSection : public QWidget {
    Q_OBJECT
  public:
    ToneSection(SettingBindings& bindings, QWidget* parent = nullptr);
    /// Shows the state's settings, the selected band and the reduction meters.
    void refresh();
    /// The two reduction meters only.
    void refreshLive();
    /// The inspector's selected EQ band (0–7).
    int band() const { return band_; }
    void setBand(int band);

    EqualizerPlot* equalizerPlot() const { return plot_; }
    QWidget* equalizer() const { return equalizer_; }
    QWidget* dynamics() const { return dynamics_; }

  private:
    QWidget* buildEqualizer();
    QWidget* buildCompressor();
    QWidget* buildLimiter();
    void editBand(const std::function<void(EQBand&)>& change);

    SettingBindings& bindings_;
    int band_ = 0;
    QWidget* equalizer_ = nullptr;
    QWidget* dynamics_ = nullptr;
    EqualizerPlot* plot_ = nullptr;
    QComboBox* bandPicker_ = nullptr;
    QCheckBox* bandEnabled_ = nullptr;
    QComboBox* kindPicker_ = nullptr;
    Parameter* frequency_ = nullptr;
    Parameter* gain_ = nullptr;
    Parameter* q_ = nullptr;
    QLabel* channelCount_ = nullptr;
    CompressorPlot* compressorPlot_ = nullptr;
    ReductionMeter* compressorMeter_ = nullptr;
    ReductionMeter* limiterMeter_ = nullptr;
};

}  // namespace corvaline::ui
