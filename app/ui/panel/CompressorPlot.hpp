#pragma once
// `CompressorPlot`: the compressor's static curve over input −60…0 dB (121 steps of 0.5 dB),
// both axes linear in dB from −60 (bottom/left) to 0 (top/right), with quarter grid lines.

#include <QWidget>

namespace corvaline::ui {

class CompressorPlot : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kHeight = 58;
    explicit CompressorPlot(QWidget* parent = nullptr);
    void setParameters(double threshold, double ratio, double knee, double makeup, bool enabled);
    QSize sizeHint() const override { return {200, kHeight}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    double threshold_ = -18;
    double ratio_ = 3;
    double knee_ = 0;
    double makeup_ = 0;
    bool enabled_ = true;
};

}  // namespace corvaline::ui
