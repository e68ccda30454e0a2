#pragma once
// `EqualizerPlot`: the EQ's summed response over a logarithmic 20 Hz…fmax axis and ±24 dB,
// with one round handle per band. Dragging a handle selects its band and moves it (frequency
// from x, gain from y for kinds with gain). The plot draws what it is given; the inspector
// writes the drag into the settings.

#include <QWidget>
#include <optional>

#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline::ui {

class EqualizerPlot : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kHeight = 100;

    explicit EqualizerPlot(QWidget* parent = nullptr);

    /// The settings to draw and the selected recording's sample rate (0 without one).
    void setSettings(const ProcessingSettings& settings, double selectedRate);
    void setSelectedBand(int band);
    int selectedBand() const { return selected_; }

    /// The curve as drawn (201 values, dB) and the axis' upper end.
    const std::vector<double>& curve() const { return curve_; }
    double maxFrequency() const { return fmax_; }
    /// Centre of band `index`'s handle in widget coordinates.
    QPointF handleCenter(int index) const;
    /// The band whose handle is under `point` (the selected band first), or none.
    std::optional<int> bandAt(QPointF point) const;

    QSize sizeHint() const override { return {300, kHeight}; }

  signals:
    /// A handle was pressed: its band becomes the inspector's selected band.
    void bandSelected(int band);
    /// A handle was dragged: the band's new frequency and, for kinds with gain, gain.
    void bandMoved(int band, double frequency, std::optional<double> gain);

  protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;

  private:
    void dragTo(QPointF point);

    ProcessingSettings settings_;
    std::vector<double> curve_;
    double rate_ = 48000;
    double fmax_ = 20000;
    int selected_ = 0;
    std::optional<int> dragging_;  ///< band being dragged
};

}  // namespace corvaline::ui
